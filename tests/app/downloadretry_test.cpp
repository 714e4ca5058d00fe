#include "downloadretry.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "NetExceptions.h"

// What a broken network does is retried, and nothing else: a refusal would
// only fail again.
TEST(DownloadRetry, OnlyWhatTheNetworkDoesIsRetried) {
  const struct {
    const char* What;
    std::function<void()> Raise;
    bool Retried;
    bool SessionClosed;  // the reply could still come: a new session
  } Cases[] = {
      {"reset", [] { throw ENetSocketError(10054, "Socket Error # 10054\r\nConnection reset by peer."); }, true, false},
      {"refused reconnect", [] { throw ENetSocketError(10061, "Socket Error # 10061\r\nConnection refused."); }, true,
       false},
      {"closed by the server", [] { throw ENetConnClosedGracefully(); }, true, false},
      {"not connected", [] { throw ENetNotConnected(); }, true, false},
      {"closed socket", [] { throw ENetClosedSocket(); }, true, false},
      {"stalled transfer", [] { throw ENetTransferTimeout("Transfer timed out: no data arrived."); }, true, false},
      {"reply that did not come", [] { throw ENetReadTimeout(); }, true, true},
      {"reconnect timed out", [] { throw ENetConnectTimeout(); }, true, false},
      {"426", [] { throw ENetProtocolReplyError(426, "Transfer aborted.\r\n"); }, true, false},
      {"550", [] { throw ENetProtocolReplyError(550, "No such file or directory.\r\n"); }, false, false},
      {"530", [] { throw ENetProtocolReplyError(530, "Login incorrect.\r\n"); }, false, false},
      {"local file", [] { throw EFCreateError("a", "Permission denied"); }, false, false},
      {"another failure", [] { throw std::runtime_error("x"); }, false, false},
  };
  for (const auto& Case : Cases) {
    try {
      Case.Raise();
    } catch (const std::exception& E) {
      EXPECT_EQ(IsConnectionLoss(E), Case.Retried) << Case.What;
      EXPECT_EQ(LeavesSessionOutOfStep(E), Case.SessionClosed) << Case.What;
    }
  }
}

TEST(DownloadRetry, ThreeRetriesAfterTwoFiveAndTenSeconds) {
  EXPECT_EQ(DefaultRetryDelaysMs, (std::vector<int>{2000, 5000, 10000}));
  EXPECT_EQ(RetryText(5, 2, 3), "Connection lost; retrying in 5 s (attempt 2 of 3)");
}
