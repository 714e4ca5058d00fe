// The listing parser on single lines: a table of raw lines and the entries
// they must give, all lines of a layout loaded together, a robustness pass
// over mangled lines, format detection, and the loading rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetExceptions.h"
#include "NetFTPList.h"

namespace {

struct LocalDate {
  int Year, Month, Day;
};

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, ms);
}

// The day the listings are read on, passed to the parser: dates without a
// year depend on it. Mid-year, so that a time-of-day line falls in this year
// for some months and in last year for others.
const LocalDate kReference{2026, 6, 15};
TDateTime ReferenceDate() { return EncodeDate(kReference.Year, kReference.Month, kReference.Day); }

// A Unix line showing a time of day instead of a year is dated in the last
// twelve months: this year, or last year for a month still to come.
int YearOfTimeColumn(int month) {
  const LocalDate today = kReference;
  return today.Month < month ? today.Year - 1 : today.Year;
}

// Two-digit years of MS-DOS dates: 50 and below fall in the current century.
int ExpandYear(int yy) {
  const int century = kReference.Year / 100 * 100;
  return yy > 50 ? century - 100 + yy : century + yy;
}

struct LineCase {
  std::string Line;
  TNetFTPListFormat Layout;
  TNetFTPEntryKind Kind;
  int64_t Size;
  std::string Name;
  std::string Target;
  std::string Owner;
  std::string Group;
  std::string Rights;  // owner, group and other rights joined
  int32_t Links;
  TDateTime Modified;
};

const char* const kNoOwner = "????????";
const char* const kNoRights = "?????????";

std::vector<LineCase> Table() {
  const LocalDate today = kReference;
  const int ms = 999;  // Unix lines carry no seconds and are dated at .999
  return {
      // Unix lines with single blanks between the columns.
      {"-rw-r--r-- 1 owner group 1234 Jan 15 12:34 notes.txt", flfUnix, fekFile, 1234, "notes.txt", "", "owner",
       "group", "rw-r--r--", 1, At(YearOfTimeColumn(1), 1, 15, 12, 34, 0, ms)},
      {"drwxr-xr-x 2 owner group 4096 Dec 31 2002 docs", flfUnix, fekDirectory, 4096, "docs", "", "owner", "group",
       "rwxr-xr-x", 2, At(2002, 12, 31, 0, 0, 0, ms)},
      {"lrwxrwxrwx 1 owner group 11 Mar 3 10:00 link -> target", flfUnix, fekSymbolicLink, 11, "link", "target",
       "owner", "group", "rwxrwxrwx", 1, At(YearOfTimeColumn(3), 3, 3, 10, 0, 0, ms)},
      {"crw-rw-rw- 1 root root 1, 3 Jan 1 2000 null", flfUnix, fekFile, 0, "null", "", "root", "root", "rw-rw-rw-", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},
      // No group column: the month follows what looked like the group.
      {"-rw-r--r-- 1 owner 1234 Jan 1 2000 f", flfUnix, fekFile, 1234, "f", "", "", "owner", "rw-r--r--", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},
      // Seconds are not read: after the first colon only a plain number counts.
      {"-rw-r--r-- 1 owner group 10 Feb 15 12:34:56 precise", flfUnix, fekFile, 10, "precise", "", "owner", "group",
       "rw-r--r--", 1, At(YearOfTimeColumn(2), 2, 15, 12, 0, 0, ms)},
      // Real server widths (ls, vsftpd, pyftpdlib).
      {"-rw-r--r--   1 root     root     5368709120 Jun 15  2019 big.bin", flfUnix, fekFile, 5368709120LL, "big.bin",
       "", "root", "root", "rw-r--r--", 1, At(2019, 6, 15, 0, 0, 0, ms)},
      {"-rw-r--r--    1 1000     1000     9223372036854775807 Jan  5  2021 max.bin", flfUnix, fekFile,
       9223372036854775807LL, "max.bin", "", "1000", "1000", "rw-r--r--", 1, At(2021, 1, 5, 0, 0, 0, ms)},
      {"drwxrwsr-t  12 www-data www-data      4096 Aug  7 09:15 htdocs", flfUnix, fekDirectory, 4096, "htdocs", "",
       "www-data", "www-data", "rwxrwsr-t", 12, At(YearOfTimeColumn(8), 8, 7, 9, 15, 0, ms)},
      {"lrwxrwxrwx    1 0        0              12 Dec 08 04:02 dangling -> /nonexistent", flfUnix, fekSymbolicLink,
       12, "dangling", "/nonexistent", "0", "0", "rwxrwxrwx", 1, At(YearOfTimeColumn(12), 12, 8, 4, 2, 0, ms)},
      {"-rw-r--r--   1 ftp      ftp             0 Feb 29  2024  leading blank.txt", flfUnix, fekFile, 0,
       " leading blank.txt", "", "ftp", "ftp", "rw-r--r--", 1, At(2024, 2, 29, 0, 0, 0, ms)},
      {"-rw-r--r-- 1 o g 1 Jan 1 2000 two  blanks  ", flfUnix, fekFile, 1, "two  blanks  ", "", "o", "g", "rw-r--r--",
       1, At(2000, 1, 1, 0, 0, 0, ms)},
      {"prw-------   1 user     staff           0 Apr  1  2020 fifo", flfUnix, fekFile, 0, "fifo", "", "user", "staff",
       "rw-------", 1, At(2020, 4, 1, 0, 0, 0, ms)},
      {"-rw-r--r--+  1 user     staff         100 Apr  1  2020 with-acl", flfUnix, fekFile, 100, "with-acl", "",
       "user", "staff", "rw-r--r--", 1, At(2020, 4, 1, 0, 0, 0, ms)},
      // A link count of 0 run into the owner name.
      {"drwxr-xr-x 0root root 512 Jan 1 2000 dir", flfUnix, fekDirectory, 512, "dir", "", "root", "root",
       "rwxr-xr-x", 0, At(2000, 1, 1, 0, 0, 0, ms)},
      // Mac servers put "folder" where the link count, owner and group go.
      {"drwxrwxrwx               folder        2 May 10  1996 network", flfUnix, fekDirectory, 2, "network", "", "",
       "", "rwxrwxrwx", 0, At(1996, 5, 10, 0, 0, 0, ms)},
      // Links: only the first " -> " splits; a link without one keeps its name.
      {"lrwxrwxrwx 1 o g 3 Jan 1 2000 a -> b -> c", flfUnix, fekSymbolicLink, 3, "a", "b -> c", "o", "g",
       "rwxrwxrwx", 1, At(2000, 1, 1, 0, 0, 0, ms)},
      {"lrwxrwxrwx 1 o g 3 Jan 1 2000 orphan", flfUnix, fekSymbolicLink, 3, "orphan", "", "o", "g", "rwxrwxrwx", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},
      {"-rw-r--r-- 1 o g 3 Jan 1 2000 a -> b", flfUnix, fekFile, 3, "a -> b", "", "o", "g", "rw-r--r--", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},
      // Numbers that do not convert, or overflow, take their defaults.
      {"-rw-r--r-- 99999999999 o g 99999999999999999999 Jan 1 2000 huge", flfUnix, fekFile, 0, "huge", "", "o", "g",
       "rw-r--r--", 0, At(2000, 1, 1, 0, 0, 0, ms)},
      {"-rw-r--r-- x o g 12x Jan ?? 20x0 odd", flfUnix, fekFile, 0, "odd", "", "o", "g", "rw-r--r--", 0,
       At(today.Year, 1, today.Day, 0, 0, 0, ms)},
      {"-rw-r--r-- 1 o g 1 Jan 1 x:y odd time", flfUnix, fekFile, 1, "odd time", "", "o", "g", "rw-r--r--", 1,
       At(YearOfTimeColumn(1), 1, 1, 0, 0, 0, ms)},
      // 8-bit names and owners pass through untouched.
      {"-rw-r--r-- 1 \xe9l\xe8ve \xff 3 Jan 1 2000 caf\xe9 \x01.txt", flfUnix, fekFile, 3, "caf\xe9 \x01.txt", "",
       "\xe9l\xe8ve", "\xff", "rw-r--r--", 1, At(2000, 1, 1, 0, 0, 0, ms)},
      // A short permission word gives shorter rights.
      {"-rw 1 o g 3 Jan 1 2000 short", flfUnix, fekFile, 3, "short", "", "o", "g", "rw", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},
      // Under flfVax the same columns are read without the missing-group rule.
      {"-rw-r--r-- 1 owner group 1234 Jan 1 2000 f", flfVax, fekFile, 1234, "f", "", "owner", "group", "rw-r--r--", 1,
       At(2000, 1, 1, 0, 0, 0, ms)},

      // MS-DOS lines in their fixed columns.
      {"02-14-03  03:37PM       <DIR>          aspnet_client", flfDos, fekDirectory, 0, "aspnet_client", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(3), 2, 14, 15, 37)},
      {"06-05-03  03:19PM                 1973 readme.txt", flfDos, fekFile, 1973, "readme.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(3), 6, 5, 15, 19)},
      {"12-31-99  12:05AM              1234567 midnight.bin", flfDos, fekFile, 1234567, "midnight.bin", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(99), 12, 31, 0, 5)},
      {"12-31-99  12:05PM                    1 noon.bin", flfDos, fekFile, 1, "noon.bin", "", kNoOwner, kNoOwner,
       kNoRights, 0, At(ExpandYear(99), 12, 31, 12, 5)},
      {"07-04-26  11:05PM            1,234,567 setup.exe", flfDos, fekFile, 1234567, "setup.exe", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(26), 7, 4, 23, 5)},
      {"01-02-21  11:05AM           5368709120 Backup 2021.iso  ", flfDos, fekFile, 5368709120LL, "Backup 2021.iso",
       "", kNoOwner, kNoOwner, kNoRights, 0, At(ExpandYear(21), 1, 2, 11, 5)},
      {"06-05-03  03:19PM                   12  spaced.txt", flfDos, fekFile, 12, " spaced.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(3), 6, 5, 15, 19)},
      {"10-10-10  09:00AM       <dir>          My Documents", flfDos, fekDirectory, 0, "My Documents", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(10), 10, 10, 9, 0)},
      {"02/14/03  15:37         <DIR>          24-hour clock", flfDos, fekDirectory, 0, "24-hour clock", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(3), 2, 14, 15, 37)},
      // An impossible date or time leaves the entry undated; the rest is read.
      {"13-45-03  03:37PM                   10 baddate.txt", flfDos, fekFile, 10, "baddate.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, 0},
      {"04-31-03  03:37PM                   10 april31.txt", flfDos, fekFile, 10, "april31.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, 0},
      {"02-14-03  13:37PM                   10 badtime.txt", flfDos, fekFile, 10, "badtime.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, At(ExpandYear(3), 2, 14, 13, 37)},
      {"02-14-03  24:00AM                   10 badtime2.txt", flfDos, fekFile, 10, "badtime2.txt", "", kNoOwner,
       kNoOwner, kNoRights, 0, 0},
      {"02-14-03  03:37PM                  $1F hex.txt", flfDos, fekFile, 0, "hex.txt", "", kNoOwner, kNoOwner,
       kNoRights, 0, At(ExpandYear(3), 2, 14, 15, 37)},
      {"02-14-03", flfDos, fekFile, 0, "", "", kNoOwner, kNoOwner, kNoRights, 0, At(ExpandYear(3), 2, 14)},

      // Name-only listings.
      {"  \treadme.txt \x01", flfNoDetails, fekFile, 0, "readme.txt", "", kNoOwner, kNoOwner, kNoRights, 0, 0},
      {"name with blanks", flfNoDetails, fekFile, 0, "name with blanks", "", kNoOwner, kNoOwner, kNoRights, 0, 0},
  };
}

void ExpectEntry(const LineCase& c, const TNetFTPListItem& e) {
  SCOPED_TRACE("line: " + c.Line);
  EXPECT_EQ(e.RawLine, c.Line);
  EXPECT_EQ(e.EntryKind, c.Kind);
  EXPECT_EQ(e.ByteSize, c.Size);
  EXPECT_EQ(e.ItemName, c.Name);
  EXPECT_EQ(e.LinkTarget, c.Target);
  EXPECT_EQ(e.Owner, c.Owner);
  EXPECT_EQ(e.Group, c.Group);
  EXPECT_EQ(e.OwnerRights + e.GroupRights + e.OtherRights, c.Rights);
  EXPECT_EQ(e.LinkCount, c.Links);
  EXPECT_DOUBLE_EQ(e.ModifiedAt, c.Modified);
}

TEST(ListParser, EachTableLineGivesItsEntry) {
  for (const LineCase& c : Table()) {
    TNetFTPListItems items;
    items.ListingFormat = c.Layout;
    items.LoadFromLines({c.Line}, ReferenceDate());
    ASSERT_EQ(items.Count(), 1) << c.Line;
    ExpectEntry(c, items.Items(0));
  }
}

TEST(ListParser, AllLinesOfALayoutLoadTogether) {
  const std::vector<LineCase> table = Table();
  for (TNetFTPListFormat layout : {flfUnix, flfVax, flfDos, flfNoDetails}) {
    TStringList lines;
    std::vector<const LineCase*> expected;
    for (const LineCase& c : table) {
      if (c.Layout != layout) continue;
      lines.push_back(c.Line);
      lines.push_back(" \t ");  // blank lines in between give no entries
      expected.push_back(&c);
    }
    TNetFTPListItems items;
    items.ListingFormat = layout;
    items.LoadFromLines(lines, ReferenceDate());
    ASSERT_EQ(items.Count(), static_cast<int64_t>(expected.size())) << "layout " << layout;
    for (size_t i = 0; i < expected.size(); ++i) ExpectEntry(*expected[i], items.Items(static_cast<int64_t>(i)));
  }
}

TEST(ListParser, TimeColumnYearFollowsTheMonth) {
  // A month still to come this year belongs to last year (none in December).
  const LocalDate today = kReference;
  for (int month = 1; month <= 12; ++month) {
    static const char* const kNames[] = {"Jan", "feb", "MAR", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    TNetFTPListItems items;
    items.LoadFromLines({std::string("-rw-r--r-- 1 o g 1 ") + kNames[month - 1] + " 9 23:59 f"}, ReferenceDate());
    ASSERT_EQ(items.Count(), 1) << month;
    const int year = month > today.Month ? today.Year - 1 : today.Year;
    EXPECT_DOUBLE_EQ(items.Items(0).ModifiedAt, At(year, month, 9, 23, 59, 0, 999)) << month;
  }
}

TEST(ListParser, TwoDigitYearsOfDosDates) {
  const int century = kReference.Year / 100 * 100;
  const struct {
    const char* Year;
    int Expected;
  } cases[] = {{"00", century}, {"03", century + 3}, {"50", century + 50}, {"51", century - 100 + 51},
               {"99", century - 100 + 99}};
  for (const auto& c : cases) {
    TNetFTPListItems items;
    items.ListingFormat = flfDos;
    items.LoadFromLines({std::string("03-01-") + c.Year + "  10:00AM                    1 f"}, ReferenceDate());
    ASSERT_EQ(items.Count(), 1);
    EXPECT_DOUBLE_EQ(items.Items(0).ModifiedAt, At(c.Expected, 3, 1, 10, 0)) << c.Year;
  }
}

// The reference date alone decides the missing year and century: the same
// lines read on different days, at the turns of the year and the century.
TEST(ListParser, ReferenceDateDecidesMissingYears) {
  const struct {
    TDateTime ReadOn;
    std::string Line;
    TNetFTPListFormat Layout;
    TDateTime Expected;
  } cases[] = {
      {At(2026, 1, 1), "-rw-r--r-- 1 o g 1 Jan  1 00:00 f", flfUnix, At(2026, 1, 1, 0, 0, 0, 999)},
      {At(2026, 1, 1), "-rw-r--r-- 1 o g 1 Dec 31 23:59 f", flfUnix, At(2025, 12, 31, 23, 59, 0, 999)},
      {At(2026, 12, 31), "-rw-r--r-- 1 o g 1 Dec 31 23:59 f", flfUnix, At(2026, 12, 31, 23, 59, 0, 999)},
      {At(2026, 12, 31), "-rw-r--r-- 1 o g 1 Jan  1 00:00 f", flfUnix, At(2026, 1, 1, 0, 0, 0, 999)},
      // The day column missing its number falls back to the reference day.
      {At(2026, 3, 7), "-rw-r--r-- 1 o g 1 Jan ?? 2000 f", flfUnix, At(2000, 1, 7, 0, 0, 0, 999)},
      {At(2099, 12, 31), "12-31-99  11:59PM                    1 f", flfDos, At(1999, 12, 31, 23, 59)},
      {At(2100, 1, 1), "12-31-99  11:59PM                    1 f", flfDos, At(2099, 12, 31, 23, 59)},
      {At(2100, 1, 1), "01-01-00  12:00AM                    1 f", flfDos, At(2100, 1, 1)},
      {At(1999, 6, 1), "01-01-00  12:00AM                    1 f", flfDos, At(1900, 1, 1)},
  };
  for (const auto& c : cases) {
    TNetFTPListItems items;
    items.ListingFormat = c.Layout;
    items.LoadFromLines({c.Line}, c.ReadOn);
    ASSERT_EQ(items.Count(), 1) << c.Line;
    EXPECT_DOUBLE_EQ(items.Items(0).ModifiedAt, c.Expected) << c.Line;
  }
}

// Without a reference date the parser reads the listing on today's date.
TEST(ListParser, ReferenceDateDefaultsToToday) {
  const TStringList lines = {"-rw-r--r-- 1 o g 1 Jan ?? 12:00 a", "-rw-r--r-- 1 o g 1 Dec 31 12:00 b"};
  TNetFTPListItems byDefault;
  byDefault.LoadFromLines(lines);
  TNetFTPListItems today;
  today.LoadFromLines(lines, Today());
  ASSERT_EQ(byDefault.Count(), 2);
  ASSERT_EQ(today.Count(), 2);
  for (int64_t i = 0; i < 2; ++i) EXPECT_DOUBLE_EQ(byDefault.Items(i).ModifiedAt, today.Items(i).ModifiedAt);
}

// Mangles every table line with blanks, line ends and odd bytes at every
// position, and cuts it at every length: loading must never crash or let an
// error out, whatever the layout.
TEST(ListParser, MangledLinesNeverEscapeLoading) {
  const char kInserts[] = {' ', '\r', '\n', '\t', '\0', '\xff', ':', ',', '-'};
  int64_t loads = 0;
  for (const LineCase& c : Table()) {
    std::vector<std::string> variants;
    for (size_t pos = 0; pos <= c.Line.size(); ++pos) {
      variants.push_back(c.Line.substr(0, pos));
      for (char ch : kInserts) variants.push_back(c.Line.substr(0, pos) + ch + c.Line.substr(pos));
    }
    for (const std::string& line : variants) {
      for (TNetFTPListFormat layout : {flfUnix, flfVax, flfDos, flfNoDetails, flfUnknown, flfCustom, flfNone}) {
        TNetFTPListItems items;
        items.ListingFormat = layout;
        ASSERT_NO_THROW(items.LoadFromLines({line, c.Line})) << layout << ": " << line;
        ASSERT_LE(items.Count(), 2);
        ++loads;
      }
      TNetFTPListItems items;
      ASSERT_NO_THROW(items.LoadListing(SplitLines(line), nullptr, {})) << line;
    }
  }
  EXPECT_GT(loads, 10000);
}

TEST(ListParser, HugeLinesLoad) {
  TNetFTPListItems items;
  const std::string digits(100000, '9');
  const std::string blanks(100000, ' ');
  items.LoadFromLines({"-rw-r--r-- 1 o g " + digits + " Jan 1 2000 " + blanks + "x"});
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ByteSize, 0);
  EXPECT_EQ(items.Items(0).ItemName.size(), blanks.size() + 1);
  items.ListingFormat = flfDos;
  items.LoadFromLines({"02-14-03  03:37PM " + blanks + digits + " f"});
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ByteSize, 0);
  EXPECT_EQ(items.Items(0).ItemName, "f");
}

// ---------------------------------------------------------------------------
// Loading rules.

TEST(ListLoading, FailedLineDropsEarlierEntriesAndLoadingGoesOn) {
  TNetFTPListItems items;
  items.LoadFromLines({
      "-rw-r--r-- 1 o g 1 Jan 1 2000 first",
      "-rw-r--r-- 1 o g 2 Foo 1 2000 unknown-month",
      "-rw-r--r-- 1 o g 3 Jan 1 2000 third",
      "-rw-r--r-- 1 o g 4 Jan 1 25:00 bad-hour",
      "-rw-r--r-- 1 o g 5 Feb 30 2000 bad-day",
      "-rw-r--r-- 1 o g 6 Jan 1 2000 sixth",
      "-rw-r--r-- 1 o g 7 Jan 2 2000 seventh",
  });
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Items(0).ItemName, "sixth");
  EXPECT_EQ(items.Items(1).ItemName, "seventh");
}

TEST(ListLoading, MissingGroupLineUnderVaxEmptiesTheCollection) {
  TNetFTPListItems items;
  items.ListingFormat = flfVax;
  items.LoadFromLines({"-rw-r--r-- 1 o g 1 Jan 1 2000 kept", "-rw-r--r-- 1 owner 1234 Jan 1 2000 f"});
  EXPECT_EQ(items.Count(), 0);
}

TEST(ListLoading, FailedUnixLineLeavesADirectlyParsedEntryUntouched) {
  TNetFTPListItems items;
  TNetFTPListItem entry;
  entry.RawLine = "-rw-r--r-- 1 o g 2 Foo 1 2000 x";
  try {
    items.ParseLine(flfUnix, entry);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  EXPECT_EQ(entry.ItemName, "");
  EXPECT_EQ(entry.Owner, "????????");
  entry.RawLine = "-rw-r--r-- 1 o g 2 Jan 1 24:00 x";
  EXPECT_THROW(items.ParseLine(flfUnix, entry), EConvertError);
}

TEST(ListLoading, TotalLineIsSkippedOnlyFirstAndOnlyForUnix) {
  TNetFTPListItems items;
  items.LoadFromLines({"total 24", "-rw-r--r-- 1 o g 1 Jan 1 2000 f"});
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ItemName, "f");

  items.ListingFormat = flfNoDetails;
  items.LoadFromLines({"Total 24", "f"});
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Items(0).ItemName, "Total 24");
}

TEST(ListLoading, NoneKeepsRawLinesAndBlankLinesGiveNothing) {
  TNetFTPListItems items;
  items.ListingFormat = flfNone;
  items.LoadFromLines({"", "  ", "\t", "anything at all", " \t x"});
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Items(0).RawLine, "anything at all");
  EXPECT_EQ(items.Items(0).ItemName, "");
  EXPECT_EQ(items.Items(1).RawLine, " \t x");
}

TEST(ListLoading, UnknownAndUnhandledCustomLoadEmptyWithoutError) {
  TNetFTPListItems items;
  for (TNetFTPListFormat layout : {flfUnknown, flfCustom}) {
    items.ListingFormat = layout;
    EXPECT_NO_THROW(items.LoadFromLines({"a", "b"}));
    EXPECT_EQ(items.Count(), 0);
    TNetFTPListItem entry;
    entry.RawLine = "a";
    try {
      items.ParseLine(layout, entry);
      FAIL() << "no error";
    } catch (const ENetInvalidFTPListingFormat& e) {
      EXPECT_STREQ(e.what(), "Unknown FTP listing format");
    }
  }
}

TEST(ListLoading, CustomHandlerFillsEntries) {
  TNetFTPListItems items;
  items.ListingFormat = flfCustom;
  items.OnParseCustomListFormat = [](TNetFTPListItem& item) {
    if (item.RawLine == "bad") throw ENetException("refused");
    item.ItemName = item.RawLine.substr(1);
    item.EntryKind = item.RawLine[0] == 'd' ? fekDirectory : fekFile;
  };
  items.LoadFromLines({"dfolder", "ffile"});
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Items(0).ItemName, "folder");
  EXPECT_EQ(items.Items(0).EntryKind, fekDirectory);
  EXPECT_EQ(items.Items(1).EntryKind, fekFile);

  items.LoadFromLines({"dfolder", "bad", "flast"});
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ItemName, "last");
}

TEST(ListLoading, LoadListingDetectsChecksAndLoads) {
  TNetFTPListItems items;
  items.AddEntry();
  TNetBaseComponent sender;
  int calls = 0;
  TNetCheckListFormat check = [&](TNetBaseComponent* s, const std::string& line, TNetFTPListFormat& format) {
    ++calls;
    EXPECT_EQ(s, &sender);
    EXPECT_EQ(line, "total 8");
    EXPECT_EQ(format, flfUnix);
  };
  items.LoadListing({"total 8", "drwxr-xr-x 2 o g 4096 Dec 31 2002 docs"}, &sender, check);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(items.ListingFormat, flfUnix);
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ItemName, "docs");

  // The handler's choice is the one stored and used.
  items.LoadListing({"  a ", "b"}, &sender,
                    [](TNetBaseComponent*, const std::string&, TNetFTPListFormat& format) { format = flfNoDetails; });
  EXPECT_EQ(items.ListingFormat, flfNoDetails);
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Items(0).ItemName, "a");

  // No lines: nothing detected, no handler call, no entries.
  calls = 0;
  items.LoadListing({}, &sender, check);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(items.Count(), 0);
}

TEST(ListLoading, PlainNamesFromNlstLoadEmpty) {
  // Detection assumes details even for a name-only listing.
  TNetFTPListItems items;
  items.LoadListing({"readme.txt", "docs"}, nullptr, {});
  EXPECT_EQ(items.ListingFormat, flfUnknown);
  EXPECT_EQ(items.Count(), 0);
}

// ---------------------------------------------------------------------------
// Detection.

TEST(ListDetection, FirstLineDecidesTheLayout) {
  TNetFTPListItems items;
  const struct {
    const char* Line;
    TNetFTPListFormat Expected;
  } cases[] = {
      {"total 24", flfUnix},
      {"TOTAL", flfUnix},
      {"-rw-r--r-- 1 o g 1 Jan 1 2000 f", flfUnix},
      {"drwxr-xr-x", flfUnix},
      {"lrwxrwxrwx 1 o g 3 Jan 1 2000 a -> b", flfUnix},
      {"brw-rw---- 1 root disk 8, 0 Jan 1 2000 sda", flfUnix},
      {"-rwSr-Sr-T 1 o g 1 Jan 1 2000 f", flfUnix},
      {"-rw-r--r-", flfUnknown},  // nine characters only
      {"xrw-r--r-- 1 o g 1 Jan 1 2000 f", flfUnknown},
      {"USER1DSK:[ANONYMOUS]", flfVax},
      {"02-14-03  03:37PM       <DIR>          aspnet_client", flfDos},
      {"02/14/03  03:37PM       <dir>          aspnet_client", flfDos},
      {"06-05-03  03:19PM                 1973 readme.txt", flfDos},
      {"06-05-03  03:19PM            1,234,567 setup.exe", flfDos},
      // A size of nine digits or more fills the directory columns too.
      {"06-05-03  03:19PM            123456789 big.iso", flfDos},
      {"01-02-21  12:05PM           5368709120 Backup 2021.iso", flfDos},
      {"06-05-03  03:19PM                   -1 minus-one", flfUnknown},
      {"06-05-03  03:19PM                  $1F hex", flfUnknown},
      {"06-05-03  03:19PM   something    1973 f", flfUnknown},
      {"06-05-03", flfUnknown},
      {"readme.txt", flfUnknown},
      {"", flfUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(items.DetectFormat(c.Line, true), c.Expected) << c.Line;
  EXPECT_EQ(items.DetectFormat("-rw-r--r-- 1 o g 1 Jan 1 2000 f", false), flfNoDetails);
  EXPECT_EQ(items.DetectFormat("", false), flfNoDetails);
}

TEST(ListDetection, PermissionWordCharacterSets) {
  EXPECT_TRUE(IsUnixPermissions("-RW-R--R--"));
  EXPECT_TRUE(IsUnixPermissions("SRWXRWXRWX"));
  EXPECT_TRUE(IsUnixPermissions("PRWSRWSRWT"));
  EXPECT_TRUE(IsUnixPermissions("C-A-H-YA--"));  // A at 3 and 8, H at 5, Y at 7
  EXPECT_FALSE(IsUnixPermissions("-RW-R--R-"));
  EXPECT_FALSE(IsUnixPermissions("-RW-A--R--"));  // no A at 5
  EXPECT_FALSE(IsUnixPermissions("-RW-R--RY-"));  // no Y at 9
  EXPECT_FALSE(IsUnixPermissions("-rw-r--r--"));  // expects an upper-cased line
  EXPECT_FALSE(IsUnixPermissions(std::string("-RW-R--R-\0", 10)));
}

// ---------------------------------------------------------------------------
// Entries and the collection.

TEST(ListItems, IndexOutOfRangeIsRefused) {
  // (The defaults of a new entry are checked by the MS-DOS rows of the table.)
  TNetFTPListItems items;
  TNetFTPListItem& e = items.AddEntry();
  EXPECT_EQ(&items.Items(0), &e);
  for (int64_t bad : {int64_t{-1}, int64_t{1}, int64_t{5}}) {
    try {
      items.Items(bad);
      FAIL() << bad;
    } catch (const EListError& err) {
      EXPECT_EQ(std::string(err.what()), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
}

class TOtherPersistent : public TNetPersistent {
 public:
  std::string ClassName() const override { return "TOtherPersistent"; }
};

TEST(ListItems, AssignCopiesEveryFieldAndRefusesOtherClasses) {
  TNetFTPListItem source;
  source.ByteSize = 5368709120LL;
  source.LinkCount = 3;
  source.RawLine = "raw";
  source.ItemName = "name";
  source.GroupRights = "r-x";
  source.Group = "grp";
  source.OwnerRights = "rwx";
  source.Owner = "own";
  source.OtherRights = "--x";
  source.ModifiedAt = 12345.5;
  source.LinkTarget = "target";
  source.EntryKind = fekSymbolicLink;
  TNetFTPListItem copy;
  copy.Assign(source);
  EXPECT_EQ(copy.ByteSize, source.ByteSize);
  EXPECT_EQ(copy.LinkCount, 3);
  EXPECT_EQ(copy.RawLine, "raw");
  EXPECT_EQ(copy.ItemName, "name");
  EXPECT_EQ(copy.GroupRights, "r-x");
  EXPECT_EQ(copy.Group, "grp");
  EXPECT_EQ(copy.OwnerRights, "rwx");
  EXPECT_EQ(copy.Owner, "own");
  EXPECT_EQ(copy.OtherRights, "--x");
  EXPECT_EQ(copy.ModifiedAt, 12345.5);
  EXPECT_EQ(copy.LinkTarget, "target");
  EXPECT_EQ(copy.EntryKind, fekSymbolicLink);

  try {
    copy.Assign(TOtherPersistent());
    FAIL() << "no error";
  } catch (const EAssignError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TOtherPersistent to a TNetFTPListItem");
  }
  EXPECT_EQ(copy.ItemName, "name");
}

}  // namespace
