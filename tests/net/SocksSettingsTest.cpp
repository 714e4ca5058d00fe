// SOCKS settings: defaults, copying, how a socket I/O handler takes a
// settings object (referenced when it has an owner, copied when it has none),
// and how a client is set up for a proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "NetExceptions.h"
#include "NetIOHandler.h"
#include "NetSocksInfo.h"
#include "NetTCPClient.h"
#include "ScriptedServer.h"
#include "ScriptedSocks.h"

namespace {

// Stands for a window that owns the settings component.
class TOwnerStub : public TNetComponent {};

void Fill(TNetSocksInfo& s) {
  s.Authentication = saUsernamePassword;
  s.Host = "proxy.example";
  s.Password = "pw";
  s.Port = 1085;
  s.Username = "alice";
  s.Version = svSocks4A;
}

TNetSocksInfo* FilledSettings(TNetBaseComponent& AOwner) {
  auto* s = AOwner.CreateComponent<TNetSocksInfo>();
  Fill(*s);
  return s;
}

std::unique_ptr<TNetSocksInfo> FilledSettings() {
  auto s = std::make_unique<TNetSocksInfo>();
  Fill(*s);
  return s;
}

}  // namespace

TEST(SocksSettings, DefaultsAndCopy) {
  TNetSocksInfo a;
  EXPECT_EQ(a.Authentication, saNoAuthentication);
  EXPECT_EQ(a.Host, "");
  EXPECT_EQ(a.Password, "");
  EXPECT_EQ(a.Port, 1080);
  EXPECT_EQ(a.Username, "");
  EXPECT_EQ(a.Version, svNoSocks);
  EXPECT_EQ(a.IOHandler(), nullptr);
  EXPECT_EQ(static_cast<int>(svSocks4), 1);
  EXPECT_EQ(static_cast<int>(svSocks4A), 2);
  EXPECT_EQ(static_cast<int>(svSocks5), 3);

  std::unique_ptr<TNetSocksInfo> b = FilledSettings();
  TNetIOHandlerSocket handler;
  b->SetIOHandler(&handler);
  a.Assign(*b);
  EXPECT_EQ(a.Authentication, saUsernamePassword);
  EXPECT_EQ(a.Host, "proxy.example");
  EXPECT_EQ(a.Password, "pw");
  EXPECT_EQ(a.Port, 1085);
  EXPECT_EQ(a.Username, "alice");
  EXPECT_EQ(a.Version, svSocks4A);
  EXPECT_EQ(a.IOHandler(), nullptr);  // the six settings only

  try {
    a.Assign(handler);
    FAIL() << "a foreign class was assigned";
  } catch (const EAssignError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TNetIOHandlerSocket to a TNetSocksInfo");
  }
}

TEST(SocksSettings, HandlerMakesItsOwnWhenNoneIsSet) {
  TNetIOHandlerSocket handler;
  TNetSocksInfo* own = handler.SocksInfo();
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->Owner(), nullptr);
  EXPECT_EQ(own->IOHandler(), &handler);
  EXPECT_EQ(own->Version, svNoSocks);
  EXPECT_EQ(handler.SocksInfo(), own);  // made once

  handler.SetSocksInfo(nullptr);
  TNetSocksInfo* fresh = handler.SocksInfo();
  EXPECT_EQ(fresh->Version, svNoSocks);
  EXPECT_EQ(fresh->IOHandler(), &handler);
}

TEST(SocksSettings, OwnerlessObjectIsCopied) {
  TNetIOHandlerSocket handler;
  std::unique_ptr<TNetSocksInfo> plain = FilledSettings();
  handler.SetSocksInfo(plain.get());
  TNetSocksInfo* used = handler.SocksInfo();
  EXPECT_NE(used, plain.get());
  EXPECT_EQ(used->IOHandler(), &handler);
  EXPECT_EQ(used->Host, "proxy.example");
  EXPECT_EQ(used->Version, svSocks4A);
  EXPECT_EQ(used->Authentication, saUsernamePassword);
  plain->Host = "changed.example";
  plain.reset();
  EXPECT_EQ(handler.SocksInfo()->Host, "proxy.example");
}

TEST(SocksSettings, OwnedObjectIsReferencedUntilDestroyed) {
  TOwnerStub window;
  TNetIOHandlerSocket handler;
  TNetSocksInfo* owned = FilledSettings(window);
  handler.SetSocksInfo(owned);
  EXPECT_EQ(handler.SocksInfo(), owned);
  EXPECT_EQ(owned->IOHandler(), &handler);
  owned->Port = 1090;  // a reference: the handler sees every change
  EXPECT_EQ(handler.SocksInfo()->Port, 1090);

  window.FreeComponent(owned);
  TNetSocksInfo* after = handler.SocksInfo();
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->Version, svNoSocks);  // a fresh internal object
  EXPECT_EQ(after->Owner(), nullptr);
  EXPECT_EQ(after->IOHandler(), &handler);
}

TEST(SocksSettings, OwnedObjectOutlivesItsHandler) {
  TOwnerStub window;
  TNetSocksInfo* owned = FilledSettings(window);
  {
    TNetIOHandlerSocket handler;
    handler.SetSocksInfo(owned);
    EXPECT_EQ(owned->IOHandler(), &handler);
  }
  EXPECT_EQ(owned->IOHandler(), nullptr);
  window.FreeComponent(owned);  // must not touch the handler that is gone
}

TEST(SocksSettings, ReplacingTheReferenceForgetsTheOldObject) {
  TOwnerStub window;
  TNetSocksInfo* first = FilledSettings(window);
  TNetSocksInfo* second = FilledSettings(window);
  second->Host = "second.example";
  auto handler = std::make_unique<TNetIOHandlerSocket>();

  handler->SetSocksInfo(first);
  handler->SetSocksInfo(second);
  EXPECT_EQ(handler->SocksInfo(), second);
  window.FreeComponent(first);  // no longer the handler's
  EXPECT_EQ(handler->SocksInfo(), second);

  // An owner-less object after a reference: the reference is dropped, the
  // values copied.
  TNetSocksInfo plain;
  plain.Host = "plain.example";
  handler->SetSocksInfo(&plain);
  EXPECT_NE(handler->SocksInfo(), second);
  EXPECT_EQ(handler->SocksInfo()->Host, "plain.example");
  window.FreeComponent(second);
  EXPECT_EQ(handler->SocksInfo()->Host, "plain.example");

  // A dropped reference still learns of its old handler's end.
  TNetSocksInfo* third = FilledSettings(window);
  handler->SetSocksInfo(third);
  handler->SetSocksInfo(nullptr);
  handler.reset();
  EXPECT_EQ(third->IOHandler(), nullptr);
}

// A client set up for a proxy keeps the settings on a handler of its own
// across sessions; a second set-up reuses that handler; an open connection
// refuses the set-up.
TEST(SocksSettings, ClientThroughAProxyForEverySession) {
  ScriptedSocksProxy proxy;
  ScriptedServer destination(Script().Send("hello\r\n").ReadUntilEof());
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = destination.Port();
  std::vector<std::string> statuses;
  client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { statuses.push_back(text); };

  TNetSocksSettings settings;
  settings.Version = svSocks4;
  settings.Host = "127.0.0.1";
  settings.Port = 1;  // replaced by the second set-up
  TNetSocksInfo& socks = client.UseSocksProxy(settings);
  TNetIOHandler* handler = client.IOHandler();
  ASSERT_NE(handler, nullptr);
  settings.Version = svSocks5;
  settings.Port = proxy.Port();
  EXPECT_EQ(&client.UseSocksProxy(settings), &socks);
  EXPECT_EQ(client.IOHandler(), handler);
  EXPECT_EQ(client.ComponentCount(), 1u);
  EXPECT_EQ(socks.Version, svSocks5);

  for (int session = 0; session < 2; ++session) {
    client.OpenConnection();
    EXPECT_EQ(client.ReadLine(), "hello");
    EXPECT_THROW(client.UseSocksProxy(settings), ENetAlreadyConnected);
    client.CloseConnection();
    EXPECT_EQ(client.IOHandler(), handler);
  }
  ASSERT_EQ(proxy.Requests().size(), 2u);
  EXPECT_EQ(proxy.Requests()[1].Port, destination.Port());
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Connecting to 127.0.0.1."), statuses.end());
}
