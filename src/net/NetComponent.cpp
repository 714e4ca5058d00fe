#include "NetComponent.h"

#include <mutex>

#include "NetExceptions.h"
#include "NetScope.h"
#include "NetStack.h"

const char* const StatusTexts[ftpAborted + 1] = {
    "Resolving hostname %s.", "Connecting to %s.", "Connected.", "Disconnecting.", "Disconnected.",
    "%s",                     "%s",                "%s",         "%s",
};

namespace {

std::mutex& InstanceLock() {
  static std::mutex lock;
  return lock;
}
int GInstanceCount = 0;

}  // namespace

TNetComponent::TNetComponent(TNetBaseComponent* AOwner) : TNetBaseComponent(AOwner) {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (GInstanceCount == 0) StackInstance = StackClass();
  ++GInstanceCount;
}

TNetComponent::~TNetComponent() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (--GInstanceCount == 0) StackInstance.reset();
}

int TNetComponent::InstanceCount() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  return GInstanceCount;
}

void TNetComponent::ReportStatus(TNetStatus AStatus, std::initializer_list<std::string> Args) {
  if (!OnStatus) return;
  std::string text = Args.size() == 0 ? FormatMessage(StatusTexts[AStatus], {std::string()})
                                      : FormatMessage(StatusTexts[AStatus], Args);
  OnStatus(this, AStatus, text);
}

void TNetComponent::StartWork(TWorkMode AWorkMode, int64_t AWorkCountMax) {
  TWorkRecord& w = FWork[AWorkMode];
  if (++w.Level == 1) {
    w.WorkCountMax = AWorkCountMax;
    w.WorkCount = 0;
    // A phase whose start failed is not open: its caller never finishes it.
    TNetScopeExit notOpened([&w] { --w.Level; });
    if (OnWorkBegin) OnWorkBegin(this, AWorkMode, AWorkCountMax);
    notOpened.Release();
  }
}

void TNetComponent::AddWork(TWorkMode AWorkMode, int64_t ACount) {
  TWorkRecord& w = FWork[AWorkMode];
  if (w.Level > 0) {
    w.WorkCount += ACount;
    if (OnWork) OnWork(this, AWorkMode, w.WorkCount);
  }
}

void TNetComponent::FinishWork(TWorkMode AWorkMode) {
  TWorkRecord& w = FWork[AWorkMode];
  const bool outermost = w.Level == 1;
  if (w.Level > 0) --w.Level;  // before the event, so a throwing handler cannot leave the phase open
  if (outermost && OnWorkEnd) OnWorkEnd(this, AWorkMode);
}
