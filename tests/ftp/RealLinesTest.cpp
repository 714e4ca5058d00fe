// The listing reader on a table of lines real servers send (data/real-lines.txt,
// with the entry each must give written by hand): the share it reads right,
// next to the share the listing rules alone read right, and a mutation pass
// over the same lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "NetFTPFacts.h"
#include "NetFTPList.h"
#include "NetFTPListReader.h"

#ifndef LISTING_DATA_DIR
#error LISTING_DATA_DIR must name the folder of the listing data
#endif

namespace {

// The table's times in seconds since 1970 (EPLF) are written as UTC dates.
const bool kInUtc = [] {
  setenv("TZ", "UTC", 1);
  tzset();
  return true;
}();

TDateTime ReadOn() { return EncodeDate(2026, 6, 15); }

struct TTableLine {
  std::string Raw;
  bool HasEntry = false;
  std::vector<std::string> Expected;  // kind, size, modified, name, target, owner, group, rights
};

struct TTableListing {
  std::string Label;
  std::vector<TTableLine> Lines;
};

std::string Unescape(const std::string& AText) {
  std::string out;
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '\\' && i + 1 < AText.size() && AText[i + 1] == 't') {
      out += '\t';
      ++i;
    } else {
      out += AText[i];
    }
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& AText) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    const size_t tab = AText.find('\t', from);
    fields.push_back(AText.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) break;
    from = tab + 1;
  }
  return fields;
}

std::vector<TTableListing> LoadTable(const std::string& AFile = "real-lines.txt") {
  std::ifstream in(std::string(LISTING_DATA_DIR) + "/" + AFile, std::ios::binary);
  EXPECT_TRUE(in) << "data/" << AFile << " is missing";
  std::vector<TTableListing> listings;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.starts_with("== ")) {
      listings.push_back({line.substr(3), {}});
    } else if (line.starts_with(">>\t")) {
      std::vector<std::string> fields = SplitTabs(line.substr(3));
      EXPECT_EQ(fields.size(), 8u) << line;
      for (std::string& f : fields) f = Unescape(f);
      listings.back().Lines.back().HasEntry = true;
      listings.back().Lines.back().Expected = fields;
    } else {
      listings.back().Lines.push_back({Unescape(line), false, {}});
    }
  }
  return listings;
}

std::string Modified(TDateTime AValue) {
  if (AValue == 0) return "-";
  int y, mo, d, h, mi, s, ms;
  DecodeDate(AValue, y, mo, d);
  DecodeTime(AValue, h, mi, s, ms);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", y, mo, d, h, mi);
  return text;
}

std::vector<std::string> Fields(const TNetFTPListItem& E) {
  auto orDefault = [](const std::string& AText, const std::string& ADefault) {
    return AText == ADefault ? std::string("?") : AText;
  };
  const char* kind = E.EntryKind == fekDirectory ? "d" : E.EntryKind == fekSymbolicLink ? "l" : "f";
  return {kind,
          std::to_string(E.ByteSize),
          Modified(E.ModifiedAt),
          E.ItemName,
          E.LinkTarget,
          orDefault(E.Owner, "????????"),
          orDefault(E.Group, "????????"),
          orDefault(E.OwnerRights + E.GroupRights + E.OtherRights, "?????????")};
}

TStringList RawLines(const TTableListing& AListing) {
  TStringList lines;
  for (const TTableLine& l : AListing.Lines) lines.push_back(l.Raw);
  return lines;
}

// How many lines with an entry a reader got right; the misread ones are
// described in AMisread. Entries are matched to lines by their raw line.
struct TScore {
  int Right = 0;
  int Total = 0;
  std::vector<std::string> Misread;
};

void Score(const TTableListing& AListing, const TNetFTPListItems& AItems, TScore& AScore) {
  std::vector<bool> used(static_cast<size_t>(AItems.Count()), false);
  for (const TTableLine& l : AListing.Lines) {
    const TNetFTPListItem* found = nullptr;
    for (int64_t i = 0; i < AItems.Count() && !found; ++i) {
      if (!used[static_cast<size_t>(i)] && AItems.Items(i).RawLine == l.Raw) {
        used[static_cast<size_t>(i)] = true;
        found = &AItems.Items(i);
      }
    }
    if (!l.HasEntry) {
      if (found) AScore.Misread.push_back(AListing.Label + ": an entry for \"" + l.Raw + "\"");
      continue;
    }
    ++AScore.Total;
    if (!found) {
      AScore.Misread.push_back(AListing.Label + ": no entry for \"" + l.Raw + "\"");
    } else if (Fields(*found) != l.Expected) {
      std::string got;
      for (const std::string& f : Fields(*found)) got += "|" + f;
      AScore.Misread.push_back(AListing.Label + ": \"" + l.Raw + "\" gave " + got);
    } else {
      ++AScore.Right;
    }
  }
}

double Share(const TScore& S) { return S.Total == 0 ? 0 : 100.0 * S.Right / S.Total; }

// Scores the rules alone (the format of the first line, each line by its
// rules, a failed line emptying what was read before it) and the reader on
// every listing of a table.
void ScoreTable(const std::vector<TTableListing>& ATable, TScore& ARules, TScore& AReader) {
  for (const TTableListing& listing : ATable) {
    const TStringList lines = RawLines(listing);
    TNetFTPListItems byRules;
    byRules.ListingFormat = byRules.DetectFormat(lines.front(), true);
    byRules.LoadFromLines(lines, ReadOn());
    Score(listing, byRules, ARules);

    TNetFTPListItems read;
    read.LoadListing(lines, nullptr, {}, ReadOn());
    Score(listing, read, AReader);
  }
}

}  // namespace

// The rules alone against the reader.
TEST(RealLines, ReaderGetsAtLeast95PercentRight) {
  ASSERT_TRUE(kInUtc);
  TScore rules, reader;
  ScoreTable(LoadTable(), rules, reader);
  ASSERT_GE(reader.Total, 200);
  std::printf("[ share ] rules alone: %d of %d lines right (%.1f %%); reader: %d of %d (%.1f %%)\n", rules.Right,
              rules.Total, Share(rules), reader.Right, reader.Total, Share(reader));
  for (const std::string& m : reader.Misread) std::printf("[ misread ] %s\n", m.c_str());
  EXPECT_GE(Share(reader), 95.0);
}

// The second table, whose entries were written before the reader ever read
// its lines: its share is the one the reader was not shaped to.
TEST(RealLines, ReaderGetsLinesWrittenWithoutItRight) {
  ASSERT_TRUE(kInUtc);
  TScore rules, reader;
  ScoreTable(LoadTable("real-lines-blind.txt"), rules, reader);
  ASSERT_GE(reader.Total, 60);
  std::printf("[ share ] lines written without the reader: rules alone %d of %d (%.1f %%); reader %d of %d (%.1f %%)\n",
              rules.Right, rules.Total, Share(rules), reader.Right, reader.Total, Share(reader));
  for (const std::string& m : reader.Misread) std::printf("[ misread ] %s\n", m.c_str());
  EXPECT_GE(Share(reader), 95.0);
}

// Where the rules read a line soundly, the reader gives exactly their entry,
// link count and all.
TEST(RealLines, SoundRuleEntriesStandAsTheRulesMadeThem) {
  const TStringList lines = {
      "total 8",
      "-rw-r--r--    0     12345     67890   80318 Apr 24  1997 Read Me",
      "drwxr-xr-x 0root root 512 Jan 1 2000 dir",
      "-rw-r--r-- 1 owner 1234 Jan 1 2000 f",
      "-rw-r--r-- 1 o g 3 Jan 1 2000 a -> b",
  };
  TNetFTPListItems rules;
  rules.ListingFormat = flfUnix;
  rules.LoadFromLines(lines, ReadOn());
  TNetFTPListItems read;
  read.LoadListing(lines, nullptr, {}, ReadOn());
  ASSERT_EQ(read.Count(), rules.Count());
  for (int64_t i = 0; i < read.Count(); ++i) {
    const TNetFTPListItem& a = rules.Items(i);
    const TNetFTPListItem& b = read.Items(i);
    EXPECT_EQ(a.ItemName, b.ItemName);
    EXPECT_EQ(a.LinkCount, b.LinkCount);
    EXPECT_EQ(a.Owner, b.Owner);
    EXPECT_EQ(a.Group, b.Group);
    EXPECT_EQ(a.ByteSize, b.ByteSize);
    EXPECT_DOUBLE_EQ(a.ModifiedAt, b.ModifiedAt);
  }
}

// Every table line with blanks, line ends, odd bytes and separators put in
// at every position, and cut at every length: the reader, the tolerant
// reading and the fact-line reader must never crash nor let an error out.
// An EPLF mode is octal of a sensible length: a longer one gives no rights
// (and no arithmetic overflow on the way).
TEST(RealLines, EplfModesOfAnyLength) {
  TNetFTPListItem entry;
  ASSERT_TRUE(ReadListingLineLoosely("+up4755,r,s5,\tx", entry, ReadOn()));
  EXPECT_EQ(entry.OwnerRights + entry.GroupRights + entry.OtherRights, "rwsr-xr-x");
  TNetFTPListItem overlong;
  ASSERT_TRUE(ReadListingLineLoosely("+up7777777777777777777777777,r,s5,\ty", overlong, ReadOn()));
  EXPECT_EQ(overlong.ItemName, "y");
  EXPECT_EQ(overlong.OwnerRights, TNetFTPListItem().OwnerRights);
}

TEST(RealLines, MangledLinesNeverEscapeTheReader) {
  const char kInserts[] = {' ', '\t', '\0', '\xff', ':', ',', '-', ';', '5'};
  int64_t reads = 0;
  std::vector<TTableListing> table = LoadTable();
  for (TTableListing& listing : LoadTable("real-lines-blind.txt")) table.push_back(std::move(listing));
  for (const TTableListing& listing : table) {
    for (const TTableLine& l : listing.Lines) {
      const std::string& raw = l.Raw;
      for (size_t pos = 0; pos <= raw.size(); ++pos) {
        std::vector<std::string> variants = {raw.substr(0, pos)};
        for (char ch : kInserts) variants.push_back(raw.substr(0, pos) + ch + raw.substr(pos));
        if (pos < raw.size()) variants.push_back(raw.substr(0, pos) + raw.substr(pos + 1));
        for (const std::string& line : variants) {
          TNetFTPListItems items;
          ASSERT_NO_THROW(items.LoadListing({line, raw}, nullptr, {}, ReadOn())) << line;
          ASSERT_LE(items.Count(), 2);
          TNetFTPListItem entry;
          ASSERT_NO_THROW(ReadListingLineLoosely(line, entry, ReadOn())) << line;
          ASSERT_NO_THROW(ReadFactsLine(line, entry)) << line;
          ++reads;
        }
      }
    }
  }
  EXPECT_GT(reads, 150000);  // about 185,000
}
