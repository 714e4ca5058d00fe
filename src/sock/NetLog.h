// The event log: an intercept that turns a connection's traffic into text
// entries ("Connected.", "Disconnected.", and one entry per block received or
// sent), optionally time-stamped and with line ends marked.
#pragma once

#include <functional>
#include <string>

#include "NetConnectionIntercept.h"

class TNetLogBase : public TNetConnectionIntercept {
 public:
  explicit TNetLogBase(TNetBaseComponent* AOwner = nullptr);
  // Switches the log off first. A log that owns a resource closes it in its
  // own destructor as well: by the time this one runs, the derived part is gone.
  ~TNetLogBase() override;

  std::string ClassName() const override { return "TNetLogBase"; }

  // While stored settings are loaded only the pending value is recorded;
  // Loaded applies it.
  bool Active() const { return FActive; }
  void SetActive(bool AValue);

  bool LogTime = true;     // data entries carry the local date and time
  bool ReplaceCRLF = true; // CR LF, CR and LF become "<EOL>", "<CR>" and "<LF>"

  // While the log is off, every hook does nothing at all (the intercept's own
  // events and the nested intercept included).
  void AttachTo(TNetBaseComponent* AConnection) override;
  void Detach() override;
  void ProcessReceived(TNetMemoryStream& ABlock) override;
  void ProcessSending(TNetMemoryStream& ABlock) override;

 protected:
  virtual void CloseLog() {}
  virtual void WriteStatus(const std::string& AText) = 0;
  virtual void WriteReceived(const std::string& ATime, const std::string& AData) = 0;
  virtual void WriteSent(const std::string& ATime, const std::string& AData) = 0;
  virtual void OpenLog() {}
  void Loaded() override;

 private:
  std::string DataText(TNetMemoryStream& ABlock) const;
  std::string TimeText() const;

  bool FActive = false;
  bool FPendingActive = false;
};

using TLogItemDataEvent =
    std::function<void(TNetBaseComponent* ASender, const std::string& AText, const std::string& AData)>;
using TLogItemStatusEvent = std::function<void(TNetBaseComponent* ASender, const std::string& AText)>;

// Delivers each entry through an event; ASender is the log itself.
class TNetLogEvent : public TNetLogBase {
 public:
  using TNetLogBase::TNetLogBase;
  std::string ClassName() const override { return "TNetLogEvent"; }

  TLogItemDataEvent OnReceived;  // AText: the time text, AData: the data text
  TLogItemDataEvent OnSent;
  TLogItemStatusEvent OnStatus;

 protected:
  void WriteStatus(const std::string& AText) override;
  void WriteReceived(const std::string& ATime, const std::string& AData) override;
  void WriteSent(const std::string& ATime, const std::string& AData) override;
};
