// The FTP client against real servers that the test starts on 127.0.0.1:
// pyftpdlib and vsftpd. A whole session on each (folders, byte-exact
// transfers in both modes, resume, append, unique names, sizes, listings,
// deletes), a 5 GiB file's size, aborted downloads and uploads after which
// the session goes on, and one folder listed by MLSD and by LIST.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "RealServers.h"
#include "Sha256.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// One server as the tests see it: where to log in, which remote folder may
// be written, and where that folder is on the local disk.
struct Target {
  std::string name;
  int port = 0;
  std::string user, password;
  std::string remoteDir;  // writable, as the client names it
  std::string localDir;   // the same folder on this machine
  std::string readOnlyRoot;  // the server's root on this machine
};

Target Pyftpd(PyftpdlibServer& s) { return {"pyftpdlib", s.Port(), "user", "secret", "/", s.Root(), s.Root()}; }
Target Vsftpd(VsftpdServer& s) {
  return {"vsftpd", s.Port(), "anonymous", "test@example.org", "/upload", s.UploadDir(), s.Root()};
}

std::unique_ptr<FtpTestClient> Connect(const Target& t, bool passive) {
  auto c = std::make_unique<FtpTestClient>(t.port, passive, t.user, t.password);
  c->Open();
  return c;
}

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

const TNetFTPListItem* FindEntry(TNetFTPListItems& items, const std::string& name) {
  for (int64_t i = 0; i < items.Count(); ++i)
    if (items.Items(i).ItemName == name) return &items.Items(i);
  return nullptr;
}

// Everything a session does, in one folder of the server.
void Workflow(const Target& t) {
  SCOPED_TRACE(t.name);
  TempDir local;
  const int64_t sizeA = 3000017, sizeB = 123457;
  WritePatternFile(local.File("a.bin"), sizeA, 11);
  WritePatternFile(local.File("b.bin"), sizeB, 12);
  const std::string shaA = Sha256OfFile(local.File("a.bin"));

  auto c = Connect(t, true);
  EXPECT_EQ(c->ftp.SystemDescription(), "UNIX Type: L8");
  c->ftp.ChangeDirectory(t.remoteDir);
  c->ftp.MakeDirectory("work");
  c->ftp.ChangeDirectory("work");
  const std::string work = (t.remoteDir == "/" ? "" : t.remoteDir) + "/work";
  EXPECT_EQ(c->ftp.CurrentDirectory(), work);
  const std::string localWork = t.localDir + "/work";

  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    c->ftp.Passive = passive;
    const std::string name = passive ? "up-passive.bin" : "up-active.bin";
    c->ftp.Store(local.File("a.bin"), name);
    EXPECT_EQ(Sha256OfFile(localWork + "/" + name), shaA);
    EXPECT_EQ(c->ftp.FileSize(name), sizeA);
    const std::string back = local.File("back-" + name);
    c->ftp.Retrieve(name, back);
    EXPECT_EQ(Sha256OfFile(back), shaA);

    // Resume from a partial local copy.
    const std::string partial = local.File("partial-" + name);
    WriteFile(partial, PatternBytes(11, 0, 1000003));
    c->ClearLog();
    c->ftp.Retrieve(name, partial, false, true);
    EXPECT_EQ(Sha256OfFile(partial), shaA);
    EXPECT_TRUE(Contains(c->log, ">REST 1000003"));
  }

  // Append to a file, then upload under a name the server chooses.
  c->ftp.Store(local.File("b.bin"), "up-passive.bin", true);
  EXPECT_EQ(FileSize(localWork + "/up-passive.bin"), sizeA + sizeB);
  EXPECT_EQ(ReadFile(localWork + "/up-passive.bin").substr(static_cast<size_t>(sizeA)), ReadFile(local.File("b.bin")));
  c->ftp.Passive = true;
  TNetFileStream unique(local.File("b.bin"), fmOpenRead);
  c->ftp.Store(unique, "");
  EXPECT_EQ(c->ftp.LastReply.NumericCode(), 226);

  // The listing shows it all, parsed.
  c->ftp.MakeDirectory("sub");
  TStringList lines;
  c->ftp.ListDirectory(&lines);
  TNetFTPListItems& items = c->ftp.ParsedListing();
  EXPECT_EQ(items.ListingFormat, flfUnix);
  EXPECT_EQ(items.Count(), 4) << ::testing::PrintToString(lines);
  const TNetFTPListItem* active = FindEntry(items, "up-active.bin");
  ASSERT_NE(active, nullptr) << ::testing::PrintToString(lines);
  EXPECT_EQ(active->ByteSize, sizeA);
  EXPECT_EQ(active->EntryKind, fekFile);
  const TNetFTPListItem* sub = FindEntry(items, "sub");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->EntryKind, fekDirectory);
  std::string uniqueName;
  for (int64_t i = 0; i < items.Count(); ++i) {
    const std::string& n = items.Items(i).ItemName;
    if (n != "up-active.bin" && n != "up-passive.bin" && n != "sub") uniqueName = n;
  }
  ASSERT_FALSE(uniqueName.empty());
  EXPECT_EQ(ReadFile(localWork + "/" + uniqueName), ReadFile(local.File("b.bin")));
  c->ftp.ListDirectory(&lines, "", false);
  EXPECT_EQ(lines.size(), 4u);

  // Deletes.
  c->ftp.RemoveFile(uniqueName);
  EXPECT_EQ(c->ftp.FileSize(uniqueName), -1);
  EXPECT_THROW(c->ftp.RemoveFile(uniqueName), ENetProtocolReplyError);
  c->ftp.RemoveDirectory("sub");
  EXPECT_FALSE(PathExists(localWork + "/sub"));
  EXPECT_THROW(c->ftp.ChangeDirectory("sub"), ENetProtocolReplyError);
  c->ftp.ChangeDirectory("..");
  EXPECT_THROW(c->ftp.RemoveDirectory("work"), ENetProtocolReplyError);  // not empty
  EXPECT_TRUE(c->ftp.IsConnected());
  c->ftp.Quit();
  EXPECT_FALSE(c->ftp.IsConnected());
}

}  // namespace

TEST(FtpRealServers, PyftpdlibSession) {
  PyftpdlibServer server;
  Workflow(Pyftpd(server));
}

TEST(FtpRealServers, VsftpdSession) {
  VsftpdServer server;
  Workflow(Vsftpd(server));
}

// A file of 5 GiB (sparse on the disk) reports its real size.
TEST(FtpRealServers, SizeOfAFileOver4GiB) {
  PyftpdlibServer pyftpd;
  VsftpdServer vsftpd;
  const int64_t size = (int64_t{5} << 30) + 3;
  for (const Target& t : {Pyftpd(pyftpd), Vsftpd(vsftpd)}) {
    SCOPED_TRACE(t.name);
    WriteSparseFile(t.localDir + "/huge.bin", size, "end");
    auto c = Connect(t, true);
    c->ftp.ChangeDirectory(t.remoteDir);
    EXPECT_EQ(c->ftp.FileSize("huge.bin"), size);
    c->ftp.ListDirectory(nullptr);
    ASSERT_EQ(c->ftp.ParsedListing().Count(), 1);
    EXPECT_EQ(c->ftp.ParsedListing().Items(0).ByteSize, size);
    c->ftp.Quit();
  }
}

namespace {

// Aborts one download and one upload from a work event, as the window does,
// and checks that the session goes on.
void AbortBothWays(const Target& t, const std::string& bigRemote, int64_t bigSize, int64_t followUpSize) {
  for (bool passive : {true, false}) {
    SCOPED_TRACE(t.name + (passive ? " passive" : " active"));
    auto c = Connect(t, passive);
    c->ftp.ChangeDirectory(t.remoteDir);
    int works = 0;
    c->onWork = [&](int64_t) {
      if (++works == 2) c->ftp.AbortTransfer();
    };
    TempDir local;
    c->ClearLog();
    auto start = Clock::now();
    c->ftp.Retrieve(bigRemote, local.File("down.bin"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(Contains(c->log, ">ABOR"));
    EXPECT_EQ(c->log.back(), "*Transfer aborted") << ::testing::PrintToString(c->log);
    EXPECT_LT(FileSize(local.File("down.bin")), bigSize);
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c->ftp.CurrentDirectory(), t.remoteDir);

    works = 0;
    WritePatternFile(local.File("up.bin"), 32 << 20, 3);
    c->ClearLog();
    start = Clock::now();
    c->ftp.Store(local.File("up.bin"), "aborted-up.bin");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(Contains(c->log, ">ABOR"));
    EXPECT_EQ(c->log.back(), "*Transfer aborted") << ::testing::PrintToString(c->log);
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c->ftp.CurrentDirectory(), t.remoteDir);

    // And the next transfer works.
    c->onWork = nullptr;
    WritePatternFile(local.File("next.bin"), followUpSize, 4);
    c->ftp.Store(local.File("next.bin"), "next.bin");
    EXPECT_EQ(Sha256OfFile(t.localDir + "/next.bin"), Sha256OfFile(local.File("next.bin")));
    c->ftp.Quit();
  }
}

}  // namespace

TEST(FtpRealServers, AbortOnVsftpdWithALargeFile) {
  VsftpdServer server;
  const int64_t size = 256 << 20;
  WriteSparseFile(server.Root() + "/big.bin", size, "end");
  AbortBothWays(Vsftpd(server), "/big.bin", size, 5 << 20);
}

TEST(FtpRealServers, AbortOnThrottledPyftpdlib) {
  PyftpdlibOptions options;
  options.RateBytesPerSecond = 262144;
  PyftpdlibServer server(options);
  const int64_t size = 8 << 20;
  WritePatternFile(server.Root() + "/big.bin", size, 5);
  AbortBothWays(Pyftpd(server), "big.bin", size, 100000);  // throttled both ways
}

// The way the window's Abort button works: its handler runs inside the
// anti-freeze's message pump while the download waits for data.
TEST(FtpRealServers, AbortFromTheMessagePump) {
  PyftpdlibOptions options;
  options.RateBytesPerSecond = 131072;
  PyftpdlibServer server(options);
  WritePatternFile(server.Root() + "/slow.bin", 4 << 20, 6);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    TestAntiFreeze antiFreeze;
    auto c = Connect(Pyftpd(server), passive);
    bool aborted = false;
    antiFreeze.onPump = [&] {
      if (!aborted && c->lastWork > 0) {
        aborted = true;
        c->ftp.AbortTransfer();
      }
    };
    TNetMemoryStream sink;
    c->ClearLog();
    const auto start = Clock::now();
    c->ftp.Retrieve("slow.bin", sink);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(c->log.back(), "*Transfer aborted");
    EXPECT_LT(sink.Size(), 4 << 20);
    EXPECT_TRUE(sink.DataString() == PatternBytes(6, 0, static_cast<size_t>(sink.Size())));
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c->ftp.FileSize("slow.bin"), 4 << 20);
    c->ftp.Quit();
  }
}

namespace {

// The entry as both kinds of listing can tell it: a long listing shows the
// time to the minute for recent files and only the day for older ones.
struct Seen {
  TNetFTPEntryKind kind;
  int64_t size;
  std::string rights, owner, group, day, minute;
};

Seen SeenOf(const TNetFTPListItem& e) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(e.ModifiedAt, y, mo, d);
  DecodeTime(e.ModifiedAt, h, mi, s, ms);
  char day[16], minute[8];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", y, mo, d);
  std::snprintf(minute, sizeof minute, "%02d:%02d", h, mi);
  return {e.EntryKind, e.ByteSize, e.OwnerRights + e.GroupRights + e.OtherRights, e.Owner, e.Group, day, minute};
}

}  // namespace

// One folder listed by pyftpdlib over MLSD and by vsftpd over LIST: the same
// entries, in names, kinds, sizes, rights, owners, groups and times (to the
// minute where the long listing shows it). Both servers give times in UTC.
TEST(FtpRealServers, MachineAndLongListingsOfOneFolderAgree) {
  setenv("TZ", "UTC", 1);
  tzset();
  VsftpdServer vsftpd;
  const std::string folder = vsftpd.UploadDir() + "/same";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const time_t now = time(nullptr);
  const time_t recent = now - 2 * 3600;
  const time_t old = 1556965230;  // 2019-05-04 10:20:30 UTC
  struct File {
    std::string name;
    int64_t size;
    time_t at;
    mode_t mode;
  } files[] = {{"plain.txt", 12, recent, 0644},         {"with blanks in it.dat", 4321, old, 0600},
               {"semi;colon=1;.txt", 1, recent, 0640},  {"  leading blanks", 0, old, 0644},
               {"big.bin", 3000017, recent, 0755},      {"total", 5, old, 0444}};
  for (const File& f : files) {
    WritePatternFile(folder + "/" + f.name, f.size, 3);
    ASSERT_EQ(chmod((folder + "/" + f.name).c_str(), f.mode), 0);
    const struct timespec times[2] = {{f.at, 0}, {f.at, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/" + f.name).c_str(), times, 0), 0);
  }
  ASSERT_EQ(mkdir((folder + "/sub folder").c_str(), 0750), 0);
  const struct timespec subTimes[2] = {{old, 0}, {old, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/sub folder").c_str(), subTimes, 0), 0);

  PyftpdlibOptions options;
  options.Root = vsftpd.UploadDir();
  PyftpdlibServer pyftpd(options);

  FtpTestClient machine(pyftpd.Port(), true, "user", "secret");
  machine.ftp.UseFEAT = true;
  machine.ftp.UseMLSD = true;
  machine.Open();
  ASSERT_TRUE(machine.ftp.UsesMachineListings()) << ::testing::PrintToString(machine.ftp.Features());
  machine.ftp.ChangeDirectory("/same");
  machine.ftp.ListDirectory(nullptr);
  ASSERT_TRUE(machine.ftp.MachineListing());
  TNetFTPListItems& byFacts = machine.ftp.ParsedListing();

  FtpTestClient classic(vsftpd.Port(), true, "anonymous", "test@example.org");
  classic.ftp.UseFEAT = true;
  classic.ftp.UseMLSD = true;  // vsftpd lists no MLST: LIST all the same
  classic.Open();
  classic.ftp.ChangeDirectory("/upload/same");
  TStringList lines;
  classic.ftp.ListDirectory(&lines);
  ASSERT_FALSE(classic.ftp.MachineListing());
  TNetFTPListItems& byLines = classic.ftp.ParsedListing();

  ASSERT_EQ(byFacts.Count(), 7) << ::testing::PrintToString(machine.ftp.ListingLines());
  ASSERT_EQ(byLines.Count(), 7) << ::testing::PrintToString(lines);
  for (int64_t i = 0; i < byFacts.Count(); ++i) {
    const TNetFTPListItem& m = byFacts.Items(i);
    SCOPED_TRACE(m.RawLine);
    const TNetFTPListItem* l = FindEntry(byLines, m.ItemName);
    ASSERT_NE(l, nullptr) << ::testing::PrintToString(lines);
    const Seen a = SeenOf(m), b = SeenOf(*l);
    EXPECT_EQ(a.kind, b.kind);
    if (m.EntryKind == fekFile) {
      EXPECT_EQ(a.size, b.size);
    }
    EXPECT_EQ(a.rights, b.rights);
    EXPECT_EQ(a.owner, b.owner);
    EXPECT_EQ(a.group, b.group);
    EXPECT_EQ(a.day, b.day);
    bool isRecent = false;
    for (const File& f : files) isRecent |= f.name == m.ItemName && f.at == recent;
    if (isRecent) {
      EXPECT_EQ(a.minute, b.minute);
    }
  }
  machine.ftp.Quit();
  classic.ftp.Quit();
}
