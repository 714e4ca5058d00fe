// Listings captured from real servers (pyftpdlib and vsftpd on loopback,
// fetched with curl) and a hand-written MS-DOS one, read back through the
// printer the headless driver uses. Entries showing a time of day instead of
// a year are dated relative to the day the listing is read on; the test reads
// them on the day they were captured, and computes those expectations.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ListingPrinter.h"
#include "NetExceptions.h"
#include "NetFTPList.h"

#ifndef LISTING_DATA_DIR
#error LISTING_DATA_DIR must name the folder of the captured listings
#endif

namespace {

std::string DataFile(const std::string& name) { return std::string(LISTING_DATA_DIR) + "/" + name; }

// The day the listings were captured (8 December 2026), handed to the parser
// as the day they are read on.
const int kCapturedYear = 2026;
const int kCapturedMonth = 12;
TDateTime CapturedDate() { return EncodeDate(kCapturedYear, kCapturedMonth, 8); }

// "YYYY-MM-DD HH:MM" for an entry shown as "Mmm dd HH:MM": this year, or last
// year when the month is still to come.
std::string Recent(int month, int day, const char* time) {
  const int year = kCapturedMonth < month ? kCapturedYear - 1 : kCapturedYear;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %s", year, month, day, time);
  return text;
}

std::string DosYear(int yy, const char* rest) {
  const int century = kCapturedYear / 100 * 100;
  return std::to_string(yy > 50 ? century - 100 + yy : century + yy) + rest;
}

std::string Row(const char* kind, const char* size, const std::string& modified, const char* name,
                const char* target, const char* owner, const char* group, const char* rights) {
  std::string row = std::string(kind) + "\t" + size + "\t" + modified + "\t" + name + "\t" + target + "\t" + owner +
                    "\t" + group + "\t" + rights;
  return row;
}

std::vector<std::string> PrintedRows(const std::string& file, bool showFormat) {
  std::ostringstream out;
  EXPECT_EQ(RunParseListing(file, showFormat, out, CapturedDate()), 0);
  std::vector<std::string> rows;
  std::istringstream in(out.str());
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  return rows;
}

std::string ReadFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

// Writes a copy of a capture with its LF line ends turned into CR LF, as the
// servers send them (curl turns them into LF in its ASCII mode).
std::string WithCrLf(const std::string& file) {
  std::string data;
  for (char c : ReadFile(file)) {
    if (c == '\n') data += '\r';
    data += c;
  }
  char name[] = "/tmp/remessa-listing-XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  return name;
}

void ExpectListing(const std::string& file, const char* format, const std::vector<std::string>& rows) {
  SCOPED_TRACE(file);
  std::vector<std::string> expected{std::string("# format ") + format};
  expected.insert(expected.end(), rows.begin(), rows.end());
  const std::vector<std::string> printed = PrintedRows(file, true);
  ASSERT_EQ(printed.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(printed[i], expected[i]) << "row " << i;

  // Every line of the file made exactly one entry.
  EXPECT_EQ(SplitLines(ReadFile(file)).size(), rows.size());

  // The same bytes with CR LF line ends print the same.
  const std::string crlf = WithCrLf(file);
  EXPECT_EQ(PrintedRows(crlf, true), printed);
  std::remove(crlf.c_str());
}

TEST(ListingCapture, Pyftpdlib) {
  ExpectListing(DataFile("pyftpdlib.txt"), "flfUnix",
                {
                    Row("f", "2", "2024-02-29 00:00", " leading blank.txt", "", "root", "root", "rw-r--r--"),
                    Row("f", "5368709120", "2019-06-15 00:00", "big.bin", "", "root", "root", "rw-r--r--"),
                    Row("l", "12", Recent(12, 8, "04:02"), "dangling", "/nonexistent", "root", "root", "rwxrwxrwx"),
                    Row("d", "4096", "2002-12-31 00:00", "docs", "", "root", "root", "rwxr-x---"),
                    Row("f", "0", "2000-01-01 00:00", "empty.dat", "", "root", "root", "rwsr-xr-x"),
                    Row("d", "4096", Recent(12, 8, "04:02"), "folder with blanks", "", "root", "root", "rwxr-xr-x"),
                    Row("l", "9", Recent(11, 20, "17:45"), "link", "notes.txt", "root", "root", "rwxrwxrwx"),
                    Row("f", "1", "2026-03-10 00:00", "march.txt", "", "ftp", "ftp", "rw-r--r--"),
                    Row("f", "5", Recent(12, 1, "09:05"), "name with blanks.txt", "", "root", "root", "rw-r--r--"),
                    Row("f", "1234", Recent(7, 4, "10:20"), "notes.txt", "", "root", "root", "rw-r--r--"),
                    Row("f", "1", Recent(12, 8, "04:02"), "recent.log", "", "root", "root", "rw-------"),
                });
}

TEST(ListingCapture, Vsftpd) {
  ExpectListing(DataFile("vsftpd.txt"), "flfUnix",
                {
                    Row("f", "2", "2024-02-29 00:00", " leading blank.txt", "", "0", "0", "rw-r--r--"),
                    Row("f", "5368709120", "2019-06-15 00:00", "big.bin", "", "0", "0", "rw-r--r--"),
                    Row("l", "12", Recent(12, 8, "04:02"), "dangling", "/nonexistent", "0", "0", "rwxrwxrwx"),
                    Row("d", "4096", "2002-12-31 00:00", "docs", "", "0", "0", "rwxr-x---"),
                    Row("f", "0", "2000-01-01 00:00", "empty.dat", "", "0", "0", "rwsr-xr-x"),
                    Row("d", "4096", Recent(12, 8, "04:02"), "folder with blanks", "", "0", "0", "rwxr-xr-x"),
                    Row("l", "9", Recent(11, 20, "17:45"), "link", "notes.txt", "0", "0", "rwxrwxrwx"),
                    Row("f", "1", "2026-03-10 00:00", "march.txt", "", "102", "105", "rw-r--r--"),
                    Row("f", "5", Recent(12, 1, "09:05"), "name with blanks.txt", "", "0", "0", "rw-r--r--"),
                    Row("f", "1234", Recent(7, 4, "10:20"), "notes.txt", "", "0", "0", "rw-r--r--"),
                    Row("f", "1", Recent(12, 8, "04:02"), "recent.log", "", "0", "0", "rw-------"),
                });
}

TEST(ListingCapture, MsDos) {
  // The first entry's size reaches into the "<DIR>" columns.
  const char* none = "????????";
  const char* rights = "?????????";
  ExpectListing(DataFile("dos.txt"), "flfDos",
                {
                    Row("f", "5368709120", DosYear(21, "-01-02 12:05"), "Backup 2021.iso", "", none, none, rights),
                    Row("d", "0", DosYear(3, "-02-14 15:37"), "aspnet_client", "", none, none, rights),
                    Row("f", "1234567", DosYear(99, "-12-31 00:05"), "midnight.bin", "", none, none, rights),
                    Row("f", "1234567", DosYear(26, "-07-04 23:05"), "setup.exe", "", none, none, rights),
                    Row("f", "12", DosYear(3, "-06-05 15:19"), " spaced.txt", "", none, none, rights),
                    Row("d", "0", DosYear(10, "-10-10 09:00"), "My Documents", "", none, none, rights),
                });
}

TEST(ListingCapture, EntriesOfRealListingsCarryNoSecondsAndTheirRawLine) {
  const TStringList lines = SplitLines(ReadFile(DataFile("vsftpd.txt")));
  TNetFTPListItems items;
  items.LoadListing(lines, nullptr, {});
  ASSERT_EQ(items.Count(), static_cast<int64_t>(lines.size()));
  for (int64_t i = 0; i < items.Count(); ++i) {
    const TNetFTPListItem& e = items.Items(i);
    EXPECT_EQ(e.RawLine, lines[static_cast<size_t>(i)]);
    EXPECT_EQ(e.LinkCount, e.EntryKind == fekDirectory ? 2 : 1);
    int h, m, s, ms;
    DecodeTime(e.ModifiedAt, h, m, s, ms);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(ms, 999);
  }
}

// ---------------------------------------------------------------------------
// The printer itself.

TEST(ListingPrinter, UndatedEntryAndFormatNames) {
  TNetFTPListItem item;
  item.ItemName = "plain";
  EXPECT_EQ(FormatListEntry(item), "f\t0\t\tplain\t\t????????\t????????\t?????????");
  item.EntryKind = fekDirectory;
  item.ModifiedAt = EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 999);
  EXPECT_EQ(FormatListEntry(item), "d\t0\t1999-12-31 23:59\tplain\t\t????????\t????????\t?????????");

  const char* names[] = {"flfNone", "flfDos", "flfUnix", "flfVax", "flfNoDetails", "flfUnknown", "flfCustom"};
  for (int f = flfNone; f <= flfCustom; ++f) EXPECT_EQ(ListFormatName(static_cast<TNetFTPListFormat>(f)), names[f]);
}

TEST(ListingPrinter, EmptyAndNameOnlyFilesAndAMissingFile) {
  char name[] = "/tmp/remessa-listing-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(PrintedRows(name, false), std::vector<std::string>{});

  {
    std::ofstream out(name, std::ios::binary);
    out << "readme.txt\r\ndocs\n";
  }
  // A name-only listing is not recognised and loads empty.
  EXPECT_EQ(PrintedRows(name, true), std::vector<std::string>{"# format flfUnknown"});
  std::remove(name);

  std::ostringstream out;
  EXPECT_THROW(RunParseListing(name, true, out), EFOpenError);
  EXPECT_EQ(out.str(), "");
}

}  // namespace
