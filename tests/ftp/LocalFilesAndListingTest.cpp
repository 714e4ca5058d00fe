// Downloads into local files (create, replace, resume, refuse), the bytes a
// failed download leaves, OnAfterGet, and listings: the lines, a failed
// listing keeping the previous one, and the parsed listing built once per
// listing through OnCreateFTPList and OnCheckListFormat.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

}  // namespace

TEST(FtpLocalFiles, ExistingFileRules) {
  ScriptedFtpServer server;
  const std::string remote = PatternBytes(5, 0, 5000);
  server.SetFile("r.bin", remote);
  TempDir dir;
  const std::string path = dir.File("local.bin");
  const std::string old = PatternBytes(5, 0, 1000);

  {
    SCOPED_TRACE("new file, no flags");
    FtpTestClient c(server.Port());
    c.Open();
    c.ClearLog();
    c.ftp.Retrieve("r.bin", path);
    EXPECT_TRUE(ReadFile(path) == remote);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR r.bin", "*Transfer complete"}));

    SCOPED_TRACE("existing file, neither flag: refused before any command");
    WriteFile(path, old);
    c.ClearLog();
    EXPECT_EQ(MessageOf<ENetFTPFileAlreadyExists>([&] { c.ftp.Retrieve("r.bin", path); }),
              "Destination file already exists.");
    EXPECT_EQ(c.log, Lines{});
    EXPECT_TRUE(ReadFile(path) == old);

    SCOPED_TRACE("both flags with a server that restarts: refused after the probe");
    EXPECT_THROW(c.ftp.Retrieve("r.bin", path, true, true), ENetFTPFileAlreadyExists);
    EXPECT_EQ(c.log, (Lines{">REST 1", ">REST 0"}));
    EXPECT_TRUE(ReadFile(path) == old);

    SCOPED_TRACE("resume: REST with the local length, appended after it");
    c.ClearLog();
    c.ftp.Retrieve("r.bin", path, false, true);
    EXPECT_TRUE(ReadFile(path) == remote);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">REST 1000", ">RETR r.bin", "*Transfer complete"}));

    SCOPED_TRACE("overwrite: replaced once the server has accepted RETR");
    WriteFile(path, old);
    c.ftp.Retrieve("r.bin", path, true, false);
    EXPECT_TRUE(ReadFile(path) == remote);

    SCOPED_TRACE("resume into a missing file: created, REST 0");
    const std::string fresh = dir.File("fresh.bin");
    c.ClearLog();
    c.ftp.Retrieve("r.bin", fresh, false, true);
    EXPECT_TRUE(ReadFile(fresh) == remote);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">REST 0", ">RETR r.bin", "*Transfer complete"}));
    c.ftp.Quit();
  }
  {
    SCOPED_TRACE("a server without restart");
    server.QueueReply("REST", "502 REST not implemented.");
    server.QueueReply("REST", "502 REST not implemented.");
    FtpTestClient c(server.Port());
    c.Open();
    WriteFile(path, old);
    c.ClearLog();
    EXPECT_THROW(c.ftp.Retrieve("r.bin", path, false, true), ENetFTPFileAlreadyExists);
    EXPECT_EQ(c.log, (Lines{">REST 1", ">REST 0"}));
    EXPECT_TRUE(ReadFile(path) == old);
    // Both flags: replaced from the start.
    c.ClearLog();
    c.ftp.Retrieve("r.bin", path, true, true);
    EXPECT_TRUE(ReadFile(path) == remote);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR r.bin", "*Transfer complete"}));
    // A missing file with resume: created and fetched without "REST".
    const std::string other = dir.File("other.bin");
    c.ClearLog();
    c.ftp.Retrieve("r.bin", other, false, true);
    EXPECT_TRUE(ReadFile(other) == remote);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR r.bin", "*Transfer complete"}));
    c.ftp.Quit();
  }
}

// A download that breaks off leaves what arrived in the file; OnAfterGet sees
// the file stream of a successful download before it is closed, and never
// fires for a failed one or for a listing.
TEST(FtpLocalFiles, FailedDownloadKeepsBytesAndOnAfterGet) {
  ScriptedFtpServer server;
  server.SetPatternFile("p.bin", 600000, 4);
  server.SetListing("a\r\n");
  TempDir dir;
  FtpTestClient c(server.Port());
  std::vector<int64_t> afterGet;
  c.ftp.OnAfterGet = [&](TNetBaseComponent* sender, TNetStream& stream) {
    EXPECT_EQ(sender, &c.ftp);
    afterGet.push_back(stream.Size());
  };
  c.Open();
  c.ftp.Retrieve("p.bin", dir.File("ok.bin"));
  EXPECT_EQ(afterGet, std::vector<int64_t>{600000});
  c.ftp.ListDirectory(nullptr);
  EXPECT_EQ(afterGet.size(), 1u);

  FtpTransferOptions cut;
  cut.CloseControlAfter = 300000;  // both connections close, no final reply
  server.SetTransferOptions(cut);
  c.ClearLog();
  EXPECT_THROW(c.ftp.Retrieve("p.bin", dir.File("cut.bin")), ENetException);
  EXPECT_EQ(c.log.back(), "*Transfer complete");
  EXPECT_EQ(FileSize(dir.File("cut.bin")), 300000);
  EXPECT_EQ(FindPatternMismatch(dir.File("cut.bin"), 300000, 4), -1);
  EXPECT_EQ(afterGet.size(), 1u);
  EXPECT_FALSE(c.ftp.IsConnected());
}

TEST(FtpListing, LinesAndFailures) {
  ScriptedFtpServer server;
  server.SetListing("first\r\nsecond\nthird\rlast without end");
  server.SetListing("in sub\r\n", "/sub");
  server.SetNameList("n1\r\nn2\r\n");
  FtpTestClient c(server.Port());
  c.Open();
  c.ClearLog();
  TStringList destination = {"old"};
  c.ftp.ListDirectory(&destination);
  const Lines expected = {"first", "second", "third", "last without end"};
  EXPECT_EQ(destination, expected);
  EXPECT_EQ(c.ftp.ListingLines(), expected);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">LIST", "*Transfer complete"}));

  c.ClearLog();
  c.ftp.ListDirectory(nullptr, "/sub \t");  // trimmed at the end
  EXPECT_EQ(c.ftp.ListingLines(), Lines{"in sub"});
  EXPECT_EQ(destination, expected);  // not given this time
  c.ftp.ListDirectory(&destination, "", false);
  EXPECT_EQ(destination, (Lines{"n1", "n2"}));
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">LIST /sub", "*Transfer complete",
                          "*Starting FTP transfer", ">PASV", ">NLST", "*Transfer complete"}));

  // A listing that fails leaves both lists as they were.
  server.QueueReply("LIST", "550 No listing for you.");
  EXPECT_THROW(c.ftp.ListDirectory(&destination), ENetProtocolReplyError);
  EXPECT_EQ(destination, (Lines{"n1", "n2"}));
  EXPECT_EQ(c.ftp.ListingLines(), (Lines{"n1", "n2"}));
  // An empty listing empties them.
  server.SetListing("");
  c.ftp.ListDirectory(&destination);
  EXPECT_EQ(destination, Lines{});
  EXPECT_EQ(c.ftp.ListingLines(), Lines{});
  c.ftp.Quit();
}

TEST(FtpListing, ParsedListingOncePerListing) {
  ScriptedFtpServer server;
  const std::string unix =
      "total 8\r\n"
      "drwxr-xr-x    2 ftp      ftp          4096 Jan 02  2024 pub\r\n"
      "-rw-r--r--    1 ftp      ftp       5368709120 Mar 04  2023 huge.iso\r\n";
  server.SetListing(unix);
  FtpTestClient c(server.Port());
  int created = 0;
  std::vector<std::string> checkedLines;
  c.ftp.OnCreateFTPList = [&](TNetBaseComponent* sender, std::unique_ptr<TNetFTPListItems>& list) {
    EXPECT_EQ(sender, &c.ftp);
    EXPECT_EQ(list, nullptr);
    ++created;
  };
  TNetFTPListFormat forced = flfNone;
  c.ftp.OnCheckListFormat = [&](TNetBaseComponent*, const std::string& line, TNetFTPListFormat& format) {
    checkedLines.push_back(line);
    if (forced != flfNone) format = forced;
  };
  c.Open();
  c.ftp.ListDirectory(nullptr);
  TNetFTPListItems& first = c.ftp.ParsedListing();
  EXPECT_EQ(&c.ftp.ParsedListing(), &first);  // built once
  EXPECT_EQ(created, 1);
  EXPECT_EQ(checkedLines, Lines{"total 8"});
  EXPECT_EQ(first.ListingFormat, flfUnix);
  ASSERT_EQ(first.Count(), 2);
  EXPECT_EQ(first.Items(0).ItemName, "pub");
  EXPECT_EQ(first.Items(0).EntryKind, fekDirectory);
  EXPECT_EQ(first.Items(1).ItemName, "huge.iso");
  EXPECT_EQ(first.Items(1).ByteSize, 5368709120);

  // A failed listing keeps the parsed one; a new listing rebuilds it.
  server.QueueReply("LIST", "550 No.");
  EXPECT_THROW(c.ftp.ListDirectory(nullptr), ENetProtocolReplyError);
  EXPECT_EQ(&c.ftp.ParsedListing(), &first);
  EXPECT_EQ(created, 1);

  // The handler's format wins; a custom format uses the custom parser, which
  // set while a parsed listing exists reaches that listing too.
  forced = flfCustom;
  c.ftp.ListDirectory(nullptr);
  TNetFTPListItems& custom = c.ftp.ParsedListing();
  EXPECT_EQ(created, 2);
  EXPECT_EQ(custom.ListingFormat, flfCustom);
  EXPECT_EQ(custom.Count(), 0);  // no custom parser yet: nothing parses
  c.ftp.SetOnParseCustomListFormat([](TNetFTPListItem& item) { item.ItemName = "custom:" + item.RawLine.substr(0, 5); });
  custom.LoadFromLines(c.ftp.ListingLines());
  ASSERT_EQ(custom.Count(), 3);
  EXPECT_EQ(custom.Items(0).ItemName, "custom:total");

  // A collection of the handler's own class is the one used.
  struct OwnList : TNetFTPListItems {};
  c.ftp.OnCreateFTPList = [&](TNetBaseComponent*, std::unique_ptr<TNetFTPListItems>& list) {
    list = std::make_unique<OwnList>();
    ++created;
  };
  forced = flfNone;
  c.ftp.ListDirectory(nullptr);
  EXPECT_NE(dynamic_cast<OwnList*>(&c.ftp.ParsedListing()), nullptr);
  EXPECT_EQ(created, 3);
  EXPECT_EQ(c.ftp.ParsedListing().Count(), 2);
  // The custom parser set before reaches a list made after.
  EXPECT_TRUE(c.ftp.ParsedListing().OnParseCustomListFormat);
  c.ftp.Quit();
}
