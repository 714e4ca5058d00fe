// netcheck: a short self-check of the socket layer over loopback.
//
// Resolves localhost, listens on 127.0.0.1 with a port the system chooses,
// connects a socket handle to it, accepts, and exchanges one line in each
// direction. The client's traffic passes an event log whose entries are
// printed as a trace. Exits 0 with "self-check passed", or 1 with the
// failure's class and message.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

#include "NetComponent.h"
#include "NetExceptions.h"
#include "NetLog.h"
#include "NetSocketHandle.h"
#include "NetStack.h"

namespace {

constexpr int32_t WaitMs = 5000;

void Fail(const std::string& What) { throw ENetException(What); }

void SendLine(TNetSocketHandle& Handle, TNetLogEvent& Log, const std::string& Line) {
  TNetMemoryStream block;
  block.Write(Line.data(), static_cast<int64_t>(Line.size()));
  block.SetPosition(0);
  Log.ProcessSending(block);
  const int32_t size = static_cast<int32_t>(block.Size());
  const int32_t sent = Handle.SendBytes(block.Memory(), size);
  StackInstance->CheckSocketResult(sent);
  if (sent != size) Fail("short send");
}

// Reads until a line end has arrived.
std::string ReceiveLine(TNetSocketHandle& Handle, TNetLogEvent* Log) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    if (!Handle.WaitReadable(WaitMs)) throw ENetReadTimeout();
    char buffer[512];
    const int32_t n = Handle.RecvBytes(buffer, sizeof buffer);
    StackInstance->CheckSocketResult(n);
    if (n == 0) throw ENetConnClosedGracefully();
    TNetMemoryStream block;
    block.Write(buffer, n);
    block.SetPosition(0);
    if (Log) Log->ProcessReceived(block);
    text.append(block.Memory(), static_cast<size_t>(block.Size()));
  }
  return text;
}

int Run() {
  TNetComponent component;  // keeps the socket stack alive
  TNetStack& stack = *StackInstance;

  const std::string ip = stack.ResolveHostName("localhost");
  std::printf("resolved localhost to %s\n", ip.c_str());

  TNetSocketHandle server;
  server.OpenSocket();
  server.IP = ip;
  server.Port = 0;
  server.BindLocal();
  server.StartListen(1);
  const TNetSocket listening = server.OsHandle;
  std::printf("listening on %s:%d\n", server.IP.c_str(), server.Port);

  TNetSocketHandle client;
  client.OpenSocket();
  client.SetRemote(ip, server.Port);
  stack.CheckSocketResult(client.ConnectPeer());
  if (!server.AcceptFrom(listening)) Fail("accept was interrupted");
  stack.CheckSocketResult(stack.SockClose(listening));
  std::printf("connected %s:%d to %s:%d\n", client.IP.c_str(), client.Port, client.RemoteIP.c_str(),
              client.RemotePort);

  TNetLogEvent log;
  log.LogTime = false;
  log.ReplaceCRLF = true;
  log.OnStatus = [](TNetBaseComponent*, const std::string& text) { std::printf("  Stat %s\n", text.c_str()); };
  log.OnSent = [](TNetBaseComponent*, const std::string&, const std::string& data) {
    std::printf("  Sent %s\n", data.c_str());
  };
  log.OnReceived = [](TNetBaseComponent*, const std::string&, const std::string& data) {
    std::printf("  Recv %s\n", data.c_str());
  };
  log.SetActive(true);
  log.AttachTo(&component);

  const std::string hello = "HELLO remessa\r\n";
  const std::string reply = "200 Hello to you too\r\n";
  SendLine(client, log, hello);
  if (ReceiveLine(server, nullptr) != hello) Fail("the server received something else");
  StackInstance->CheckSocketResult(server.SendBytes(reply.data(), static_cast<int32_t>(reply.size())));
  if (ReceiveLine(client, &log) != reply) Fail("the client received something else");
  log.Detach();

  client.ReleaseSocket();
  server.ReleaseSocket();
  std::printf("self-check passed\n");
  return 0;
}

std::string ClassName(const std::exception& E) {
  int status = 0;
  char* name = abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : typeid(E).name();
  std::free(name);
  return result;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "netcheck failed: %s: %s\n", ClassName(e).c_str(), e.what());
    return 1;
  }
}
