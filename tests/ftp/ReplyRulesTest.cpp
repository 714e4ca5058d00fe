// The FTP client's reply text rules, each from a table of reply lines as
// servers send them (vsftpd, pyftpdlib, ProFTPD, IIS) and the odd forms the
// rules put up with.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "NetExceptions.h"
#include "NetFTPReplyRules.h"
#include "NetRFCReply.h"

namespace {

// The reply's text lines as the client holds them after reading the reply.
TStringList TextOf(const TStringList& ARawLines) {
  TNetRFCReply reply;
  reply.ParseLines(ARawLines);
  return reply.Text;
}

TEST(FtpReplyRules, PassiveAddress) {
  const struct {
    TStringList Reply;
    std::string Host;
    int32_t Port;
  } cases[] = {
      {{"227 Entering Passive Mode (127,0,0,1,156,64)."}, "127.0.0.1", 40000},
      {{"227 Entering passive mode (127,0,0,1,201,17)."}, "127.0.0.1", 51473},
      {{"227 Entering Passive Mode (192,168,1,20,19,137)."}, "192.168.1.20", 5001},
      {{"227 Entering Passive Mode (10,0,0,5,195,80)."}, "10.0.0.5", 50000},
      // Without parentheses the fields follow the last blank.
      {{"227 Entering Passive Mode 192,168,1,20,19,137"}, "192.168.1.20", 5001},
      {{"227 =127,0,0,1,4,1"}, "=127.0.0.1", 1025},  // address fields are not checked
      {{"227 =(127,0,0,1, 19, 137 )"}, "127.0.0.1", 5001},
      {{"227 Entering Passive Mode (127,0,0,1,255,255)."}, "127.0.0.1", 65535},
      {{"227-Entering Passive Mode (10,1,2,3,0,21)", "227 OK"}, "10.1.2.3", 21},  // the first line only
  };
  for (const auto& c : cases) {
    const TNetFTPHostPort address = PassiveAddressOfReply(TextOf(c.Reply));
    EXPECT_EQ(address.Host, c.Host) << c.Reply.front();
    EXPECT_EQ(address.Port, c.Port) << c.Reply.front();
  }

  const struct {
    const char* Reply;
    const char* Message;
  } bad[] = {
      {"227 Entering Passive Mode (127,0,0,1,x,1).", "'x' is not a valid integer value"},
      {"227 Entering Passive Mode (127,0,0,1,4,).", "'' is not a valid integer value"},
      {"227 Entering Passive Mode (127,0,0,1,4,1,7).", "'1,7' is not a valid integer value"},
      {"227 Entering Passive Mode", "'' is not a valid integer value"},
  };
  for (const auto& c : bad) {
    try {
      PassiveAddressOfReply(TextOf({c.Reply}));
      ADD_FAILURE() << "no error: " << c.Reply;
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), c.Message) << c.Reply;
    }
  }
  EXPECT_THROW(PassiveAddressOfReply({}), EConvertError);

  // A field is one byte: a number outside 0 to 255 is refused, not carried
  // into the other byte or wrapped to another port.
  for (const char* reply : {"227 Entering Passive Mode (127,0,0,1,19,300).", "227 Entering Passive Mode (127,0,0,1,256,1).",
                            "227 Entering Passive Mode (127,0,0,1,4,-1).", "227 Entering Passive Mode (127,0,0,256,4,1).",
                            "227 Entering Passive Mode 127,0,0,1,1000,1"}) {
    try {
      PassiveAddressOfReply(TextOf({reply}));
      ADD_FAILURE() << "no error: " << reply;
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, 227);
      EXPECT_EQ(std::string(e.what()), "Invalid passive mode reply (a field is out of 0 to 255): " +
                                           std::string(reply).substr(4));
    }
  }
}

TEST(FtpReplyRules, QuotedDirectory) {
  const struct {
    TStringList Reply;
    std::string Directory;
  } cases[] = {
      {{"257 \"/\" is the current directory"}, "/"},
      {{"257 \"/home/ftp\" is the current directory"}, "/home/ftp"},
      {{"257 \"/pub/incoming\" is current directory."}, "/pub/incoming"},
      {{"257 \"/pub/new\" created"}, "/pub/new"},
      {{"257 \"/pub/with blank\" is the current directory"}, "/pub/with blank"},
      {{"257 \"\" is the current directory"}, ""},
      // A doubled quote stands for one quote in the path; here it ends it.
      {{"257 \"/usr/dm/foo\"\"bar\" directory created."}, "/usr/dm/foo"},
      {{"257 /no/quotes/here"}, ""},
      {{"257 \"unterminated"}, ""},
      {{"257 MKD command successful: \"/pub/x\""}, "/pub/x"},
      {{"257-\"/multi\" first line", "257 end"}, "/multi"},
      {{"257"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotedDirectoryOfReply(TextOf(c.Reply)), c.Directory) << c.Reply.front();
  EXPECT_EQ(QuotedDirectoryOfReply({}), "");
}

TEST(FtpReplyRules, Size) {
  const struct {
    TStringList Reply;
    int64_t Size;
  } cases[] = {
      {{"213 1048576"}, 1048576},
      {{"213 0"}, 0},
      {{"213 5368709120"}, 5368709120LL},
      {{"213 9223372036854775807"}, INT64_MAX},
      {{"213 99999999999999999999"}, -1},
      {{"213 not-a-number"}, -1},
      {{"213 12 bytes"}, -1},  // what follows the first blank: "bytes"
      {{"213 File size: 77"}, -1},
      {{"213"}, -1},
      // The standard conversion reads these as hexadecimal.
      {{"213 $1F"}, 31},
      {{"213 0x1F"}, 31},
      // The whole text counts: "Size follows\r\n77", and "\r\n4096" trimmed.
      {{"213-Size follows", "213 77"}, -1},
      {{"213-", "213 4096"}, 4096},
  };
  for (const auto& c : cases) EXPECT_EQ(SizeOfReply(TextOf(c.Reply)), c.Size) << c.Reply.front();
  EXPECT_EQ(SizeOfReply({}), -1);
}

}  // namespace
