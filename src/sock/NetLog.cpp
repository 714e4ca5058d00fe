#include "NetLog.h"

#include "NetDateTime.h"
#include "NetText.h"

TNetLogBase::TNetLogBase(TNetBaseComponent* AOwner) : TNetConnectionIntercept(AOwner) {}

TNetLogBase::~TNetLogBase() {
  // Not through SetActive: a log destroyed while loading must still close.
  if (FActive) {
    FActive = false;
    CloseLog();
  }
}

void TNetLogBase::SetActive(bool AValue) {
  if (Loading()) {
    FPendingActive = AValue;
    return;
  }
  if (AValue == FActive) return;
  FActive = AValue;
  if (FActive)
    OpenLog();
  else
    CloseLog();
}

void TNetLogBase::Loaded() {
  TNetConnectionIntercept::Loaded();
  SetActive(FPendingActive);
}

void TNetLogBase::AttachTo(TNetBaseComponent* AConnection) {
  if (!FActive) return;
  TNetConnectionIntercept::AttachTo(AConnection);
  WriteStatus("Connected.");
}

void TNetLogBase::Detach() {
  if (!FActive) return;
  WriteStatus("Disconnected.");
  TNetConnectionIntercept::Detach();
}

// The texts are taken after the base hook, so they show the block as any
// handler or nested intercept left it.
void TNetLogBase::ProcessReceived(TNetMemoryStream& ABlock) {
  if (!FActive) return;
  TNetConnectionIntercept::ProcessReceived(ABlock);
  const std::string data = DataText(ABlock);
  WriteReceived(TimeText(), data);
}

void TNetLogBase::ProcessSending(TNetMemoryStream& ABlock) {
  if (!FActive) return;
  TNetConnectionIntercept::ProcessSending(ABlock);
  const std::string data = DataText(ABlock);
  WriteSent(TimeText(), data);
}

std::string TNetLogBase::DataText(TNetMemoryStream& ABlock) const {
  std::string data(ABlock.Memory() ? ABlock.Memory() : "", static_cast<size_t>(ABlock.Size()));
  if (!ReplaceCRLF) return data;
  // Pairs first, so that CR LF becomes one marker and lone CR and LF their own.
  data = ReplaceAll(data, "\r\n", "<EOL>");
  data = ReplaceAll(data, "\r", "<CR>");
  return ReplaceAll(data, "\n", "<LF>");
}

std::string TNetLogBase::TimeText() const { return LogTime ? DateTimeToStr(Now()) : std::string(); }

void TNetLogEvent::WriteStatus(const std::string& AText) {
  if (OnStatus) OnStatus(this, AText);
}

void TNetLogEvent::WriteReceived(const std::string& ATime, const std::string& AData) {
  if (OnReceived) OnReceived(this, ATime, AData);
}

void TNetLogEvent::WriteSent(const std::string& ATime, const std::string& AData) {
  if (OnSent) OnSent(this, ATime, AData);
}
