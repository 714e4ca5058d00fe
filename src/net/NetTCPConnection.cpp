#include "NetTCPConnection.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetScope.h"
#include "NetStack.h"

namespace {

// The largest piece handed to one send call.
constexpr int64_t kMaxSendPiece = int64_t{1} << 30;

// ReadToStream writes what it receives in blocks of at least this size (or
// of whatever has arrived when the link goes quiet).
constexpr int64_t kStreamWriteBlock = 256 * 1024;

void ClearBit7(char* Data, int64_t Count) {
  for (int64_t i = 0; i < Count; ++i) Data[i] = static_cast<char>(Data[i] & 0x7F);
}

}  // namespace

TNetTCPConnection::TNetTCPConnection(TNetBaseComponent* AOwner)
    : TNetComponent(AOwner), InputQueue([this](TNetSimpleBuffer*, int64_t ACount) { InputConsumed(ACount); }) {}

TNetTCPConnection::~TNetTCPConnection() {
  // Only a link that is still open is dropped: a closed one has already told
  // its intercept, and nothing should report from a connection going away.
  // A failing intercept handler has nobody to report to here (and would end
  // the program); the socket is closed all the same.
  try {
    if (FIOHandler && FIOHandler->IsOpen()) DropSocket();
  } catch (...) {
  }
  SetIOHandler(nullptr);
  SetIntercept(nullptr);
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* AValue) {
  if (AValue == FIOHandler) return;
  if (FIOHandler) {
    TNetIOHandler* old = FIOHandler;
    FIOHandler = nullptr;
    FSocketHandler = nullptr;
    old->RemoveFreeNotification(this);
    if (OwnsIOHandler) {
      OwnsIOHandler = false;
      if (FHandlerUseDepth > 0) {
        FRetiredHandlers.push_back(old);
      } else {
        FreeComponent(old);
      }
    }
  }
  FIOHandler = AValue;
  FSocketHandler = dynamic_cast<TNetIOHandlerSocket*>(AValue);
  if (FIOHandler) FIOHandler->FreeNotification(this);
}

TNetTCPConnection::THandlerInUse::THandlerInUse(TNetTCPConnection& AConnection) : FConnection(AConnection) {
  ++FConnection.FHandlerUseDepth;
}

TNetTCPConnection::THandlerInUse::~THandlerInUse() {
  if (--FConnection.FHandlerUseDepth > 0) return;
  std::vector<TNetIOHandler*> retired;
  retired.swap(FConnection.FRetiredHandlers);
  for (TNetIOHandler* handler : retired) FConnection.FreeComponent(handler);
}

void TNetTCPConnection::SetIntercept(TNetConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

void TNetTCPConnection::Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) {
  if (AOperation == opRemove) {
    if (AComponent == FIntercept) FIntercept = nullptr;
    if (AComponent == FIOHandler) {
      FIOHandler = nullptr;
      FSocketHandler = nullptr;
    }
  }
  TNetComponent::Notification(AComponent, AOperation);
}

// ---------------------------------------------------------------------------
// Link state

void TNetTCPConnection::FireDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TNetTCPConnection::ResetState() {
  InputQueue.Clear();
  PeerClosed = false;
}

void TNetTCPConnection::DetectDisconnect(bool RaiseIfDisconnected, bool IgnoreBuffer) {
  if (!FIOHandler) return;
  bool gone;
  if (PeerClosed) {
    if (FIOHandler->IsOpen()) {
      DropSocket();
      ReportStatus(hsDisconnected);
      FireDisconnected();
    }
    gone = true;
  } else {
    gone = !FIOHandler->IsOpen();
  }
  if (gone && RaiseIfDisconnected && (InputQueue.Size() == 0 || IgnoreBuffer)) throw ENetConnClosedGracefully();
}

bool TNetTCPConnection::IsConnected() {
  DetectDisconnect(false, false);
  return FIOHandler && FIOHandler->IsOpen();
}

void TNetTCPConnection::ProbeDisconnect(bool RaiseIfDisconnected) { FillInputBuffer(RaiseIfDisconnected, 1, false); }

// Note the two orders: CloseConnection fires OnDisconnected before the
// "Disconnected." status, DetectDisconnect the status first.
void TNetTCPConnection::CloseConnection() {
  const bool was = IsConnected();
  if (was) {
    ReportStatus(hsDisconnecting);
    DropSocket();
  }
  if (OwnsIOHandler) SetIOHandler(nullptr);
  if (was) {
    FireDisconnected();
    ReportStatus(hsDisconnected);
  }
}

void TNetTCPConnection::DropSocket() {
  if (!FIOHandler) return;
  // The socket goes even when a handler of the intercept fails; otherwise the
  // link could never be closed while that handler keeps failing.
  TNetScopeExit close([this] {
    if (FIOHandler) FIOHandler->CloseHandler();
  });
  if (FIntercept) FIntercept->Detach();
}

// ---------------------------------------------------------------------------
// Reading

int32_t TNetTCPConnection::ReceiveChunk(bool RaiseIfDisconnected, bool AArrivedOnly) {
  if (!FIOHandler) {
    if (RaiseIfDisconnected) throw ENetNotConnected();
    return 0;
  }
  const int32_t size = std::max(RecvBufferSize, 1);
  // Without an intercept the bytes land straight at the end of the input
  // queue; an intercept gets them in the scratch block first, as one block.
  char* target;
  if (FIntercept) {
    ReceiveScratch.SetSize(size);
    target = ReceiveScratch.Memory();
  } else {
    target = InputQueue.PrepareAppend(size);
  }
  int32_t n = AArrivedOnly ? FIOHandler->ReceiveReady(target, size) : FIOHandler->ReceiveSome(target, size);
  if (n == ReceiveNotReady) return n;
  PeerClosed = (n == 0);
  if (n != 0 && StackInstance->CheckSocketResult(n, {ErrSocketShutdown, ErrConnectionAborted})) {
    // Shut down or aborted: the link is gone, but what is queued stays readable.
    DropSocket();
    if (InputQueue.Size() == 0) StackInstance->RaiseSocketFailure(StackInstance->LastSocketError);
    n = 0;
  }
  if (n > 0) {
    if (FIntercept) {
      ReceiveScratch.SetSize(n);
      ReceiveScratch.SetPosition(0);
      FIntercept->ProcessReceived(ReceiveScratch);
      n = static_cast<int32_t>(ReceiveScratch.Size());
      if (ASCIIFilter) ClearBit7(ReceiveScratch.Memory(), n);
      InputQueue.Append(ReceiveScratch.Memory(), n);
    } else {
      if (ASCIIFilter) ClearBit7(target, n);
      InputQueue.CommitAppend(n);
    }
  }
  return n;
}

int32_t TNetTCPConnection::FillInputBuffer(bool RaiseIfDisconnected, int32_t ATimeout, bool RaiseOnTimeout) {
  return FillInput(RaiseIfDisconnected, ATimeout, RaiseOnTimeout, nullptr);
}

int32_t TNetTCPConnection::FillInput(bool RaiseIfDisconnected, int32_t ATimeout, bool RaiseOnTimeout,
                                     const std::function<void()>& ABeforeWait) {
  THandlerInUse inUse(*this);
  if (ATimeout == DefaultTimeLimit) ATimeout = ReadTimeout == 0 ? NoTimeLimit : ReadTimeout;
  int32_t result = 0;
  DetectDisconnect(RaiseIfDisconnected, false);
  if (!IsConnected()) {
    if (RaiseIfDisconnected) throw ENetNotConnected();
    return 0;
  }
  // Without a time limit and with no windows to keep alive, the blocking
  // receive waits just as well as a readiness wait would: skip the latter.
  const bool waitFirst = ATimeout != NoTimeLimit || TNetAntiFreezeBase::ShouldYield();
  int32_t n;
  do {
    // What has arrived already is taken without a readiness wait, which
    // would only have found it there. The anti-freeze gets the step it gets
    // after a wait slice in which data arrived.
    const bool tryFirst = (waitFirst || ABeforeWait) && FIOHandler->ReceivesWithoutWait();
    n = tryFirst ? ReceiveChunk(RaiseIfDisconnected, true) : ReceiveNotReady;
    if (n != ReceiveNotReady) {
      TNetAntiFreezeBase::YieldToUI(false, false);
    } else {
      if (tryFirst && ABeforeWait) ABeforeWait();
      if (waitFirst && !FIOHandler->WaitReadable(ATimeout)) {
        if (RaiseOnTimeout) throw ENetReadTimeout();
        return -1;
      }
      // The wait lets window handlers run; one of them may have closed the
      // link (an abort). That ends the read like a close of the peer would.
      if (!FIOHandler || !FIOHandler->IsOpen()) {
        DetectDisconnect(RaiseIfDisconnected, false);
        return 0;
      }
      n = ReceiveChunk(RaiseIfDisconnected, false);
    }
    DetectDisconnect(RaiseIfDisconnected, false);
    result = n;
  } while (n == 0 && IsConnected());
  return result;
}

std::string TNetTCPConnection::ReadLine(const std::string& ATerminator, int32_t ATimeout, int32_t AMaxLength) {
  if (AMaxLength == -1) AMaxLength = MaxLineLength;
  const std::string terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
  const int64_t termLen = static_cast<int64_t>(terminator.size());
  LastLineSplit = false;
  LastLineTimedOut = false;
  int64_t found = 0;
  int64_t scanned = 0;
  for (;;) {
    const int64_t size = InputQueue.Size();
    if (size > 0) {
      // Resume near the end of what was searched before, so that a long line
      // arriving in many chunks is scanned about once, while a terminator
      // that began in old bytes and ends in new ones is still found.
      const int64_t start = std::max<int64_t>(0, scanned - (termLen - 1));
      const int64_t at = FindInBuffer(terminator, InputQueue.Memory() + start, size - start);
      found = at ? at + start : 0;
      scanned = size;
    }
    // Without a terminator yet, the last termLen - 1 bytes may be the start
    // of one (a CR whose LF is still on its way) and do not count.
    const bool tooLong =
        AMaxLength != 0 && (found - 1 > AMaxLength || (found == 0 && scanned - (termLen - 1) > AMaxLength));
    if (tooLong) {
      if (MaxLineAction == maException) throw ENetReadLnMaxLineLengthExceeded();
      LastLineSplit = true;
      return InputQueue.TakeString(AMaxLength);
    }
    if (found == 0) {
      DetectDisconnect(true, true);
      const int32_t r = FillInputBuffer(true, ATimeout, ATimeout == DefaultTimeLimit);
      LastLineTimedOut = (r == -1);
      if (LastLineTimedOut) return std::string();
      continue;
    }
    std::string line = InputQueue.TakeString(found - 1 + termLen);
    int64_t keep = found - 1;
    if (terminator == "\n" && found > 1 && line[static_cast<size_t>(found - 2)] == '\r') keep = found - 2;
    line.resize(static_cast<size_t>(keep));
    return line;
  }
}

std::string TNetTCPConnection::ReadNonEmptyLine(int32_t AFailCount) {
  std::string line;
  for (int32_t i = 0; i < AFailCount && line.empty(); ++i) line = Trim(ReadLine("\n", DefaultTimeLimit, -1));
  return line;
}

void TNetTCPConnection::ReadBytes(void* ABuffer, int64_t ACount) {
  if (ACount <= 0 || !ABuffer) return;
  while (InputQueue.Size() < ACount) {
    FillInputBuffer(true, DefaultTimeLimit, true);
    DetectDisconnect(true, true);
  }
  std::memcpy(ABuffer, InputQueue.Memory(), static_cast<size_t>(ACount));
  InputQueue.Discard(ACount);
}

int32_t TNetTCPConnection::ReadInt32(bool AConvert) {
  uint32_t value = 0;
  ReadBytes(&value, 4);
  if (AConvert) value = StackInstance->NetToHost32(value);
  return static_cast<int32_t>(value);
}

// Received bytes are counted (work events) as they arrive and stay in the
// input queue until a block of them has piled up, or until the link has
// nothing more for the moment; then they go to the stream in one write,
// straight from the queue. Small receive chunks thus do not cost one write
// each, and a slow link still gets its bytes written as they come.
void TNetTCPConnection::ReadToStream(TNetStream& AStream, int64_t AByteCount, bool AUntilDisconnect) {
  // The length before the data counts up to 4 GiB - 1; read as a signed
  // value, more than 2 GiB would turn into "nothing" and stay on the link.
  if (AByteCount == -1 && !AUntilDisconnect) AByteCount = static_cast<uint32_t>(ReadInt32(true));
  if (AByteCount >= 0) {
    const int64_t pos = AStream.Position();
    AStream.SetSize(pos + AByteCount);
    AStream.SetPosition(pos);
  }
  // Space reserved for bytes that never came is given back, however the read
  // ends, once the work phase below has ended.
  TNetScopeExit trim([&AStream] {
    const int64_t pos = AStream.Position();
    if (AStream.Size() > pos) AStream.SetSize(pos);
  });
  int64_t remaining = AUntilDisconnect ? std::numeric_limits<int64_t>::max() : AByteCount;
  TNetWorkScope work(*this, wmRead, AUntilDisconnect ? 0 : AByteCount);

  const int64_t queued = InputQueue.Size();
  if (queued > 0 && remaining > 0) {
    const int64_t n = std::min(queued, remaining);
    AStream.WriteBuffer(InputQueue.Memory(), n);
    InputQueue.Discard(n);
    remaining -= n;
  }

  // A handler that cannot tell when the link is quiet (TLS) gets its bytes
  // written in blocks of its receive size.
  const bool quietKnown = FIOHandler && FIOHandler->ReceivesWithoutWait();
  const int64_t block = quietKnown ? std::max<int64_t>(RecvBufferSize, kStreamWriteBlock) : RecvBufferSize;
  int64_t counted = 0;  // the queued bytes of the stream already counted
  const auto countArrived = [&] {
    const int64_t owed = std::min(InputQueue.Size(), remaining);
    if (owed <= counted) return;
    const int64_t n = owed - counted;
    counted = owed;
    AddWork(wmRead, n);
  };
  // After a write that failed (perhaps half done) the stream gets nothing
  // more: a second try would write its bytes twice.
  bool streamFailed = false;
  const std::function<void()> writeCounted = [&] {
    if (counted == 0 || streamFailed) return;
    streamFailed = true;
    AStream.WriteBuffer(InputQueue.Memory(), counted);
    streamFailed = false;
    InputQueue.DiscardCounted(counted);
    remaining -= counted;
    counted = 0;
  };
  // Counted bytes reach the stream however the read ends (a work handler
  // that fails included).
  TNetScopeExit writeRest([&] { writeCounted(); });
  while (IsConnected() && remaining > counted) {
    try {
      FillInput(true, DefaultTimeLimit, true, writeCounted);
      DetectDisconnect(true, true);
    } catch (const std::exception& e) {
      // What arrived before the failure still belongs in the stream, counted
      // like every other chunk, so that the work total ends at the byte
      // count that arrived; a close of the peer is the normal end of a read
      // until disconnect.
      countArrived();
      if (AUntilDisconnect && dynamic_cast<const ENetConnClosedGracefully*>(&e)) return;
      throw;
    }
    countArrived();
    if (counted >= block || counted == remaining) writeCounted();
  }
  countArrived();
}

std::string TNetTCPConnection::TakeReceived() {
  if (IsConnected()) FillInputBuffer(false, DefaultTimeLimit, true);
  const int64_t size = InputQueue.Size();
  return size > 0 ? InputQueue.TakeString(size) : std::string();
}

std::string TNetTCPConnection::ReadAll() {
  TNetWorkScope work(*this, wmRead, 0);
  std::string result;
  while (IsConnected()) result += TakeReceived();
  return result;
}

// ---------------------------------------------------------------------------
// Writing

void TNetTCPConnection::WriteBytes(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0 || !ABuffer) return;
  THandlerInUse inUse(*this);
  DetectDisconnect(true, true);
  if (!IsConnected()) throw ENetNotConnected();

  // An intercept sees (and may rewrite) the whole block before it is sent.
  const char* data = static_cast<const char*>(ABuffer);
  TNetSimpleBuffer block;
  if (FIntercept) {
    block.WriteBuffer(ABuffer, ACount);
    block.SetPosition(0);
    FIntercept->ProcessSending(block);
    ACount = block.Size();
    data = block.Memory();
  }

  int64_t pos = 0;
  while (pos < ACount) {
    if (!FIOHandler) throw ENetNotConnected();
    const int32_t piece = static_cast<int32_t>(std::min(ACount - pos, kMaxSendPiece));
    const int32_t n = FIOHandler->SendSome(data + pos, piece);
    PeerClosed = (n == 0);
    DetectDisconnect(true, false);
    if (StackInstance->CheckSocketResult(n, {ErrSocketShutdown, ErrConnectionAborted, ErrConnectionReset})) {
      DropSocket();
      StackInstance->RaiseSocketFailure(StackInstance->LastSocketError);
    }
    TNetAntiFreezeBase::YieldToUI(false, false);
    AddWork(wmWrite, n);
    pos += n;
  }
}

void TNetTCPConnection::WriteText(const std::string& AText) {
  if (!AText.empty()) WriteBytes(AText.data(), static_cast<int64_t>(AText.size()));
}

void TNetTCPConnection::WriteLine(const std::string& AText) { WriteText(AText + "\r\n"); }

void TNetTCPConnection::WriteInt32(int32_t AValue, bool AConvert) {
  uint32_t value = static_cast<uint32_t>(AValue);
  if (AConvert) value = StackInstance->HostToNet32(value);
  WriteBytes(&value, 4);
}

void TNetTCPConnection::WriteFromStream(TNetStream& AStream, bool AAll, bool AWriteByteCount, int64_t ASize) {
  if (AAll) AStream.SetPosition(0);
  int64_t pos = AStream.Position();
  const int64_t end = ASize == 0 ? AStream.Size() : pos + ASize;
  const int64_t count = end - pos;
  if (AWriteByteCount) {
    // A count that does not fit the 4-byte length would announce a wrong one.
    if (count > int64_t{0xFFFFFFFF}) throw ENetTCPConnectionError("Stream too large for a 4-byte length.");
    WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(count)), true);
  }
  TNetWorkScope work(*this, wmWrite, count);
  const int64_t bufferSize = std::max(SendBufferSize, 1);
  std::vector<char> scratch(static_cast<size_t>(bufferSize));
  for (;;) {
    int64_t n = std::min(end - pos, bufferSize);
    if (n <= 0) break;
    n = AStream.Read(scratch.data(), n);
    if (n == 0) throw ENetNoDataToRead();
    WriteBytes(scratch.data(), n);
    pos += n;
  }
}

int64_t TNetTCPConnection::WriteFileContents(const std::string& AFileName, bool AAllowWholeFileSend) {
  if (!FileExists(AFileName)) throw ENetFileNotFound(AFileName);
  if (SendWholeFile && !FIntercept && AAllowWholeFileSend && FSocketHandler && FSocketHandler->SocketHandle() &&
      FSocketHandler->WritesRawSocket()) {
    // A released socket handle still holds its old descriptor number, which
    // may name another socket or file by now: send only on an open link.
    DetectDisconnect(true, true);
    if (!IsConnected()) throw ENetNotConnected();
    const int64_t size = FileSizeOf(AFileName);
    const int64_t sent = SendWholeFile(FSocketHandler->SocketHandle()->OsHandle, AFileName);
    // A short send is a failure, not a smaller file.
    if (sent != size) {
      const int32_t code = StackInstance->SockLastError();
      StackInstance->RaiseSocketFailure(code != 0 ? code : ErrConnectionReset);
    }
    return sent;
  }
  TNetFileStream file(AFileName, fmOpenRead | fmShareDenyWrite);
  WriteFromStream(file, true, false, 0);
  return file.Size();
}
