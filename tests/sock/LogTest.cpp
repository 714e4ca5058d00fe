// Intercepts (hooks, nesting, references that clear themselves) and the
// event log (on/off with loading, time text, line-end markers, event order).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NetConnectionIntercept.h"
#include "NetExceptions.h"
#include "NetLog.h"

namespace {

void Fill(TNetMemoryStream& Block, const std::string& Bytes) {
  Block.Clear();
  Block.Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  Block.SetPosition(0);
}

// Records every event of an intercept (and, for a log, of the log) in order.
struct TRecorder {
  std::vector<std::string> Events;

  void Watch(TNetConnectionIntercept& I, const std::string& Name) {
    I.OnConnect = [this, Name](TNetConnectionIntercept*) { Events.push_back(Name + ".connect"); };
    I.OnDisconnect = [this, Name](TNetConnectionIntercept*) { Events.push_back(Name + ".disconnect"); };
    I.OnReceive = [this, Name](TNetConnectionIntercept*, TNetMemoryStream& s) {
      Events.push_back(Name + ".receive:" + s.DataString());
      s.Seek(0, soEnd);  // the hook puts the position back
    };
    I.OnSend = [this, Name](TNetConnectionIntercept*, TNetMemoryStream& s) {
      Events.push_back(Name + ".send:" + s.DataString());
      s.Seek(0, soEnd);
    };
  }
  void WatchLog(TNetLogEvent& L) {
    Watch(L, "log");
    L.OnStatus = [this, &L](TNetBaseComponent* sender, const std::string& text) {
      EXPECT_EQ(sender, &L);
      Events.push_back("status:" + text);
    };
    L.OnReceived = [this](TNetBaseComponent*, const std::string& time, const std::string& data) {
      Events.push_back("received[" + time + "]" + data);
    };
    L.OnSent = [this](TNetBaseComponent*, const std::string& time, const std::string& data) {
      Events.push_back("sent[" + time + "]" + data);
    };
  }
};

using TEvents = std::vector<std::string>;

std::unique_ptr<TNetLogEvent> ActiveLog(bool ReplaceCRLF, bool LogTime = false) {
  auto log = std::make_unique<TNetLogEvent>();
  log->LogTime = LogTime;
  log->ReplaceCRLF = ReplaceCRLF;
  log->SetActive(true);
  return log;
}

}  // namespace

TEST(Intercept, NestedInterceptsSitNearerTheSocket) {
  TNetBaseComponent connection;
  TNetConnectionIntercept outer, inner;
  outer.SetNextIntercept(&inner);
  TRecorder r;
  r.Watch(outer, "outer");
  r.Watch(inner, "inner");
  TNetMemoryStream block;

  outer.AttachTo(&connection);
  EXPECT_EQ(outer.AttachedConnection(), &connection);
  EXPECT_EQ(inner.AttachedConnection(), &connection);
  Fill(block, "in");
  outer.ProcessReceived(block);
  EXPECT_EQ(block.Position(), 0);
  Fill(block, "out");
  outer.ProcessSending(block);
  EXPECT_EQ(block.Position(), 0);
  outer.Detach();
  EXPECT_EQ(outer.AttachedConnection(), nullptr);
  EXPECT_EQ(inner.AttachedConnection(), nullptr);
  EXPECT_EQ(r.Events, (TEvents{"outer.connect", "inner.connect", "inner.receive:in", "outer.receive:in",
                               "outer.send:out", "inner.send:out", "inner.disconnect", "outer.disconnect"}));
}

TEST(Intercept, ReferencesClearWhenTheOtherSideIsDestroyed) {
  TNetConnectionIntercept outer;
  {
    TNetConnectionIntercept inner;
    outer.SetNextIntercept(&inner);
    EXPECT_EQ(outer.NextIntercept(), &inner);
  }
  EXPECT_EQ(outer.NextIntercept(), nullptr);
  TNetMemoryStream block;
  Fill(block, "x");
  outer.ProcessReceived(block);  // nothing left to forward to

  {
    TNetBaseComponent connection;
    outer.AttachTo(&connection);
  }
  EXPECT_EQ(outer.AttachedConnection(), nullptr);

  // Owned intercepts go with their owner, and the reference still clears.
  auto owner = std::make_unique<TNetBaseComponent>();
  outer.SetNextIntercept(owner->CreateComponent<TNetConnectionIntercept>());
  owner.reset();
  EXPECT_EQ(outer.NextIntercept(), nullptr);
}

TEST(EventLog, LineEndsBecomeMarkersInOrder) {
  auto log = ActiveLog(true);
  TRecorder r;
  r.WatchLog(*log);
  log->OnReceive = nullptr;
  log->OnSend = nullptr;
  TNetMemoryStream block;
  Fill(block, "A\r\nB\rC\nD");
  log->ProcessReceived(block);
  Fill(block, "\n\r");
  log->ProcessSending(block);
  Fill(block, "\r\r\n");
  log->ProcessReceived(block);
  Fill(block, std::string("a\0b\xff", 4));
  log->ProcessSending(block);
  EXPECT_EQ(r.Events, (TEvents{"received[]A<EOL>B<CR>C<LF>D", "sent[]<LF><CR>", "received[]<CR><EOL>",
                               "sent[]" + std::string("a\0b\xff", 4)}));
}

TEST(EventLog, WithTheWindowsSettingsLinesArriveUnchanged) {
  auto log = ActiveLog(false, false);
  std::string time = "unset", data;
  log->OnReceived = [&](TNetBaseComponent*, const std::string& t, const std::string& d) {
    time = t;
    data = d;
  };
  TNetMemoryStream block;
  Fill(block, "220 Service ready\r\n");
  log->ProcessReceived(block);
  EXPECT_EQ(time, "");
  EXPECT_EQ(data, "220 Service ready\r\n");

  log->LogTime = true;
  log->ProcessReceived(block);
  EXPECT_FALSE(time.empty());
  EXPECT_NE(time.find(' '), std::string::npos);  // date, a blank, time
}

TEST(EventLog, AttachAndDetachOrder) {
  TNetBaseComponent connection;
  auto log = ActiveLog(true);
  TRecorder r;
  r.WatchLog(*log);
  log->AttachTo(&connection);
  EXPECT_EQ(log->AttachedConnection(), &connection);
  TNetMemoryStream block;
  Fill(block, "x");
  log->ProcessReceived(block);
  log->ProcessSending(block);
  log->Detach();
  EXPECT_EQ(log->AttachedConnection(), nullptr);
  EXPECT_EQ(r.Events, (TEvents{"log.connect", "status:Connected.", "log.receive:x", "received[]x", "log.send:x",
                               "sent[]x", "status:Disconnected.", "log.disconnect"}));
}

TEST(EventLog, AnInactiveLogFiresNothingAtAll) {
  TNetBaseComponent connection;
  TNetLogEvent log;
  log.LogTime = false;
  TNetConnectionIntercept nested;
  log.SetNextIntercept(&nested);
  TRecorder r;
  r.WatchLog(log);
  r.Watch(nested, "nested");
  TNetMemoryStream block;
  Fill(block, "x");
  log.AttachTo(&connection);
  log.ProcessReceived(block);
  log.ProcessSending(block);
  log.Detach();
  EXPECT_TRUE(r.Events.empty());
  EXPECT_EQ(log.AttachedConnection(), nullptr);

  // Switched on while attached: data entries from then on, no "Connected.".
  log.SetActive(true);
  log.ProcessReceived(block);
  EXPECT_EQ(r.Events, (TEvents{"nested.receive:x", "log.receive:x", "received[]x"}));
}

TEST(EventLog, AHandlerThatRewritesTheBlockChangesWhatIsLogged) {
  auto log = ActiveLog(true);
  TRecorder r;
  r.WatchLog(*log);
  log->OnReceive = [](TNetConnectionIntercept*, TNetMemoryStream& s) { Fill(s, "rewritten\n"); };
  TNetMemoryStream block;
  Fill(block, "original");
  log->ProcessReceived(block);
  EXPECT_EQ(block.DataString(), "rewritten\n");
  EXPECT_EQ(block.Position(), 0);
  EXPECT_EQ(r.Events, (TEvents{"received[]rewritten<LF>"}));

  log->OnReceived = [](TNetBaseComponent*, const std::string&, const std::string&) { throw ENetReadTimeout(); };
  EXPECT_THROW(log->ProcessReceived(block), ENetReadTimeout);
}

namespace {

class TCountingLog : public TNetLogEvent {
 public:
  int Opens = 0, Closes = 0;

 protected:
  void OpenLog() override { ++Opens; }
  void CloseLog() override { ++Closes; }
};

}  // namespace

TEST(EventLog, ActiveReadWhileLoadingTakesEffectAfterLoading) {
  TCountingLog log;
  log.BeginLoading();
  log.SetActive(true);
  EXPECT_FALSE(log.Active());
  EXPECT_EQ(log.Opens, 0);
  log.EndLoading();
  EXPECT_TRUE(log.Active());
  EXPECT_EQ(log.Opens, 1);

  log.SetActive(true);  // no change: no call
  EXPECT_EQ(log.Opens, 1);
  log.SetActive(false);
  EXPECT_EQ(log.Closes, 1);
  log.SetActive(false);
  EXPECT_EQ(log.Closes, 1);

  // Defaults of a new log.
  TNetLogEvent fresh;
  EXPECT_FALSE(fresh.Active());
  EXPECT_TRUE(fresh.LogTime);
  EXPECT_TRUE(fresh.ReplaceCRLF);
}
