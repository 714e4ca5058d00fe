// Checks of the plain helpers: hashes, pattern files, child processes, addresses.
#include "LoopbackSocket.h"
#include "Process.h"
#include "Sha256.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // A million 'a', fed in uneven pieces to cross block borders.
  Sha256 hash;
  std::string a(1000000, 'a');
  for (size_t at = 0, step = 1; at < a.size(); at += step, step = step * 7 % 997 + 1)
    hash.Update(std::string_view(a).substr(at, step));
  EXPECT_EQ(hash.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(TestFiles, PatternFileIsDeterministicAndSliceable) {
  TempDir dir;
  const int64_t size = 3 * 1024 * 1024 + 5;  // crosses the writer's chunk size, odd end
  WritePatternFile(dir.File("p.bin"), size, 7);
  EXPECT_EQ(FileSize(dir.File("p.bin")), size);
  std::string all = ReadFile(dir.File("p.bin"));
  EXPECT_EQ(Sha256OfFile(dir.File("p.bin")), Sha256Hex(all));
  EXPECT_EQ(all.substr(1000, 37), PatternBytes(7, 1000, 37));
  EXPECT_EQ(all.substr(static_cast<size_t>(size) - 3), PatternBytes(7, size - 3, 3));
  EXPECT_NE(PatternBytes(7, 0, 64), PatternBytes(8, 0, 64));
  EXPECT_EQ(FindPatternMismatch(dir.File("p.bin"), size, 7), -1);

  all[2 * 1024 * 1024 + 11] ^= 1;
  WriteFile(dir.File("p.bin"), all);
  EXPECT_EQ(FindPatternMismatch(dir.File("p.bin"), size, 7), 2 * 1024 * 1024 + 11);
  WriteFile(dir.File("short.bin"), PatternBytes(7, 0, 100));
  EXPECT_EQ(FindPatternMismatch(dir.File("short.bin"), 101, 7), 100);
  EXPECT_EQ(FindPatternMismatch(dir.File("short.bin"), 99, 7), 99);
}

TEST(TestFiles, SparseFileTakesNoSpace) {
  TempDir dir;
  const int64_t size = int64_t(5) << 30;  // past every 32-bit limit
  WriteSparseFile(dir.File("s.bin"), size, "END");
  EXPECT_EQ(FileSize(dir.File("s.bin")), size);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("s.bin").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  std::ifstream in(dir.File("s.bin"), std::ios::binary);
  in.seekg(size - 5);
  char tail[5] = {};
  in.read(tail, 5);
  EXPECT_EQ(std::string(tail, 5), std::string("\0\0END", 5));
}

TEST(TestFiles, TempDirIsRemoved) {
  std::string path;
  {
    TempDir dir;
    path = dir.Path();
    WriteFile(dir.File("x"), "1");
    EXPECT_TRUE(PathExists(dir.File("x")));
  }
  EXPECT_FALSE(PathExists(path));
}

TEST(Process, CapturesStatusAndOutput) {
  RunOptions withInput;
  withInput.Input = "in\n";
  ProcessResult r = RunProcess({"/bin/sh", "-c", "cat; echo out; echo err >&2; exit 3"}, withInput);
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_EQ(r.Out, "in\nout\n");
  EXPECT_EQ(r.Err, "err\n");
  EXPECT_FALSE(r.TimedOut);

  RunOptions quick;
  quick.TimeoutMs = 300;
  ProcessResult slow = RunProcess({"/bin/sh", "-c", "sleep 30 & sleep 30"}, quick);
  EXPECT_TRUE(slow.TimedOut);
  EXPECT_EQ(slow.Signal, 9);

  ProcessResult missing = RunProcess({"/nonexistent/program"});
  EXPECT_EQ(missing.ExitCode, 127);
  EXPECT_NE(missing.Err.find("cannot run /nonexistent/program"), std::string::npos) << missing.Err;
  EXPECT_THROW(RequireProgram("/nonexistent/program", "nothing"), std::runtime_error);
}

TEST(Addresses, FtpHostPortTexts) {
  HostPort hp = ParseFtpHostPort("10,1,2,3,4,1");
  EXPECT_EQ(hp.Host, "10.1.2.3");
  EXPECT_EQ(hp.Port, 1025);
  EXPECT_EQ(FtpHostPortText("127.0.0.1", 5001), "127,0,0,1,19,137");
  EXPECT_THROW(ParseFtpHostPort("1,2,3,4,5"), std::runtime_error);
  EXPECT_THROW(ParseFtpHostPort("1,2,3,4,5,x"), std::runtime_error);
  EXPECT_THROW(ParseFtpHostPort("1,2,3,4,5,6,7"), std::runtime_error);
  int port = FindFreePort();
  EXPECT_GT(port, 0);
  UniqueFd listener = ListenTcp("127.0.0.1", port);
  EXPECT_EQ(LocalPort(listener.Get()), port);
}
