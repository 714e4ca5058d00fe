// The FTPTLS setting as read from the settings text, and the trust store's file.
#include "tlssetup.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "inifile.h"

namespace {

std::string ReadAll(const QString& AFileName) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return "<missing>";
  return File.readAll().toStdString();
}

void WriteAll(const QString& AFileName, const std::string& AText) {
  QFile File(AFileName);
  ASSERT_TRUE(File.open(QIODevice::WriteOnly));
  File.write(AText.data(), static_cast<qint64>(AText.size()));
}

const std::string FingerprintA = "SHA256:" + std::string(64, 'A');
const std::string FingerprintB = "SHA256:" + std::string(64, 'B');

}  // namespace

TEST(TLSModeSetting, EveryValueMissingAndUnknown) {
  const struct {
    const char* Ini;
    TNetFTPTLSMode Mode;
  } Cases[] = {
      {"[Server]\nFTPTLS=off\n", tlsOff},
      {"[Server]\nFTPTLS=auto\n", tlsAuto},
      {"[Server]\nFTPTLS=required\n", tlsRequired},
      {"[Server]\nFTPTLS=implicit\n", tlsImplicit},
      {"[server]\r\n ftptls = Required \r\n", tlsRequired},  // any case, blanks around
      {"[Server]\nFTPTLS=IMPLICIT\n", tlsImplicit},
      {"[Server]\nFTPTLS=OFF\n", tlsOff},
      {"[Server]\nFTPHOST=h\n", tlsAuto},                  // missing key
      {"", tlsAuto},                                       // no file content at all
      {"[Other]\nFTPTLS=off\n[Server]\nA=1\n", tlsAuto},   // another section's key
      {"[Server]\nFTPTLS=yes\n", tlsAuto},                 // unknown
      {"[Server]\nFTPTLS=\n", tlsAuto},                    // empty
      {"[Server]\nFTPTLS=off;\n", tlsAuto},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Ini);
    EXPECT_EQ(TLSModeFromSetting(GetIniValue(Case.Ini, "Server", TLSModeKey)), Case.Mode);
  }
  // The name written for each mode reads back as that mode.
  for (TNetFTPTLSMode Mode : {tlsOff, tlsAuto, tlsRequired, tlsImplicit})
    EXPECT_EQ(TLSModeFromSetting(TLSModeName(Mode)), Mode);
  EXPECT_EQ(TLSModeFromSetting(std::nullopt), tlsAuto);
}

TEST(TrustStore, StoresReplacesAndReadsBack) {
  QTemporaryDir Dir;
  const QString File = Dir.filePath("sub/TrustedCertificates.txt");
  TTrustStore Empty(File);  // no file yet
  EXPECT_TRUE(Empty.Entries().empty());

  Empty.Store("ftp.example.com", 21, FingerprintA);  // makes the folder
  Empty.Store("::1", 990, FingerprintB);
  EXPECT_EQ(ReadAll(File), "::1:990 " + FingerprintB + "\nftp.example.com:21 " + FingerprintA + "\n");
  Empty.Store("ftp.example.com", 21, FingerprintB);  // replaced
  TTrustStore Again(File);
  EXPECT_EQ(Again.Fingerprint("ftp.example.com", 21), FingerprintB);
  EXPECT_EQ(Again.Fingerprint("::1", 990), FingerprintB);
  EXPECT_EQ(Again.Fingerprint("ftp.example.com", 990), std::nullopt);

  TNetTLSTrust Trust;
  Again.ApplyTo(Trust);
  EXPECT_TRUE(Trust.IsTrusted("ftp.example.com", 21, FingerprintB));
  EXPECT_FALSE(Trust.IsTrusted("ftp.example.com", 21, FingerprintA));
  EXPECT_TRUE(Trust.IsTrusted("::1", 990, FingerprintB));
}

TEST(TrustStore, LinesThatAreNoEntryAreSkipped) {
  QTemporaryDir Dir;
  const QString File = Dir.filePath("t.txt");
  const std::string Lower = "sha256:" + std::string(64, 'c');
  WriteAll(File, "# comment\n\nhost:21 " + FingerprintA + "\r\nnoport " + FingerprintA + "\nhost:99999 " +
                     FingerprintA + "\nhost:22 SHA256:ABC\nhost:23 " + FingerprintA + " extra\nlow:21 " + Lower +
                     "\n");
  TTrustStore Store(File);
  ASSERT_EQ(Store.Entries().size(), 2u);
  EXPECT_EQ(Store.Fingerprint("host", 21), FingerprintA);
  EXPECT_EQ(Store.Fingerprint("low", 21), "SHA256:" + std::string(64, 'C'));  // canonical form
}

TEST(TrustStore, AFileThatCannotBeWrittenFailsAndKeepsTheEntries) {
  QTemporaryDir Dir;
  WriteAll(Dir.filePath("plain"), "x");
  TTrustStore Store(Dir.filePath("plain/t.txt"));  // below a file: no folder can be made
  EXPECT_THROW(Store.Store("h", 21, FingerprintA), EIniFileException);
  EXPECT_TRUE(Store.Entries().empty());
}
