// The socket stack: the one process-wide object through which every layer
// above opens, binds, connects, reads, writes and waits on sockets.
//
// TNetStack fixes the operations, how host text becomes an IPv4 address
// (including the short one-, two- and three-part forms) and how a failed
// socket call becomes ENetSocketError with its numbered text. The error codes
// are the stack's own table (10004 and up, 11001 for an unknown host); the
// concrete stack maps the platform's error numbers onto them.
//
// The IPv4 operations keep their short forms and their one-address name
// lookup. Beside them the stack speaks IPv6 where the layers above need it:
// sockets of either family, address texts of either family ("::1",
// "192.0.2.1"), every address of a name in the resolver's order, and a
// connect that tries several addresses with staggered starts (RFC 8305).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "NetText.h"

// Time-outs, in milliseconds.
constexpr int32_t NoTimeLimit = -2;       // wait without limit
constexpr int32_t DefaultTimeLimit = -1;  // the connection's configured read time-out

// A socket value; -1 is no socket, and -1 is also what a failing call returns.
using TNetSocket = int32_t;
constexpr TNetSocket InvalidSocket = -1;
constexpr int32_t SocketError = -1;

// Platform values the layers above pass through (the same numbers on every
// platform this stack knows).
constexpr int32_t Id_PF_INET4 = 2;      // the IPv4 family
constexpr int32_t Id_PF_INET6 = 10;     // the IPv6 family (its number differs between platforms)
constexpr int32_t Id_SOCK_STREAM = 1;   // stream socket type
constexpr int32_t Id_IPPROTO_TCP = 6;   // option level of TCP
constexpr int32_t Id_TCP_NODELAY = 1;   // TCP option: no Nagle delay

enum IPTextKind : int { ipInvalid = 0, ipDotted = 1, ipNumeric = 2 };
enum IPAddressClass : int { ipClassUnknown = 0, ipClassA, ipClassB, ipClassC, ipClassD, ipClassE };

// Four address bytes in network order (first byte = first dotted part).
using TNetIPv4Bytes = std::array<uint8_t, 4>;
// Sixteen IPv6 address bytes in network order.
using TNetIPv6Bytes = std::array<uint8_t, 16>;

// One socket of a staggered connect and the address it is to reach.
struct TNetConnectAttempt {
  TNetSocket Socket = InvalidSocket;
  int32_t Family = Id_PF_INET4;
  std::string IP;
  int32_t Port = 0;
};

// The delay after which the next address is tried while the one before has
// not answered yet (RFC 8305, "Connection Attempt Delay").
constexpr int32_t ConnectAttemptDelay = 250;

// A set of socket values for readiness waits: at most 64 values.
class TNetSocketList {
 public:
  virtual ~TNetSocketList() = default;
  // Raises ENetStackSetSizeExceeded for an index outside 0 .. Count()-1.
  virtual TNetSocket Items(int Index) const = 0;
  // Raises ENetStackSetSizeExceeded when 64 values are already held.
  virtual void Add(TNetSocket Socket) = 0;
  // Removes the first equal value (the last value takes its place); an absent
  // value is ignored.
  virtual void Remove(TNetSocket Socket) = 0;
  virtual int Count() const = 0;
  virtual void Clear() = 0;
};

constexpr int NetSocketSetSize = 64;

class TNetSocketListPosix : public TNetSocketList {
 public:
  TNetSocket Items(int Index) const override;
  void Add(TNetSocket Socket) override;
  void Remove(TNetSocket Socket) override;
  int Count() const override { return FCount; }
  void Clear() override;

 private:
  int32_t FCount = 0;
  std::array<TNetSocket, NetSocketSetSize> FSockets{};
};

// A signal that wakes a connect running on another thread and makes it give
// up. Closing a descriptor does not wake a blocked connect on this platform,
// so the waiting thread cancels through this and closes the socket only after
// the connect thread has ended.
class TNetCancelSignal {
 public:
  TNetCancelSignal();
  ~TNetCancelSignal();
  TNetCancelSignal(const TNetCancelSignal&) = delete;
  TNetCancelSignal& operator=(const TNetCancelSignal&) = delete;

  void Cancel();
  bool Cancelled() const { return FCancelled.load(std::memory_order_acquire); }
  int Fd() const { return FFd; }  // readable once cancelled

 private:
  std::atomic<bool> FCancelled{false};
  int FFd = -1;
};

class TNetStack {
 public:
  TNetStack() = default;
  virtual ~TNetStack() = default;
  TNetStack(const TNetStack&) = delete;
  TNetStack& operator=(const TNetStack&) = delete;

  // The code read by the last CheckSocketResult that saw a failure. The
  // connect thread may write it while the main thread waits.
  std::atomic<int32_t> LastSocketError{0};

  virtual void FillLocalAddresses() = 0;
  virtual std::string FirstLocalAddress() = 0;
  // Refilled on every call; owned by the stack.
  virtual const TStringList& LocalAddressList() = 0;

  // Addresses go in and come out as texts of the socket's family: dotted
  // IPv4 for Id_PF_INET4, IPv6 text ("::1") for Id_PF_INET6. An empty text
  // binds any local address of the family.
  virtual TNetSocket SockAccept(TNetSocket Listening, std::string& IP, int32_t& Port) = 0;
  virtual int32_t SockBind(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) = 0;
  virtual int32_t SockClose(TNetSocket Socket) = 0;
  virtual int32_t SockConnect(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) = 0;
  // As SockConnect, but gives up as soon as Cancel is signalled (the result
  // is then -1 with the last error 10004, interrupted call).
  virtual int32_t SockConnectCancellable(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port,
                                         const TNetCancelSignal& Cancel) = 0;
  // Connects the attempts' sockets, the first at once and each next one
  // AStaggerMs later or as soon as every attempt before it has failed;
  // returns 0 with AWinner set once one has connected (the others are left
  // unconnected, still open), or -1 with the error of the last attempt that
  // failed. ACancel, when given, gives up as SockConnectCancellable does.
  virtual int32_t SockConnectFirst(const std::vector<TNetConnectAttempt>& Attempts, int32_t StaggerMs,
                                   const TNetCancelSignal* Cancel, size_t& Winner) = 0;
  virtual std::string SockHostByName(const std::string& HostName) = 0;
  // Every address of the name (IPv6 and IPv4), in the resolver's order,
  // each once. Raises ENetSocketError as SockHostByName does.
  virtual TStringList SockHostAddresses(const std::string& HostName) = 0;
  virtual std::string SockHostName() = 0;
  virtual std::string SockHostByAddr(const std::string& IP) = 0;
  virtual int32_t SockServiceByName(const std::string& ServiceName) = 0;
  virtual TStringList SockServiceByPort(int32_t Port) = 0;
  virtual uint16_t HostToNet16(uint16_t Value) = 0;
  virtual int32_t SockListen(TNetSocket Socket, int32_t Backlog) = 0;
  virtual uint16_t NetToHost16(uint16_t Value) = 0;
  virtual uint32_t HostToNet32(uint32_t Value) = 0;
  virtual uint32_t NetToHost32(uint32_t Value) = 0;
  virtual int32_t SockRecv(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags) = 0;
  virtual int32_t SockRecvFrom(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags, std::string& IP,
                               int32_t& Port) = 0;
  // Waits until a socket of a list is ready; a list may be null. Each given
  // list is refilled with its ready sockets. Returns the number of ready
  // sockets, 0 on a time-out, -1 on failure (not raised). Raises
  // ENetStackSetSizeExceeded before waiting when a list holds more than 64.
  virtual int32_t SockSelect(TNetSocketList* ReadList, TNetSocketList* WriteList, TNetSocketList* ErrorList,
                             int32_t Timeout) = 0;
  // Never raises a signal when the peer has gone: the failure comes back as
  // -1 with its code.
  virtual int32_t SockSend(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags) = 0;
  virtual int32_t SockSendTo(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags,
                             const std::string& IP, int32_t Port) = 0;
  virtual int32_t SockSetOption(TNetSocket Socket, int32_t Level, int32_t OptName, const void* OptVal,
                                int32_t OptLen) = 0;
  // Bounds every blocking send on the socket: a send that can hand nothing to
  // the system for Milliseconds fails with ErrWouldBlock, one that
  // handed some of its bytes returns their count. 0 removes the bound.
  virtual int32_t SockSetSendTimeout(TNetSocket Socket, int32_t Milliseconds) = 0;
  virtual TNetSocket SockCreate(int32_t Family, int32_t SocketType, int32_t Protocol) = 0;
  virtual int32_t SockShutdown(TNetSocket Socket, int32_t How) = 0;
  // "Socket Error # <code>" CR LF and the code's text from the table (empty
  // for a code outside it).
  virtual std::string SockErrorText(int32_t ErrorCode);
  // The last error of the calling thread, as a code of the table.
  virtual int32_t SockLastError() = 0;
  // Raise ENetSocketError on failure.
  virtual void SockPeerName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) = 0;
  virtual void SockLocalName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) = 0;
  virtual int32_t SockGetOption(TNetSocket Socket, int32_t Level, int32_t OptName, void* OptVal,
                                int32_t& OptLen) = 0;
  virtual std::string AddrToText(const TNetIPv4Bytes& Addr) = 0;
  // Raises ENetInvalidIPAddress.
  virtual void TextToAddrBytes(const std::string& IP, TNetIPv4Bytes& Addr) = 0;
  // An IPv6 address text ("::1", "2001:db8::5", with or without a "%zone")
  // as bytes; false for anything else, IPv4 texts included.
  virtual bool ParseIPv6(const std::string& Text, TNetIPv6Bytes* Bytes) = 0;

  // False when Result is not -1. Otherwise records the last error in
  // LastSocketError and returns true when it is in Ignore, else raises
  // ENetSocketError.
  bool CheckSocketResult(int32_t Result, std::initializer_list<int32_t> Ignore = {});
  [[noreturn]] void RaiseSocketFailure(int32_t ErrorCode);
  // Raises ENetInvalidSocket. Without a family the socket is IPv4.
  TNetSocket NewSocket(int32_t SocketType, int32_t Protocol);
  TNetSocket NewSocket(int32_t Family, int32_t SocketType, int32_t Protocol);
  // "LOCALHOST" (any case) gives 127.0.0.1, an address text stays as it is,
  // any other name is looked up (the first address of the entry).
  std::string ResolveHostName(const std::string& Host);
  bool IsIPAddress(const std::string& Text);
  bool IsIPv6Address(const std::string& Text);
  // An address text of either family: nothing to look up.
  bool IsIPLiteral(const std::string& Text) { return IsIPAddress(Text) || IsIPv6Address(Text); }
  // The family an address text belongs to: IPv6 when it holds a colon.
  static int32_t AddressFamily(const std::string& IP);
  // "[::1]", the bracketed form of a host field, gives "::1"; any other
  // text stays as it is.
  static std::string UnbracketHost(const std::string& Host);
  // The addresses to try for a host, in order: an address text (brackets
  // taken off) is its own and only address, "LOCALHOST" is 127.0.0.1 as for
  // ResolveHostName, any other name gives every address the resolver knows.
  TStringList ResolveHostAddresses(const std::string& Host);
  // Whether two address texts name the same address. An IPv4-mapped IPv6
  // address ("::ffff:192.0.2.1") equals its IPv4 one; texts that are not
  // addresses are equal only when they are the same text.
  bool SameAddress(const std::string& A, const std::string& B);
  // Classifies Text; every output may be null. Returns the valid flag.
  bool ParseIPv4(const std::string& Text, TNetIPv4Bytes* Bytes, IPTextKind* Kind, IPAddressClass* Class);
  IPTextKind IPKind(const std::string& Text);
  // The four bytes as one value in network order. Raises ENetInvalidIPAddress.
  uint32_t TextToAddr(const std::string& IP);
};

// The stack of this platform.
class TNetStackPosix : public TNetStack {
 public:
  TNetStackPosix();
  ~TNetStackPosix() override;

  void FillLocalAddresses() override;
  std::string FirstLocalAddress() override;
  const TStringList& LocalAddressList() override;
  TNetSocket SockAccept(TNetSocket Listening, std::string& IP, int32_t& Port) override;
  int32_t SockBind(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) override;
  int32_t SockClose(TNetSocket Socket) override;
  int32_t SockConnect(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) override;
  int32_t SockConnectCancellable(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port,
                                 const TNetCancelSignal& Cancel) override;
  int32_t SockConnectFirst(const std::vector<TNetConnectAttempt>& Attempts, int32_t StaggerMs,
                           const TNetCancelSignal* Cancel, size_t& Winner) override;
  std::string SockHostByName(const std::string& HostName) override;
  TStringList SockHostAddresses(const std::string& HostName) override;
  std::string SockHostName() override;
  std::string SockHostByAddr(const std::string& IP) override;
  int32_t SockServiceByName(const std::string& ServiceName) override;
  TStringList SockServiceByPort(int32_t Port) override;
  uint16_t HostToNet16(uint16_t Value) override;
  int32_t SockListen(TNetSocket Socket, int32_t Backlog) override;
  uint16_t NetToHost16(uint16_t Value) override;
  uint32_t HostToNet32(uint32_t Value) override;
  uint32_t NetToHost32(uint32_t Value) override;
  int32_t SockRecv(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags) override;
  int32_t SockRecvFrom(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags, std::string& IP,
                       int32_t& Port) override;
  int32_t SockSelect(TNetSocketList* ReadList, TNetSocketList* WriteList, TNetSocketList* ErrorList,
                     int32_t Timeout) override;
  int32_t SockSend(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags) override;
  int32_t SockSendTo(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags, const std::string& IP,
                     int32_t Port) override;
  int32_t SockSetOption(TNetSocket Socket, int32_t Level, int32_t OptName, const void* OptVal,
                        int32_t OptLen) override;
  int32_t SockSetSendTimeout(TNetSocket Socket, int32_t Milliseconds) override;
  TNetSocket SockCreate(int32_t Family, int32_t SocketType, int32_t Protocol) override;
  int32_t SockShutdown(TNetSocket Socket, int32_t How) override;
  // Adds the resolver's codes to the table: 11001 "Host not found." (the
  // name does not exist), 11002 (temporary failure, e.g. no answer from the
  // name server) and 11003 (any other resolver failure).
  std::string SockErrorText(int32_t ErrorCode) override;
  int32_t SockLastError() override;
  void SockPeerName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) override;
  void SockLocalName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) override;
  int32_t SockGetOption(TNetSocket Socket, int32_t Level, int32_t OptName, void* OptVal, int32_t& OptLen) override;
  std::string AddrToText(const TNetIPv4Bytes& Addr) override;
  void TextToAddrBytes(const std::string& IP, TNetIPv4Bytes& Addr) override;
  bool ParseIPv6(const std::string& Text, TNetIPv6Bytes* Bytes) override;

 private:
  TStringList FLocalAddresses;
};

// Codes of the stack's table that code tests for or sets by name (the table
// with every code's text is in NetStack.cpp, the resolver's rows in
// TNetStackPosix::SockErrorText).
constexpr int32_t ErrInterrupted = 10004;     // an interrupted call; also a connect given up
constexpr int32_t ErrBadFile = 10009;         // not an open descriptor
constexpr int32_t ErrBadAddress = 10014;
constexpr int32_t ErrInvalidArgument = 10022;
constexpr int32_t ErrWouldBlock = 10035;      // also a send that hit its time-out
constexpr int32_t ErrNotASocket = 10038;
constexpr int32_t ErrAddressInUse = 10048;
constexpr int32_t ErrConnectionAborted = 10053;
constexpr int32_t ErrConnectionReset = 10054;
constexpr int32_t ErrSocketShutdown = 10058;  // also a peer that has gone (EPIPE)
constexpr int32_t ErrConnectionRefused = 10061;
constexpr int32_t ErrHostNotFound = 11001;

// Maps a platform error number (errno) onto the stack's code table; a number
// without a counterpart maps to itself.
int32_t NetErrorCodeFromErrno(int Errno);

// "Socket Error # <code>" CR LF Text (nothing after the line end when Text is null).
std::string SocketErrorMessage(int32_t ErrorCode, const char* Text);
// SocketErrorMessage with the text of the stack's table (what
// TNetStack::SockErrorText gives without a stack's own rows).
std::string NetTableErrorText(int32_t ErrorCode);

// Process-wide state. The stack exists while at least one counted network
// component exists (see TNetComponent); StackClass makes it.
using TNetStackFactory = std::unique_ptr<TNetStack> (*)();
extern TNetStackFactory StackClass;
extern std::unique_ptr<TNetStack> StackInstance;
// True once the socket library's start-up has run in this process; it runs
// once, however often the stack is made again.
extern bool SocketLibraryStarted;
extern int SocketLibraryStartCount;

// Sends a whole file on a connected socket through the kernel, without copying
// it through the process. Returns the bytes sent (the file's size), 0 when the
// send failed. Null on platforms that have no such call.
using TSendWholeFileFunc = int64_t (*)(TNetSocket Socket, const std::string& FileName);
extern TSendWholeFileFunc SendWholeFile;
