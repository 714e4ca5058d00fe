// Numeric replies: the reply record, reading whole replies, sending commands.
#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "NetExceptions.h"
#include "NetReplyRules.h"
#include "NetTCPClient.h"

namespace {

// A client connected to a peer that sends the given bytes, then waits for
// the client's "done" line.
struct ReplyPeer {
  explicit ReplyPeer(std::string bytes)
      : peer([bytes](int fd) {
          SendAll(fd, bytes);
          while (true) {
            std::string line = ReceiveLine(fd, kNoLimitMs);
            if (line.empty() || line == "done\r\n") break;
          }
        }) {
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.OpenConnection();
  }
  ~ReplyPeer() {
    if (client.IsConnected()) client.WriteLine("done");
  }
  LoopbackPeer peer;
  TNetTCPClient client;
};

}  // namespace

TEST(RFCReply, SettersAndDisplayName) {
  TNetRFCReply reply;
  reply.SetNumericCode(220);
  EXPECT_EQ(reply.TextCode(), "220");
  reply.SetNumericCode(0);
  EXPECT_EQ(reply.TextCode(), "220");  // 0 leaves the text code alone
  reply.SetTextCode("abc");
  EXPECT_EQ(reply.NumericCode(), 0);
  reply.SetTextCode("331");
  EXPECT_EQ(reply.NumericCode(), 331);
  EXPECT_EQ(reply.DisplayName(), "331");
  reply.Text = {"Password required", "second"};
  EXPECT_EQ(reply.DisplayName(), "331 Password required");

  TNetRFCReply copy;
  copy.Assign(reply);
  EXPECT_EQ(copy.NumericCode(), 331);
  EXPECT_EQ(copy.Text, reply.Text);
  EXPECT_EQ(copy.TextCode(), "331");
  TNetPersistent other;
  EXPECT_THROW(copy.Assign(other), EAssignError);
}

TEST(RFCReply, ParseLines) {
  TNetRFCReply reply;
  reply.ParseLines({"220 Service ready"});
  EXPECT_EQ(reply.TextCode(), "220");
  EXPECT_EQ(reply.NumericCode(), 220);
  EXPECT_EQ(reply.Text, (TStringList{"Service ready"}));

  reply.ParseLines({"230-Welcome", "   indented text", "230 Done"});
  EXPECT_EQ(reply.NumericCode(), 230);
  EXPECT_EQ(reply.Text, (TStringList{"Welcome", "indented text", "Done"}));
}

// Where a reply ends, on lines as the connection reads them (as received
// less trailing blanks, never blank): the opening line and each later line
// of real replies.
TEST(ReplyRules, WhereAReplyEnds) {
  const struct {
    const char* First;
    bool Opens;
  } firsts[] = {
      {"220 (vsFTPd 3.0.3)", false},
      {"220 pyftpdlib 1.5.7 ready.", false},
      {"220", false},
      {"211-Features:", true},
      {"230-Welcome to the archive.", true},
      {"226-File successfully transferred", true},
      {"220-", true},
      {"220x-", false},
  };
  for (const auto& c : firsts) EXPECT_EQ(OpensMultiLineReply(c.First), c.Opens) << c.First;

  const struct {
    const char* First;
    const char* Line;
    bool Closes;
  } lines[] = {
      {"211-Features:", "211 End", true},
      {"211-Features:", " EPRT", false},
      {"211-Features:", "REST STREAM", false},
      {"211-Features:", "CCC", false},
      {"211-Features:", "Hi!", false},
      {"211-Features:", "150 not the end", false},
      {"211-Features:", "211-still going", false},
      {"211-Features:", "2115 not the code", false},
      {"211-Features:", "21", false},
      {"211-Features:", "211", true},  // "211 " less its trailing blank
      // Indented (RFC 959): text, not the end.
      {"211-Status of the server:", " 211 connected from 127.0.0.1", false},
      {"220-Welcome", "   220 ready", false},
      {"214-The following commands are recognized:", "214 Help command successful.", true},
      {"214-The following commands are recognized:", "ABOR ALLO APPE CDUP CWD  DELE EPRT EPSV FEAT HELP", false},
      {"226-File successfully transferred", "226 0.000 seconds (measured here), 1.17 Mbytes per second", true},
      {"230-Welcome to the archive.", "230-Please read the file README", false},
      {"230-Welcome to the archive.", "230 Login successful.", true},
  };
  for (const auto& c : lines)
    EXPECT_EQ(ClosesMultiLineReply(c.First, c.Line), c.Closes) << c.First << " / " << c.Line;
}

TEST(Replies, SingleAndMultiLine) {
  ReplyPeer p(
      "220 Ready\r\n"
      "211-Features:\r\n"
      "150 not the end\r\n"
      "\r\n"
      " MDTM\r\n"
      " CCC\r\n"
      "Hi!\r\n"
      "211 End\r\n"
      "226-Transfer\r\n"
      "226 \r\n"
      "250 next\r\n");
  EXPECT_EQ(p.client.ReadReply({220}), 220);
  EXPECT_EQ(p.client.LastReply.Text, (TStringList{"Ready"}));

  // A foreign code, a blank line and short text lines stay inside the reply.
  EXPECT_EQ(p.client.ReadReply({}), 211);
  EXPECT_EQ(p.client.LastReply.Text, (TStringList{"Features:", "150 not the end", "MDTM", "CCC", "Hi!", "End"}));

  // The bare code (its blank trimmed away) ends a multi-line reply.
  EXPECT_EQ(p.client.ReadReply({226}), 226);
  EXPECT_EQ(p.client.LastReply.Text.size(), 2u);
  EXPECT_EQ(p.client.ReadReply({250}), 250);
}

TEST(Replies, SendCommandAcceptsOrRaises) {
  ReplyPeer p("550 No such file\r\n550 No such file\r\n550 No such file\r\n");
  EXPECT_EQ(p.client.SendCommand("DELE a", TReplyCodes{}), 550);
  EXPECT_EQ(p.client.SendCommand("DELE b", -1), 550);
  try {
    p.client.SendCommand("DELE c", {250});
    FAIL() << "no reply error";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
    EXPECT_STREQ(e.what(), "No such file\r\n");
  }
  // The whole reply was read: the connection is still in step.
  EXPECT_TRUE(p.client.IsConnected());
}

TEST(Replies, TwoLineErrorMessageAndSixteenBitCodes) {
  ReplyPeer p("530-Login incorrect.\r\n530 Bye\r\n");
  try {
    p.client.ReadReply({230});
    FAIL();
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 530);
    EXPECT_STREQ(e.what(), "Login incorrect.\r\nBye\r\n");
  }
  // Codes are compared as 16-bit values: 40000 and -25536 are the same code.
  EXPECT_EQ(p.client.ValidateReply(-25536, {static_cast<int16_t>(40000)}), -25536);
  EXPECT_THROW(p.client.ValidateReply(40, {static_cast<int16_t>(40000)}), ENetProtocolReplyError);
}

TEST(Replies, CommandWithLineBreakIsRefusedBeforeSending) {
  ReplyPeer p("200 ok\r\n");
  EXPECT_THROW(p.client.SendCommand("CWD a\r\nDELE b", {250}), ENetInvalidCommandArgument);
  EXPECT_EQ(p.client.SendCommand("NOOP", {200}), 200);
}
