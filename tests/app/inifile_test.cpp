#include "inifile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(IniText, KeyIsSetInItsSection) {
  EXPECT_EQ(SetIniValue("", "Server", "FTPHOST", "ftp.example.com"), "[Server]\nFTPHOST=ftp.example.com\n");
  // Replaced in place, names matched regardless of case, the rest kept.
  EXPECT_EQ(SetIniValue("[Other]\nFTPHOST=x\n[server]\r\n ftphost = old\r\nUser=ana\r\n", "Server", "FTPHOST", "new"),
            "[Other]\nFTPHOST=x\n[server]\nFTPHOST=new\nUser=ana\n");
  // A new key goes after the section's last entry, before blank lines.
  EXPECT_EQ(SetIniValue("[Server]\nUser=ana\n\n[Next]\nA=1\n", "Server", "FTPHOST", "h"),
            "[Server]\nUser=ana\nFTPHOST=h\n\n[Next]\nA=1\n");
  EXPECT_EQ(SetIniValue("[Next]\nA=1", "Server", "FTPHOST", "h"), "[Next]\nA=1\n[Server]\nFTPHOST=h\n");
  // A value cannot break out of its line.
  EXPECT_EQ(SetIniValue("", "Server", "FTPHOST", "evil\r\n[Server]\nFTPHOST=other"),
            "[Server]\nFTPHOST=evil[Server]FTPHOST=other\n");
}

TEST(IniText, ValueIsReadFromItsSection) {
  struct Row {
    const char* Text;
    const char* Value;
  };
  const Row rows[] = {
      {"[Server]\nFTPHOST=h\nUSEEPSV=0\n", "0"},
      {"[server]\r\n useepsv = 1 \r\n", "1"},      // names in any case, blanks around
      {"[Other]\nUSEEPSV=0\n[Server]\nFTPHOST=h\n", "default"},  // another section's key
      {"[Server]\nFTPHOST=h\n[Other]\nUSEEPSV=0\n", "default"},
      {"USEEPSV=0\n", "default"},                    // before any section
      {"[Server]\nUSEEPSV=\n", ""},
      {"", "default"},
  };
  for (const Row& r : rows) EXPECT_EQ(GetIniValue(r.Text, "Server", "USEEPSV", "default"), r.Value) << r.Text;
}

TEST(IniFile, ReadsWhatWasWrittenAndDefaultsWithoutAFile) {
  QTemporaryDir Dir;
  ASSERT_TRUE(Dir.isValid());
  const QString Name = Dir.filePath("FtpHost.ini");
  EXPECT_EQ(ReadIniString(Name, "Server", "USEEPSV", "1"), "1");
  WriteIniString(Name, "Server", "USEEPSV", "0");
  EXPECT_EQ(ReadIniString(Name, "Server", "USEEPSV", "1"), "0");
}

TEST(IniFile, WritesAndUpdatesTheFile) {
  QTemporaryDir Dir;
  ASSERT_TRUE(Dir.isValid());
  const QString Name = Dir.filePath("FtpHost.ini");
  WriteIniString(Name, "Server", "FTPHOST", "first.example.com");
  WriteIniString(Name, "Server", "FTPHOST", "second.example.com");
  QFile File(Name);
  ASSERT_TRUE(File.open(QIODevice::ReadOnly));
  EXPECT_EQ(File.readAll().toStdString(), "[Server]\nFTPHOST=second.example.com\n");
}

TEST(IniFile, UnwritableFolderFailsWithTheFileName) {
  // Root may write into any folder; a folder path that runs through a plain
  // file fails for everyone.
  QTemporaryDir Dir;
  ASSERT_TRUE(Dir.isValid());
  QFile Plain(Dir.filePath("plain"));
  ASSERT_TRUE(Plain.open(QIODevice::WriteOnly));
  Plain.close();
  const QString Name = Dir.filePath("plain/FtpHost.ini");
  try {
    WriteIniString(Name, "Server", "FTPHOST", "h");
    FAIL() << "no exception";
  } catch (const EIniFileException& E) {
    EXPECT_EQ(std::string(E.what()), "Unable to write to " + Name.toStdString());
  }
}
