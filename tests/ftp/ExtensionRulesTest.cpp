// The text rules of the FTP extensions from tables of server replies: the
// feature list of FEAT, the port of a 229 reply and the EPRT argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetFTPReplyRules.h"

using Lines = std::vector<std::string>;

TEST(ExtensionRules, FeaturesOfAFeatReply) {
  struct Row {
    int32_t Code;
    Lines Text;  // as the reply reader keeps it: codes taken off, lines trimmed
    Lines Features;
  };
  const Row rows[] = {
      {211, {"Features:", "MDTM", "REST STREAM", "SIZE", "UTF8", "End"}, {"MDTM", "REST STREAM", "SIZE", "UTF8"}},
      // vsftpd 3.0
      {211, {"Features:", "EPRT", "EPSV", "MDTM", "PASV", "REST STREAM", "SIZE", "TVFS", "End"},
       {"EPRT", "EPSV", "MDTM", "PASV", "REST STREAM", "SIZE", "TVFS"}},
      {211, {"Extensions supported:", " MLST type*;size*;modify*;", "", "End."}, {"MLST type*;size*;modify*;"}},
      {211, {"No features."}, {}},                 // one line: nothing listed
      {500, {"FEAT not understood."}, {}},         // refused: a server with no features
      {502, {"Command not implemented."}, {}},
      {530, {"Please login with USER and PASS."}, {}},
  };
  for (const Row& r : rows) EXPECT_EQ(FeaturesOfReply(r.Code, r.Text), r.Features) << r.Text.front();

  const Lines features = {"MDTM", "REST STREAM", "utf8"};
  EXPECT_TRUE(ListsFeature(features, "UTF8"));
  EXPECT_TRUE(ListsFeature(features, "rest"));
  EXPECT_FALSE(ListsFeature(features, "STREAM"));
  EXPECT_FALSE(ListsFeature(features, "MDT"));
  EXPECT_FALSE(ListsFeature({}, "UTF8"));
}

TEST(ExtensionRules, PortOfA229Reply) {
  struct Row {
    Lines Text;
    bool Valid;
    int32_t Port;
  };
  const Row rows[] = {
      {{"Entering Extended Passive Mode (|||6446|)"}, true, 6446},
      {{"Entering Extended Passive Mode (|||6446|)."}, true, 6446},
      {{"(|||65535|)"}, true, 65535},
      {{"Extended Passive mode OK (!!!1!)"}, true, 1},  // any delimiter from 33 to 126
      {{"Entering Extended Passive Mode (|2|::1|6446|)"}, true, 6446},      // address fields filled in, never used
      {{"Entering Extended Passive Mode (|1|10.0.0.1|6446|)"}, true, 6446},
      {{"Entering Extended Passive Mode |||6446|"}, true, 6446},  // no parentheses: the last word
      {{"Entering Extended Passive Mode (|||0|)"}, false, 0},
      {{"Entering Extended Passive Mode (|||65536|)"}, false, 0},
      {{"Entering Extended Passive Mode (|||64a6|)"}, false, 0},
      {{"Entering Extended Passive Mode (|||-1|)"}, false, 0},
      {{"Entering Extended Passive Mode (||6446|)"}, false, 0},  // a field short
      {{"Entering Extended Passive Mode (|||6446)"}, false, 0},  // the port not ended
      {{"Entering Extended Passive Mode (|||| )"}, false, 0},
      {{"Entering Extended Passive Mode (1116461)"}, false, 0},  // a digit is no delimiter
      {{"Entering Extended Passive Mode ( 6446 )"}, false, 0},
      {{"Entering Extended Passive Mode"}, false, 0},
      {{""}, false, 0},
      {{}, false, 0},
  };
  for (const Row& r : rows) {
    int32_t port = -7;
    EXPECT_EQ(TryExtendedPassivePort(r.Text, port), r.Valid) << (r.Text.empty() ? "(none)" : r.Text.front());
    EXPECT_EQ(port, r.Valid ? r.Port : -7) << (r.Text.empty() ? "(none)" : r.Text.front());
  }
}

TEST(ExtensionRules, ArgumentOfEprt) {
  EXPECT_EQ(ExtendedPortArgument("127.0.0.1", 5001), "|1|127.0.0.1|5001|");
  EXPECT_EQ(ExtendedPortArgument("::1", 5001), "|2|::1|5001|");
  EXPECT_EQ(ExtendedPortArgument("2001:db8::5", 65535), "|2|2001:db8::5|65535|");
  EXPECT_EQ(ExtendedPortArgument("::ffff:192.0.2.1", 21), "|1|192.0.2.1|21|");  // IPv4-mapped: the IPv4 address
  EXPECT_EQ(ExtendedPortArgument("fe80::1%eth0", 1024), "|2|fe80::1|1024|");     // no zone on the wire
}
