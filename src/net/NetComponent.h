// The network component: status and byte-count work events for every
// component of the stack, and the process-wide count of live components that
// decides when the socket stack exists (made with the first, freed with the
// last).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "NetBaseComponent.h"

enum TNetStatus : int {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted,
};

// The default text of each status; "%s" is filled from ReportStatus's argument.
extern const char* const StatusTexts[ftpAborted + 1];

enum TWorkMode : int { wmRead, wmWrite };

using TNotifyEvent = std::function<void(TNetBaseComponent* ASender)>;
using TNetStatusEvent =
    std::function<void(TNetBaseComponent* ASender, TNetStatus AStatus, const std::string& AStatusText)>;
// Work counts are 64-bit so that files of any size report right.
using TWorkBeginEvent = std::function<void(TNetBaseComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TNetBaseComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TNetBaseComponent* ASender, TWorkMode AWorkMode)>;

class TNetComponent : public TNetBaseComponent {
 public:
  // The first live component makes the socket stack (which may raise).
  explicit TNetComponent(TNetBaseComponent* AOwner = nullptr);
  // The last one frees it.
  ~TNetComponent() override;

  std::string ClassName() const override { return "TNetComponent"; }

  TNetStatusEvent OnStatus;
  TWorkEvent OnWork;
  TWorkBeginEvent OnWorkBegin;
  TWorkEndEvent OnWorkEnd;

  // Formats StatusTexts[AStatus] with Args ("%s" takes the next argument;
  // surplus arguments are ignored, missing ones give empty text) and fires
  // OnStatus. Nothing happens while OnStatus is unset.
  void ReportStatus(TNetStatus AStatus, std::initializer_list<std::string> Args = {});

  // Work phases nest per mode: only the outermost StartWork fires
  // OnWorkBegin and only its FinishWork fires OnWorkEnd; AddWork outside a
  // phase fires nothing.
  virtual void StartWork(TWorkMode AWorkMode, int64_t AWorkCountMax);
  virtual void AddWork(TWorkMode AWorkMode, int64_t ACount);
  virtual void FinishWork(TWorkMode AWorkMode);

  int64_t WorkCount(TWorkMode AWorkMode) const { return FWork[AWorkMode].WorkCount; }
  int64_t WorkCountMax(TWorkMode AWorkMode) const { return FWork[AWorkMode].WorkCountMax; }
  int WorkLevel(TWorkMode AWorkMode) const { return FWork[AWorkMode].Level; }

  // Live components in the process.
  static int InstanceCount();

 private:
  struct TWorkRecord {
    int64_t WorkCount = 0;
    int64_t WorkCountMax = 0;
    int Level = 0;
  };
  TWorkRecord FWork[2];
};
