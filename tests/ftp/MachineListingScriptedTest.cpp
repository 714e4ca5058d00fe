// Machine listings against a scripted server: MLSD instead of LIST and MLST
// instead of SIZE and MDTM when the server lists MLST and the client asks for
// them, the facts switched on with OPTS MLST, the folder's own lines left
// out, and LIST as before otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kFeatures =
    "211-Features:\n"
    " MDTM\n"
    " MLST type*;size*;modify*;perm*;unique*;unix.mode;unix.uid;unix.gid;\n"
    " PASV\n"
    " SIZE\n"
    " UTF8\n"
    "211 End";

// Facts in odd orders and letter cases, facts missing, the folder and its
// parent, names with blanks and semicolons.
const char* const kMachineListing =
    "type=cdir;modify=20240301140533;perm=flcdmpe; .\r\n"
    "type=pdir;modify=20240101000000;perm=flcdmpe; ..\r\n"
    "type=file;size=1234;modify=20240301140533;unix.mode=0644;unix.uid=1000;unix.gid=100; notes.txt\r\n"
    "Modify=20231224180000;UNIX.MODE=0755;Type=Dir;Size=4096; Shared Files\r\n"
    "size=7; no type or time\r\n"
    "type=file;size=5; a;b=c; d.txt\r\n"
    "type=OS.unix=slink:/srv/data;size=9; data\r\n"
    "type=file;size=0; total\r\n";

void ServeMachineListing(ScriptedFtpServer& server, const std::string& AListing) {
  server.SetHandler("MLSD", [AListing](FtpSession& session, const std::string&) {
    session.ServeDownload(AListing, FtpTransferOptions());
  });
}

TDateTime Utc(int64_t seconds) {
  TDateTime local = 0;
  EXPECT_TRUE(TryUnixTimeToLocal(seconds, local));
  return local;
}

}  // namespace

TEST(FtpMachineListing, MlsdWhenTheServerListsMlst) {
  ScriptedFtpServer server;
  server.SetReply("FEAT", kFeatures);
  ServeMachineListing(server, kMachineListing);
  FtpTestClient c(server.Port());
  c.ftp.UseFEAT = true;
  c.ftp.UseMLSD = true;
  c.Open();
  EXPECT_TRUE(c.ftp.HasFeature("mlst"));
  EXPECT_TRUE(c.ftp.UsesMachineListings());
  // The Unix facts the server offers are switched on after the features
  // (and after UTF-8 names, which the server lists too).
  EXPECT_EQ(c.log, (Lines{">USER user", ">PASS secret", ">TYPE I", ">SYST", ">FEAT", ">OPTS UTF8 ON",
                          ">OPTS MLST type;size;modify;perm;unix.mode;unix.uid;unix.gid;", "*Connection established"}));

  c.ClearLog();
  TStringList rows;
  c.ftp.ListDirectory(&rows);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">MLSD", "*Transfer complete"}));
  EXPECT_TRUE(c.ftp.MachineListing());
  // The folder's own lines are neither rows nor entries: one row per entry.
  const Lines expectedRows = {
      "type=file;size=1234;modify=20240301140533;unix.mode=0644;unix.uid=1000;unix.gid=100; notes.txt",
      "Modify=20231224180000;UNIX.MODE=0755;Type=Dir;Size=4096; Shared Files",
      "size=7; no type or time",
      "type=file;size=5; a;b=c; d.txt",
      "type=OS.unix=slink:/srv/data;size=9; data",
      "type=file;size=0; total"};
  EXPECT_EQ(rows, expectedRows);
  EXPECT_EQ(c.ftp.ListingLines(), expectedRows);

  TNetFTPListItems& items = c.ftp.ParsedListing();
  EXPECT_EQ(items.ListingFormat, flfMachine);
  ASSERT_EQ(items.Count(), 6);
  const TNetFTPListItem& notes = items.Items(0);
  EXPECT_EQ(notes.ItemName, "notes.txt");
  EXPECT_EQ(notes.EntryKind, fekFile);
  EXPECT_EQ(notes.ByteSize, 1234);
  EXPECT_DOUBLE_EQ(notes.ModifiedAt, Utc(1709301933));  // 2024-03-01 14:05:33 UTC
  EXPECT_EQ(notes.OwnerRights + notes.GroupRights + notes.OtherRights, "rw-r--r--");
  EXPECT_EQ(notes.Owner, "1000");
  EXPECT_EQ(notes.Group, "100");
  const TNetFTPListItem& shared = items.Items(1);
  EXPECT_EQ(shared.ItemName, "Shared Files");
  EXPECT_EQ(shared.EntryKind, fekDirectory);
  EXPECT_EQ(shared.ByteSize, 4096);
  EXPECT_DOUBLE_EQ(shared.ModifiedAt, Utc(1703440800));  // 2023-12-24 18:00:00 UTC
  EXPECT_EQ(shared.OwnerRights + shared.GroupRights + shared.OtherRights, "rwxr-xr-x");
  const TNetFTPListItem& bare = items.Items(2);
  EXPECT_EQ(bare.ItemName, "no type or time");
  EXPECT_EQ(bare.EntryKind, fekFile);
  EXPECT_EQ(bare.ByteSize, 7);
  EXPECT_EQ(bare.ModifiedAt, 0);
  EXPECT_EQ(bare.Owner, "????????");
  EXPECT_EQ(items.Items(3).ItemName, "a;b=c; d.txt");
  EXPECT_EQ(items.Items(4).EntryKind, fekSymbolicLink);
  EXPECT_EQ(items.Items(4).LinkTarget, "/srv/data");
  EXPECT_EQ(items.Items(5).ItemName, "total");

  // Size and time of one file by MLST.
  const char* const found = "250-Listing notes.txt\n type=file;size=1234;modify=20240301140533; /pub/notes.txt\n250 End";
  server.QueueReply("MLST", found);
  server.QueueReply("MLST", found);
  c.ClearLog();
  EXPECT_EQ(c.ftp.FileSize("notes.txt"), 1234);
  EXPECT_DOUBLE_EQ(c.ftp.FileModified("notes.txt"), Utc(1709301933));
  EXPECT_EQ(c.log, (Lines{">MLST notes.txt", ">MLST notes.txt"}));
  server.QueueReply("MLST", "550 No such file.");
  server.QueueReply("MLST", "550 No such file.");
  EXPECT_EQ(c.ftp.FileSize("gone"), -1);
  EXPECT_EQ(c.ftp.FileModified("gone"), 0);
  server.QueueReply("MLST", "250-Listing d\n type=dir; /pub/d\n250 End");
  server.QueueReply("MLST", "250-Listing d\n type=dir; /pub/d\n250 End");
  EXPECT_EQ(c.ftp.FileSize("d"), -1);  // no size fact
  EXPECT_EQ(c.ftp.FileModified("d"), 0);

  // NLST stays NLST.
  c.ClearLog();
  c.ftp.ListDirectory(nullptr, "", false);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">NLST", "*Transfer complete"}));
  EXPECT_FALSE(c.ftp.MachineListing());
  c.ftp.Quit();
}

// LIST, SIZE and MDTM when the client does not ask for MLSD, when the server
// does not list MLST, or without FEAT.
TEST(FtpMachineListing, ListWhereMlsdIsNotToBeUsed) {
  ScriptedFtpServer server;
  server.SetListing("-rw-r--r-- 1 ftp ftp 12 Mar  1  2024 total.txt\r\n");
  server.SetReply("MDTM", "213 20240301140533");
  ServeMachineListing(server, kMachineListing);
  struct Case {
    const char* What;
    bool UseFEAT;
    bool UseMLSD;
    const char* Features;
  } cases[] = {
      {"MLSD not asked for", true, false, kFeatures},
      {"no MLST listed", true, true, "211-Features:\n MDTM\n SIZE\n211 End"},
      {"FEAT refused", true, true, "500 Unknown command."},
      {"FEAT not sent", false, true, kFeatures},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.What);
    server.SetReply("FEAT", k.Features);
    FtpTestClient c(server.Port());
    c.ftp.UseFEAT = k.UseFEAT;
    c.ftp.UseMLSD = k.UseMLSD;
    c.Open();
    EXPECT_FALSE(c.ftp.UsesMachineListings());
    c.ClearLog();
    TStringList rows;
    c.ftp.ListDirectory(&rows);
    EXPECT_FALSE(c.ftp.MachineListing());
    EXPECT_EQ(rows, Lines{"-rw-r--r-- 1 ftp ftp 12 Mar  1  2024 total.txt"});
    ASSERT_EQ(c.ftp.ParsedListing().Count(), 1);
    EXPECT_EQ(c.ftp.ParsedListing().Items(0).ItemName, "total.txt");
    EXPECT_EQ(c.ftp.FileSize("total.txt"), -1);  // the scripted server has no such file
    EXPECT_DOUBLE_EQ(c.ftp.FileModified("total.txt"), Utc(1709301933));
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">LIST", "*Transfer complete", ">SIZE total.txt",
                            ">MDTM total.txt"}));
    c.ftp.Quit();
  }
}

// A new session forgets the features of the last one.
TEST(FtpMachineListing, FeaturesBelongToTheSession) {
  ScriptedFtpServer server;
  server.SetReply("FEAT", kFeatures);
  FtpTestClient c(server.Port());
  c.ftp.UseFEAT = true;
  c.ftp.UseMLSD = true;
  c.Open();
  EXPECT_TRUE(c.ftp.UsesMachineListings());
  c.ftp.Quit();
  EXPECT_TRUE(c.ftp.HasFeature("MLST"));  // kept after the session
  server.SetReply("FEAT", "502 No features here.");
  c.Open();
  EXPECT_EQ(c.ftp.Features(), TStringList{});
  EXPECT_FALSE(c.ftp.UsesMachineListings());
  c.ftp.Quit();
}
