// The blocking, buffered byte channel every protocol is built on: it receives
// through its I/O handler into an input queue and serves lines, byte counts,
// integers and whole streams from it; it sends text, lines, blocks, integers,
// streams and files; it notices the peer's close; it reports what it does
// through status and work events; and it exchanges numeric command replies.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "NetBuffers.h"
#include "NetComponent.h"
#include "NetConnectionIntercept.h"
#include "NetIOHandler.h"
#include "NetRFCReply.h"

enum TNetMaxLineAction : int { maException, maSplit };

// Reply codes accepted by a command; an empty list accepts every code.
using TReplyCodes = std::initializer_list<int16_t>;

class TNetTCPConnection : public TNetComponent {
 public:
  explicit TNetTCPConnection(TNetBaseComponent* AOwner = nullptr);
  // Drops the socket and frees an owned I/O handler.
  ~TNetTCPConnection() override;

  std::string ClassName() const override { return "TNetTCPConnection"; }

  bool ASCIIFilter = false;  // clear bit 7 of every received byte
  bool PeerClosed = false;   // the last receive or send call returned 0 bytes
  TNetRFCReply GreetingReply;
  bool OwnsIOHandler = false;  // made by the client connect, freed by CloseConnection
  TNetManagedBuffer InputQueue;
  TNetRFCReply LastReply;
  TNetMaxLineAction MaxLineAction = maException;
  int32_t MaxLineLength = 16384;  // 0 disables the check
  TNotifyEvent OnDisconnected;
  bool LastLineSplit = false;
  bool LastLineTimedOut = false;
  int32_t ReadTimeout = 0;  // ms; 0 waits without limit
  int32_t RecvBufferSize = 32768;
  TNetSimpleBuffer ReceiveScratch;
  int32_t SendBufferSize = 32768;
  // Limits of one reply (ReadReplyLines); 0 turns a limit off.
  int32_t MaxReplyLines = 1000;
  int64_t MaxReplySize = 1048576;

  TNetIOHandler* IOHandler() const { return FIOHandler; }
  // Frees the current handler first when this connection owns it.
  void SetIOHandler(TNetIOHandler* AValue);
  // The I/O handler when it is a socket handler, else null.
  TNetIOHandlerSocket* SocketHandler() const { return FSocketHandler; }

  TNetConnectionIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TNetConnectionIntercept* AValue);

  // --- Link state
  virtual void FireDisconnected();
  // Empties the input queue and clears PeerClosed.
  virtual void ResetState();
  virtual std::string ReadAll();
  virtual void DetectDisconnect(bool RaiseIfDisconnected, bool IgnoreBuffer);
  // A 1 ms look for data or a close; never a time-out exception.
  virtual void ProbeDisconnect(bool RaiseIfDisconnected = true);
  virtual bool IsConnected();
  virtual void CloseConnection();
  // The intercept's Detach, then CloseHandler: a plain close without status events.
  virtual void DropSocket();

  // --- Replies (Sends the command followed by CR LF and reads one complete
  // reply; raises ENetProtocolReplyError unless its code is allowed.)
  virtual int16_t ValidateReply(int16_t ACode, TReplyCodes AAllowed);
  virtual int16_t ReadReply(TReplyCodes AAllowed);
  virtual int16_t SendCommand(const std::string& ACommand, TReplyCodes AAllowed);
  int16_t SendCommand(const std::string& ACommand, int16_t AExpected = -1);
  [[noreturn]] virtual void RaiseReplyError();
  template <class E>
  [[noreturn]] void RaiseReplyErrorAs() {
    throw E(ReplyErrorText());
  }
  // Reads the lines of one reply and parses them into LastReply.
  void ReadReplyLines();

  // --- Reading
  // Waits for and receives one chunk: the bytes appended, 0 when the link
  // closed, -1 on a time-out that did not raise.
  virtual int32_t FillInputBuffer(bool RaiseIfDisconnected = true, int32_t ATimeout = DefaultTimeLimit,
                                  bool RaiseOnTimeout = true);
  virtual std::string ReadLine(const std::string& ATerminator = "\n", int32_t ATimeout = DefaultTimeLimit,
                               int32_t AMaxLength = -1);
  std::string ReadNonEmptyLine(int32_t AFailCount = 2147483647);
  void ReadBytes(void* ABuffer, int64_t ACount);
  int32_t ReadInt32(bool AConvert = true);
  // Copies incoming data into AStream: AByteCount bytes, or (-1) as many as a
  // 4-byte unsigned length in network order announces, or everything until
  // the peer closes. Byte counts are 64-bit: files of any size arrive whole.
  void ReadToStream(TNetStream& AStream, int64_t AByteCount = -1, bool AUntilDisconnect = false);
  std::string TakeReceived();

  // --- Writing
  void WriteBytes(const void* ABuffer, int64_t ACount);
  virtual void WriteText(const std::string& AText);
  virtual void WriteLine(const std::string& AText);
  void WriteInt32(int32_t AValue, bool AConvert = true);
  // Sends from the stream's start (AAll) or its position, up to its end (ASize
  // 0) or ASize bytes, in chunks of SendBufferSize; with AWriteByteCount the
  // count goes first as a 4-byte length in network order (a stream of 4 GiB
  // or more is refused before anything is sent).
  virtual void WriteFromStream(TNetStream& AStream, bool AAll = true, bool AWriteByteCount = false,
                               int64_t ASize = 0);
  // Sends a file; through the kernel's whole-file send when allowed, no
  // intercept is set and the handler is a socket handler. Returns its size.
  virtual int64_t WriteFileContents(const std::string& AFileName, bool AAllowWholeFileSend = false);

 protected:
  void Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) override;
  std::string ReplyErrorText() const;

  // Held by every call that works through the I/O handler (connect, receive,
  // send). Such a call may pump the windows' messages, and a window handler
  // may then close this connection: an owned handler is only detached then,
  // and freed once the last call that used it has returned.
  class THandlerInUse {
   public:
    explicit THandlerInUse(TNetTCPConnection& AConnection);
    ~THandlerInUse();
    THandlerInUse(const THandlerInUse&) = delete;
    THandlerInUse& operator=(const THandlerInUse&) = delete;

   private:
    TNetTCPConnection& FConnection;
  };

 private:
  // One receive into the end of the input queue (through the intercept and
  // the ASCII filter); returns the byte count as FillInputBuffer's step does.
  // AArrivedOnly takes only what has arrived already, and returns
  // ReceiveNotReady (changing nothing) when that is nothing.
  int32_t ReceiveChunk(bool RaiseIfDisconnected, bool AArrivedOnly);
  // FillInputBuffer, with ABeforeWait run (when set) before it waits for the
  // link: a reader can then deal with what it holds while the link is quiet.
  int32_t FillInput(bool RaiseIfDisconnected, int32_t ATimeout, bool RaiseOnTimeout,
                    const std::function<void()>& ABeforeWait);
  void InputConsumed(int64_t ACount) { AddWork(wmRead, ACount); }

  TNetIOHandler* FIOHandler = nullptr;
  int FHandlerUseDepth = 0;
  std::vector<TNetIOHandler*> FRetiredHandlers;  // owned, freed when no call uses them
  TNetIOHandlerSocket* FSocketHandler = nullptr;
  TNetConnectionIntercept* FIntercept = nullptr;
};
