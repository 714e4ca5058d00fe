// Checked transfers and receipts: the digest and receipt rules from tables,
// the hashing stream and its thread, transfers against scripted servers that lie (a short
// file answered with 226, a wrong digest, no SIZE), receipts of real
// transfers through pyftpdlib checked against the files, and the keepalive
// options read back from the sockets of both connections.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FtpTestClient.h"
#include "NetFTPDigest.h"
#include "NetFTPReceipt.h"
#include "NetFTPReplyRules.h"
#include "RealServers.h"
#include "ScriptedFtpServer.h"
#include "Sha256.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

std::string Bytes(TNetMemoryStream& stream) { return std::string(stream.Memory(), static_cast<size_t>(stream.Size())); }

void Fill(TNetMemoryStream& stream, const std::string& bytes) {
  stream.Clear();
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Only the commands of the checks and the transfer, without the data set-up.
Lines CheckCommands(const Lines& commands, size_t from) {
  Lines out;
  for (size_t i = from; i < commands.size(); ++i)
    if (commands[i] != "PASV" && commands[i].rfind("TYPE", 0) != 0) out.push_back(commands[i]);
  return out;
}

int SocketOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(fd, level, name, &value, &length) != 0) return -2;
  return value;
}

std::string Hex256(const std::string& bytes) { return Sha256Hex(bytes); }

}  // namespace

// --- Rules

TEST(FtpVerifyRules, DigestOfFeatures) {
  struct Row {
    Lines features;
    std::string algorithm, command, opts;
  } rows[] = {
      {{"MDTM", "SIZE"}, "", "", ""},
      {{"HASH SHA-1;SHA-256*;MD5"}, "SHA-256", "HASH", ""},
      {{"HASH SHA-1*;SHA-256;MD5"}, "SHA-256", "HASH", "OPTS HASH SHA-256"},
      {{"hash sha-1*;md5"}, "SHA-1", "HASH", ""},
      {{"HASH MD5*;CRC32"}, "", "", ""},  // HASH without SHA: the X commands are not listed either
      {{"HASH MD5*", "XMD5"}, "MD5", "XMD5", ""},
      {{"XCRC", "XMD5", "XSHA1"}, "SHA-1", "XSHA1", ""},
      {{"XSHA256", "XSHA1"}, "SHA-256", "XSHA256", ""},
      {{"XCRC"}, "CRC32", "XCRC", ""},
  };
  for (const Row& row : rows) {
    const TNetFTPDigestChoice choice = ServerDigestOfFeatures(row.features);
    EXPECT_EQ(choice.Algorithm, row.algorithm) << row.features.front();
    EXPECT_EQ(choice.Command, row.command) << row.features.front();
    EXPECT_EQ(choice.OptsCommand, row.opts) << row.features.front();
  }
  EXPECT_EQ(FeaturesOfReply(211, {"Features:", " HASH SHA-256*", " SIZE", "End"}), (Lines{"HASH SHA-256*", "SIZE"}));
  EXPECT_EQ(FeaturesOfReply(502, {"Command not implemented."}), Lines{});
}

TEST(FtpVerifyRules, DigestAndTimeOfReply) {
  const std::string h = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(DigestOfReply({"SHA-256 0-2 " + h + " a.bin"}, 64), h);
  EXPECT_EQ(DigestOfReply({"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"}, 64), h);
  EXPECT_EQ(DigestOfReply({"7E3A2B1C"}, 8), "7e3a2b1c");
  EXPECT_EQ(DigestOfReply({"a.bin " + h}, 64), h);
  EXPECT_EQ(DigestOfReply({"File not found."}, 64), "");
  EXPECT_EQ(DigestOfReply({h.substr(1)}, 64), "");
  EXPECT_EQ(DigestOfReply({}, 64), "");

  EXPECT_EQ(ModifiedTimeOfReply({"20261208101500"}), "2026-12-08T10:15:00Z");
  EXPECT_EQ(ModifiedTimeOfReply({"20261208101500.250"}), "2026-12-08T10:15:00.250Z");
  EXPECT_EQ(ModifiedTimeOfReply({"2026120810150"}), "");
  EXPECT_EQ(ModifiedTimeOfReply({"Could not get time"}), "");
}

TEST(FtpVerifyRules, DigestsOfKnownTexts) {
  struct Row {
    const char* algorithm;
    const char* abc;
  } rows[] = {{DigestSHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
              {DigestSHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
              {DigestMD5, "900150983cd24fb0d6963f7d28e17f72"},
              {DigestCRC32, "352441c2"}};
  for (const Row& row : rows) {
    TNetMemoryStream stream;
    Fill(stream, "abc");
    EXPECT_EQ(HexDigestOfStream(stream, row.algorithm), row.abc) << row.algorithm;
    EXPECT_EQ(TNetDigest::HexLength(row.algorithm), static_cast<int>(std::string(row.abc).size()));
  }
  EXPECT_THROW(TNetDigest("SHA-3"), ENetException);
}

// The hashing stream covers the whole stream however the bytes pass: from
// the start, after an existing part (resume), with a gap, rewritten.
TEST(FtpVerifyRules, HashingStreamCoversTheWholeStream) {
  const std::string content = PatternBytes(5, 0, 200000);
  const std::string whole = Hex256(content);
  {
    TNetMemoryStream target;
    TNetHashingStream hashing(target);
    hashing.WriteBuffer(content.data(), 1000);
    hashing.WriteBuffer(content.data() + 1000, static_cast<int64_t>(content.size()) - 1000);
    EXPECT_EQ(hashing.Finish(), whole);
  }
  {
    // A resume: the first 70000 bytes are there, the rest passes.
    TNetMemoryStream target;
    Fill(target, content.substr(0, 70000));
    TNetHashingStream hashing(target);
    hashing.WriteBuffer(content.data() + 70000, static_cast<int64_t>(content.size()) - 70000);
    EXPECT_EQ(Bytes(target), content);
    EXPECT_EQ(hashing.Finish(), whole);
  }
  {
    // Nothing passes at all: the existing bytes alone.
    TNetMemoryStream target;
    Fill(target, content);
    TNetHashingStream hashing(target);
    EXPECT_EQ(hashing.Finish(), whole);
  }
  {
    // Read from a position (an append), and a rewrite of hashed bytes.
    TNetMemoryStream target;
    Fill(target, content);
    target.SetPosition(123);
    TNetHashingStream hashing(target);
    std::string buffer(content.size(), '\0');
    hashing.ReadBuffer(buffer.data(), static_cast<int64_t>(content.size()) - 123);
    EXPECT_EQ(hashing.Finish(), whole);
    TNetHashingStream rewritten(target);
    rewritten.WriteBuffer("xyz", 3);  // at the end, after all the bytes there
    rewritten.SetPosition(0);
    rewritten.WriteBuffer("abc", 3);
    std::string changed = content;
    changed.replace(0, 3, "abc");
    changed += "xyz";
    EXPECT_EQ(rewritten.Finish(), Hex256(changed));
  }
}

// Over a file the digests run on a thread that reads the file behind the
// writes: the existing part at once, each written piece once declared, and
// a file rewritten or cut back is read again whole.
TEST(FtpVerifyRules, HashingThreadFollowsTheFile) {
  const std::string content = PatternBytes(15, 0, 5 << 20);
  const std::string whole = Hex256(content);
  TempDir dir;
  struct Row {
    const char* name;
    size_t existing;  // bytes in the file before
    size_t piece;     // written in pieces of this size
  } rows[] = {{"new file, small pieces", 0, 4096},
              {"new file, large pieces", 0, 3 << 20},
              {"resume", 2 << 20, 65536},
              {"nothing written", 5 << 20, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(dir.File("f.bin"), content.substr(0, row.existing));
    TNetFileStream file(dir.File("f.bin"), fmOpenReadWrite);
    file.Seek(0, soEnd);
    TNetHashingStream hashing(file, {DigestSHA256, DigestMD5});
    EXPECT_TRUE(hashing.Threaded());
    for (size_t at = row.existing; at < content.size(); at += row.piece)
      hashing.WriteBuffer(content.data() + at, static_cast<int64_t>(std::min(row.piece, content.size() - at)));
    EXPECT_EQ(hashing.Finish(), whole);
    TNetMemoryStream memory;
    Fill(memory, content);
    EXPECT_EQ(hashing.Digest(DigestMD5), HexDigestOfStream(memory, DigestMD5));
    EXPECT_EQ(hashing.Digest(DigestSHA1), "");
  }
  {
    // The hasher on its own, told of the writes late and out of order: a
    // piece left as a gap is declared final only at the end.
    TNetFileStream file(dir.File("h.bin"), fmCreate);
    TNetFileHasher hasher(file.Handle(), {DigestSHA256, DigestCRC32}, 0);
    const int64_t gap = 3000000;
    for (int64_t at = 0; at < static_cast<int64_t>(content.size()); at += 40000) {
      if (at == gap) continue;  // written last, below
      const int64_t n = std::min<int64_t>(40000, static_cast<int64_t>(content.size()) - at);
      file.SetPosition(at);
      file.WriteBuffer(content.data() + at, n);
      if (at < gap) hasher.Ready(at + n);
    }
    file.SetPosition(gap);
    file.WriteBuffer(content.data() + gap, 40000);
    TNetMemoryStream memory;
    Fill(memory, content);
    EXPECT_EQ(hasher.Finish(static_cast<int64_t>(content.size())),
              (std::vector<std::string>{whole, HexDigestOfStream(memory, DigestCRC32)}));
  }
  {
    // Rewritten after the bytes were declared final, then cut back.
    TNetFileStream file(dir.File("g.bin"), fmCreate);
    TNetHashingStream rewritten(file);
    rewritten.WriteBuffer(content.data(), 3 << 20);
    rewritten.SetPosition(0);
    rewritten.WriteBuffer("abc", 3);
    std::string changed = content.substr(0, 3 << 20);
    changed.replace(0, 3, "abc");
    EXPECT_EQ(rewritten.Finish(), Hex256(changed));
    file.SetPosition(0);
    TNetHashingStream cut(file);
    cut.WriteBuffer(changed.data(), 2 << 20);
    file.SetSize(1 << 20);
    EXPECT_EQ(cut.Finish(), Hex256(changed.substr(0, 1 << 20)));
  }
  {
    // A file open for writing only cannot be read behind the writes: the
    // bytes are hashed as they pass.
    TNetFileStream file(dir.File("w.bin"), fmCreate);
    TNetFileStream writeOnly(dir.File("w.bin"), fmOpenWrite);
    TNetHashingStream hashing(writeOnly);
    EXPECT_FALSE(hashing.Threaded());
    hashing.WriteBuffer(content.data(), static_cast<int64_t>(content.size()));
    EXPECT_EQ(hashing.Finish(), whole);
  }
}

// What fails on the hashing thread is raised by Finish; a hasher dropped
// without Finish stops and joins its thread.
TEST(FtpVerifyRules, HashingThreadFailuresReachFinish) {
  TempDir dir;
  WriteFile(dir.File("short.bin"), PatternBytes(16, 0, 100000));
  TNetFileStream file(dir.File("short.bin"), fmOpenRead);
  {
    TNetFileHasher hasher(file.Handle(), {DigestSHA256}, 50000);
    EXPECT_EQ(MessageOf<EInOutError>([&] { hasher.Finish(200000); }), "The file ended before the bytes to be hashed.");
  }
  {
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    TNetFileHasher hasher(folder, {DigestSHA256}, 4 << 20);
    EXPECT_EQ(MessageOf<EInOutError>([&] { hasher.Finish(4 << 20); }),
              "The file could not be read for its digest: Is a directory");
    ::close(folder);
  }
  EXPECT_THROW(TNetFileHasher(file.Handle(), {"SHA-3"}, 0), ENetException);
  WritePatternFile(dir.File("big.bin"), 64 << 20, 17);
  TNetFileStream big(dir.File("big.bin"), fmOpenRead);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) TNetFileHasher dropped(big.Handle(), {DigestSHA256, DigestCRC32}, big.Size());
  // Twenty passes over 64 MiB with CRC-32 would take seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(FtpVerifyRules, JsonStrings) {
  struct Row {
    std::string bytes, json;
  } rows[] = {
      {"plain.bin", "\"plain.bin\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {"t\tn\nr\rb\bf\f", "\"t\\tn\\nr\\rb\\bf\\f\""},
      {std::string("nul\0x\x01\x1f\x7f", 8), "\"nul\\u0000x\\u0001\\u001f\\u007f\""},
      {"opera\xc3\xa7\xc3\xb5" "es", "\"opera\xc3\xa7\xc3\xb5" "es\""},         // UTF-8 stays
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "\"\xe2\x82\xac \xf0\x9f\x98\x80\""},     // 3- and 4-byte forms
      {"opera\xe7\xf5" "es", "\"opera\\udce7\\udcf5es\""},                        // Latin-1 bytes
      {"\xc0\xaf", "\"\\udcc0\\udcaf\""},                                         // overlong '/'
      {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},                              // an encoded surrogate
      {"cut\xe2\x82", "\"cut\\udce2\\udc82\""},                                   // cut-off sequence
  };
  for (const Row& row : rows) EXPECT_EQ(JSONString(row.bytes), row.json) << row.json;
}

TEST(FtpVerifyRules, ReceiptLineAndPlace) {
  TNetFTPReceipt r;
  r.Time = "2026-12-08T10:15:00Z";
  r.Download = false;
  r.Server = ServerOfReceipt("::1", 2121);
  r.RemotePath = "/corvatec/x/a.bin";
  r.LocalPath = "/tmp/a.bin";
  r.Bytes = 3;
  r.Sha256 = "ab";
  r.Ok = false;
  r.Error = "Upload incomplete: the server has 1 of 3 bytes.";
  EXPECT_EQ(ReceiptLine(r),
            "{\"time\": \"2026-12-08T10:15:00Z\", \"direction\": \"upload\", \"company\": null, "
            "\"server\": \"[::1]:2121\", \"remote_path\": \"/corvatec/x/a.bin\", \"local_path\": \"/tmp/a.bin\", "
            "\"bytes\": 3, \"sha256\": \"ab\", \"remote_size\": null, \"remote_mtime\": null, "
            "\"server_digest\": null, \"result\": \"failed\", "
            "\"error\": \"Upload incomplete: the server has 1 of 3 bytes.\"}");
  r.Company = "acme";
  r.Ok = true;
  r.RemoteSize = 3;
  r.ServerDigest = TNetFTPServerDigest{"SHA-256", "HASH", "ab"};
  EXPECT_TRUE(Has(ReceiptLine(r), "\"company\": \"acme\""));
  EXPECT_TRUE(Has(ReceiptLine(r),
                  "\"server_digest\": {\"algorithm\": \"SHA-256\", \"command\": \"HASH\", \"value\": \"ab\"}, "
                  "\"result\": \"ok\", \"error\": null}"));
  EXPECT_EQ(ServerOfReceipt("ftp.example.com", 21), "ftp.example.com:21");

  TempDir dir;
  AppendReceipt(dir.File("r.jsonl"), r);
  AppendReceipt(dir.File("r.jsonl"), r);
  EXPECT_EQ(ReadFile(dir.File("r.jsonl")), ReceiptLine(r) + "\n" + ReceiptLine(r) + "\n");
  EXPECT_THROW(AppendReceipt(dir.File("missing/r.jsonl"), r), EFOpenError);
}

// --- Lying servers

TEST(FtpVerifyScripted, UploadTheServerKeptHalfOfFails) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(7, 0, 100000);
  // The whole upload arrives, the server keeps half and still answers 226.
  server.SetHandler("STOR", [&server, &content](FtpSession& session, const std::string& name) {
    session.RunDefault("STOR", name);
    server.SetFile(name, content.substr(0, content.size() / 2));
  });
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.Open();
  TNetMemoryStream source;
  Fill(source, content);
  EXPECT_EQ(MessageOf<ENetFTPTransferIncomplete>([&] { c.ftp.Store(source, "a.bin"); }),
            "Upload incomplete: the server has 50000 of 100000 bytes.");
  EXPECT_FALSE(c.ftp.LastTransfer().Ok);
  EXPECT_EQ(c.ftp.LastTransfer().RemoteSize, 50000);
  // The scripted server lists no digest command: FEAT, the upload, SIZE.
  EXPECT_EQ(CheckCommands(server.Commands(), 3), (Lines{"SYST", "FEAT", "STOR a.bin", "SIZE a.bin"}));

  // An append expects the size before it plus the bytes sent.
  server.SetFile("b.bin", "12345");
  source.SetPosition(99990);
  c.ftp.Store(source, "b.bin", true);
  EXPECT_TRUE(c.ftp.LastTransfer().Ok);
  EXPECT_EQ(c.ftp.LastTransfer().RemoteSize, 15);
  EXPECT_EQ(server.FileBytes("b.bin"), "12345" + content.substr(99990));
}

TEST(FtpVerifyScripted, ShortDownloadClosedWith226Fails) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(8, 0, 300000);
  server.SetFile("a.bin", content);
  FtpTransferOptions options;
  options.DropDataAfter = 120000;  // then "226 Transfer complete." as if the file ended
  server.SetTransferOptions(options);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    FtpTestClient c(server.Port(), passive);
    c.ftp.VerifyTransfers = true;
    c.Open();
    TNetMemoryStream sink;
    EXPECT_EQ(MessageOf<ENetFTPTransferIncomplete>([&] { c.ftp.Retrieve("a.bin", sink); }),
              "Download incomplete: the local copy has 120000 of 300000 bytes.");
    EXPECT_EQ(sink.Size(), 120000);
    // The session goes on: the next command gets its own reply.
    EXPECT_EQ(c.ftp.FileSize("a.bin"), 300000);
  }
  // Without the check the same download passes, as it always did.
  FtpTestClient plain(server.Port());
  plain.Open();
  TNetMemoryStream sink;
  plain.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(sink.Size(), 120000);
}

TEST(FtpVerifyScripted, DigestMismatchFailsAndAMatchPasses) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(9, 0, 50000);
  const std::string right = Hex256(content);
  const std::string wrong = Hex256(content + "x");
  server.SetFile("a.bin", content);
  server.SetReply("FEAT", "211-Features:\n HASH SHA-1*;SHA-256;MD5\n SIZE\n211 End");
  std::string served = wrong;
  server.SetHandler("HASH", [&served](FtpSession& session, const std::string& name) {
    session.Reply("213 SHA-256 0-49999 " + served + " " + name);
  });
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.Open();
  TNetMemoryStream sink;
  EXPECT_EQ(MessageOf<ENetFTPDigestMismatch>([&] { c.ftp.Retrieve("a.bin", sink); }),
            "Digest mismatch: the server's SHA-256 of the file is " + wrong + ", the local copy's is " + right + ".");
  EXPECT_EQ(CheckCommands(server.Commands(), 3),
            (Lines{"SYST", "FEAT", "RETR a.bin", "SIZE a.bin", "OPTS HASH SHA-256", "HASH a.bin"}));

  served = right;
  const size_t before = server.Commands().size();
  TNetMemoryStream again;
  c.ftp.Retrieve("a.bin", again);
  // FEAT and OPTS HASH once per session.
  EXPECT_EQ(CheckCommands(server.Commands(), before), (Lines{"RETR a.bin", "SIZE a.bin", "HASH a.bin"}));
  ASSERT_TRUE(c.ftp.LastTransfer().ServerDigest.has_value());
  EXPECT_EQ(c.ftp.LastTransfer().ServerDigest->Value, right);
  EXPECT_EQ(c.ftp.LastTransfer().Sha256, right);  // computed while the bytes passed
  EXPECT_TRUE(c.ftp.LastTransfer().Ok);

  // The older commands: an upload checked with XMD5, a wrong answer to XCRC.
  server.SetReply("FEAT", "211-Features:\n XMD5\n211 End");
  server.SetHandler("XMD5", [&server](FtpSession& session, const std::string& name) {
    TNetMemoryStream stored;
    const std::string bytes = server.FileBytes(name);
    Fill(stored, bytes);
    session.Reply("250 " + HexDigestOfStream(stored, DigestMD5));
  });
  FtpTestClient up(server.Port());
  up.ftp.VerifyTransfers = true;
  up.Open();
  TNetMemoryStream source;
  Fill(source, content);
  up.ftp.Store(source, "up.bin");
  ASSERT_TRUE(up.ftp.LastTransfer().ServerDigest.has_value());
  EXPECT_EQ(up.ftp.LastTransfer().ServerDigest->Command, "XMD5");
  EXPECT_TRUE(up.ftp.LastTransfer().Ok);

  server.SetReply("FEAT", "211-Features:\n XCRC\n211 End");
  server.SetReply("XCRC", "250 00000000");
  FtpTestClient crc(server.Port());
  crc.ftp.VerifyTransfers = true;
  crc.Open();
  EXPECT_TRUE(Has(MessageOf<ENetFTPDigestMismatch>([&] { crc.ftp.Store(source, "up.bin"); }),
                  "the server's CRC32 of the file is 00000000"));
}

// A server reads the whole file before it sends its digest: for a large file
// that takes longer than a reply normally may, and the wait allows for it.
TEST(FtpVerifyScripted, DigestReplyOfALargeFileIsAwaitedLonger) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(12, 0, 32 << 20);  // 2 s more to wait
  server.SetFile("a.bin", content);
  server.SetReply("FEAT", "211-Features:\n XSHA256\n SIZE\n211 End");
  server.SetHandler("XSHA256", [&content](FtpSession& session, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    session.Reply("250 " + Hex256(content));
  });
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.ftp.ReadTimeout = 500;
  c.Open();
  TNetMemoryStream sink;
  c.ftp.Retrieve("a.bin", sink);
  ASSERT_TRUE(c.ftp.LastTransfer().ServerDigest.has_value());
  EXPECT_EQ(c.ftp.LastTransfer().ServerDigest->Value, Hex256(content));
  EXPECT_EQ(c.ftp.ReadTimeout, 500);  // the usual wait again afterwards
}

TEST(FtpVerifyScripted, ServerWithoutSizePassesUnchecked) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(10, 0, 4000);
  server.SetFile("a.bin", content);
  server.SetReply("SIZE", "502 Command not implemented.");
  server.SetReply("MDTM", "502 Command not implemented.");
  server.SetReply("FEAT", "500 Unknown command.");
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.ftp.RecordTransfers = true;
  c.Open();
  TNetMemoryStream sink;
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(Bytes(sink), content);
  const TNetFTPReceipt& r = c.ftp.LastTransfer();
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.RemoteSize, -1);
  EXPECT_EQ(r.Sha256, Hex256(content));
  const std::string line = ReceiptLine(r);
  EXPECT_TRUE(Has(line, "\"remote_size\": null, \"remote_mtime\": null, \"server_digest\": null, \"result\": \"ok\""))
      << line;

  // ASCII transfers are not checked at all.
  const size_t before = server.Commands().size();
  c.ftp.SetTransferType(ftASCII);
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(CheckCommands(server.Commands(), before), (Lines{"RETR a.bin"}));
}

// The stream given to Retrieve may hold bytes before the download's: the
// copy is what the download added, checked by size; the server's digest of
// the file is not comparable with the stream's and is not asked.
TEST(FtpVerifyScripted, DownloadIntoAStreamThatHoldsBytes) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(18, 0, 70000);
  server.SetFile("a.bin", content);
  server.SetReply("FEAT", "211-Features:\n HASH SHA-256*\n SIZE\n211 End");
  server.SetHandler("HASH", [&content](FtpSession& session, const std::string& name) {
    session.Reply("213 SHA-256 0-69999 " + Hex256(content) + " " + name);
  });
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.Open();
  TNetMemoryStream sink;
  Fill(sink, "header");
  const size_t before = server.Commands().size();
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(Bytes(sink), "header" + content);
  EXPECT_TRUE(c.ftp.LastTransfer().Ok);
  EXPECT_EQ(CheckCommands(server.Commands(), before), (Lines{"FEAT", "RETR a.bin", "SIZE a.bin"}));
  // From the first byte it is the copy, and the digest is checked.
  TNetMemoryStream fresh;
  c.ftp.Retrieve("a.bin", fresh);
  EXPECT_EQ(CheckCommands(server.Commands(), before).back(), "HASH a.bin");
  EXPECT_TRUE(c.ftp.LastTransfer().ServerDigest.has_value());
}

// A failure of the hashing thread fails the transfer like any other. Here
// its reads of the part a resumed download adds to are refused: the
// descriptor under the file stream is swapped for one open for writing only
// once the download runs, while the thread is still reading that part.
TEST(FtpVerifyScripted, HashingFailureFailsTheTransfer) {
  ScriptedFtpServer server;
  const int64_t existing = 96 << 20;
  server.SetPatternFile("a.bin", existing + (1 << 20), 19);
  FtpTestClient c(server.Port());
  c.ftp.RecordTransfers = true;
  c.Open();
  TempDir dir;
  WritePatternFile(dir.File("a.bin"), existing, 19);
  TNetFileStream file(dir.File("a.bin"), fmOpenReadWrite);
  file.Seek(0, soEnd);
  bool swapped = false;
  c.onWork = [&](int64_t) {
    if (swapped) return;
    swapped = true;
    const int writeOnly = ::open(dir.File("a.bin").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    ::lseek(writeOnly, ::lseek(file.Handle(), 0, SEEK_CUR), SEEK_SET);
    ASSERT_GE(::dup3(writeOnly, file.Handle(), O_CLOEXEC), 0);
    ::close(writeOnly);
  };
  EXPECT_EQ(MessageOf<EInOutError>([&] { c.ftp.Retrieve("a.bin", file, true); }),
            "The file could not be read for its digest: Bad file descriptor");
  EXPECT_TRUE(swapped);
  EXPECT_FALSE(c.ftp.LastTransfer().Ok);
  EXPECT_EQ(c.ftp.LastTransfer().Sha256, "");
  EXPECT_EQ(FileSize(dir.File("a.bin")), existing + (1 << 20));
  // The session goes on.
  EXPECT_EQ(c.ftp.FileSize("a.bin"), existing + (1 << 20));
}

// Transfers that end early still leave the local file's size and digest on
// the receipt, hashed by the thread up to where the file ends: one aborted
// by the client, one whose server broke the connections.
TEST(FtpVerifyScripted, EndedEarlyTransfersRecordThePartialFile) {
  ScriptedFtpServer server;
  server.SetPatternFile("a.bin", 8 << 20, 20);
  FtpTransferOptions slow;
  slow.ChunkSize = 65536;
  slow.ChunkPauseMs = 5;
  server.SetTransferOptions(slow);
  TempDir dir;
  {
    FtpTestClient c(server.Port());
    c.ftp.RecordTransfers = true;
    c.ftp.VerifyTransfers = true;
    c.Open();
    c.onWork = [&](int64_t count) {
      if (count >= (1 << 20)) c.ftp.AbortTransfer();
    };
    c.ftp.Retrieve("a.bin", dir.File("aborted.bin"), false, false);
    const TNetFTPReceipt& r = c.ftp.LastTransfer();
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Transfer aborted");
    EXPECT_EQ(r.Bytes, FileSize(dir.File("aborted.bin")));
    EXPECT_GE(r.Bytes, 1 << 20);
    EXPECT_EQ(r.Sha256, Sha256OfFile(dir.File("aborted.bin")));
  }
  slow.CloseControlAfter = 2 << 20;
  server.SetTransferOptions(slow);
  FtpTestClient c(server.Port());
  c.ftp.RecordTransfers = true;
  c.Open();
  EXPECT_THROW(c.ftp.Retrieve("a.bin", dir.File("broken.bin"), false, false), ENetException);
  const TNetFTPReceipt& r = c.ftp.LastTransfer();
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Bytes, FileSize(dir.File("broken.bin")));
  EXPECT_EQ(r.Sha256, Sha256OfFile(dir.File("broken.bin")));
}

// --- Keepalive

TEST(FtpVerifyScripted, KeepAliveOnControlAndDataConnections) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", PatternBytes(11, 0, 200000));
  // Every way a data connection is made: PASV, PORT, EPSV, and EPRT (the
  // extensions on, PORT refused).
  struct Mode {
    const char* name;
    bool passive, extended;
    const char* dataCommand;
  } modes[] = {{"PASV", true, false, "PASV"},
               {"PORT", false, false, "PORT"},
               {"EPSV", true, true, "EPSV"},
               {"EPRT", false, true, "EPRT"}};
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    if (mode.extended)
      server.SetReply("PORT", "500 PORT not allowed.");
    else
      server.ClearReply("PORT");
    FtpTestClient c(server.Port(), mode.passive);
    c.ftp.KeepAlive = true;
    c.ftp.UseEPSV = mode.extended;
    c.Open();
    const int control = c.ftp.SocketHandler()->SocketHandle()->OsHandle;
    EXPECT_EQ(SocketOption(control, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(SocketOption(control, IPPROTO_TCP, TCP_KEEPIDLE), 30);
    EXPECT_EQ(SocketOption(control, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(SocketOption(control, IPPROTO_TCP, TCP_KEEPCNT), 3);
    std::vector<int> data;
    c.onWork = [&](int64_t) {
      if (!data.empty() || !c.ftp.DataConnection()) return;
      const int fd = c.ftp.DataConnection()->SocketHandler()->SocketHandle()->OsHandle;
      data = {SocketOption(fd, SOL_SOCKET, SO_KEEPALIVE), SocketOption(fd, IPPROTO_TCP, TCP_KEEPIDLE),
              SocketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), SocketOption(fd, IPPROTO_TCP, TCP_KEEPCNT)};
    };
    const size_t before = server.Commands().size();
    TNetMemoryStream sink;
    c.ftp.Retrieve("a.bin", sink);
    EXPECT_EQ(data, (std::vector<int>{1, 30, 10, 3}));
    data.clear();
    c.ftp.Store(sink, "up.bin");
    EXPECT_EQ(data, (std::vector<int>{1, 30, 10, 3}));
    const Lines all = server.Commands();
    const Lines sent(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [&](const std::string& line) { return line.rfind(mode.dataCommand, 0) == 0; }),
              2);
  }
  // Off by default: the system's setting, no keepalive.
  server.ClearReply("PORT");
  FtpTestClient plain(server.Port());
  plain.Open();
  EXPECT_EQ(SocketOption(plain.ftp.SocketHandler()->SocketHandle()->OsHandle, SOL_SOCKET, SO_KEEPALIVE), 0);
}

// The checks share the session's feature list: the login's "FEAT" when it
// asked one (UseFEAT), else one of their own, once per session either way.
TEST(FtpVerifyScripted, OneFeatPerSession) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", PatternBytes(14, 0, 3000));
  for (bool useFeat : {true, false}) {
    SCOPED_TRACE(useFeat ? "FEAT at login" : "FEAT on first use");
    const size_t before = server.Commands().size();
    FtpTestClient c(server.Port());
    c.ftp.VerifyTransfers = true;
    c.ftp.UseFEAT = useFeat;
    c.Open();
    TNetMemoryStream sink, again;
    c.ftp.Retrieve("a.bin", sink);
    c.ftp.Store(sink, "b.bin");
    c.ftp.Retrieve("b.bin", again);
    EXPECT_TRUE(c.ftp.LastTransfer().Ok);
    const Lines sent = CheckCommands(server.Commands(), before);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "FEAT"), 1);
    EXPECT_TRUE(c.ftp.HasFeature("SIZE"));
    // A new session asks again.
    c.ftp.Quit();
    c.Open();
    TNetMemoryStream third;
    c.ftp.Retrieve("a.bin", third);
    const Lines all = CheckCommands(server.Commands(), before);
    EXPECT_EQ(std::count(all.begin(), all.end(), "FEAT"), 2);
  }
}

// --- Receipts of real transfers

TEST(FtpVerifyReal, ReceiptsOfDownloadResumeAndUploadMatchTheFiles) {
  PyftpdlibServer server;
  TempDir local;
  WritePatternFile(server.Root() + "/down.bin", 2345678, 12);
  WritePatternFile(local.File("up.bin"), 876543, 13);
  FtpTestClient c(server.Port());
  c.ftp.VerifyTransfers = true;
  c.ftp.RecordTransfers = true;
  c.Open();

  const auto expectMatches = [&](const std::string& localPath, const std::string& remotePath, bool download) {
    const TNetFTPReceipt& r = c.ftp.LastTransfer();
    EXPECT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Download, download);
    EXPECT_EQ(r.Server, "127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(r.LocalPath, localPath);
    EXPECT_EQ(r.Bytes, FileSize(localPath));
    EXPECT_EQ(r.Sha256, Sha256OfFile(localPath));
    EXPECT_EQ(r.RemoteSize, FileSize(server.Root() + "/" + remotePath));
    EXPECT_EQ(Sha256OfFile(server.Root() + "/" + remotePath), Sha256OfFile(localPath));
    // pyftpdlib gives the time (MDTM) and no digest command.
    EXPECT_EQ(r.RemoteModified.size(), 20u) << r.RemoteModified;
    EXPECT_FALSE(r.ServerDigest.has_value());
    EXPECT_EQ(r.Time.size(), 20u);
  };

  c.ftp.Retrieve("down.bin", local.File("down.bin"), true, false);
  expectMatches(local.File("down.bin"), "down.bin", true);

  WriteFile(local.File("part.bin"), PatternBytes(12, 0, 1000000));
  c.ftp.Retrieve("down.bin", local.File("part.bin"), false, true);
  expectMatches(local.File("part.bin"), "down.bin", true);

  c.ftp.Store(local.File("up.bin"), "up.bin", false);
  expectMatches(local.File("up.bin"), "up.bin", false);
}
