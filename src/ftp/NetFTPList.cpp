#include "NetFTPList.h"

#include "NetExceptions.h"
#include "NetFTPFacts.h"
#include "NetFTPListReader.h"

namespace {

// Characters From..To (1-based, inclusive) of Text; a range past the end
// yields the shorter text.
std::string Range(const std::string& Text, size_t From, size_t To = std::string::npos) {
  if (From > Text.size() || To < From) return std::string();
  return Text.substr(From - 1, To == std::string::npos ? std::string::npos : To - From + 1);
}

// Character Pos (1-based), or NUL past the end.
char CharAt(const std::string& Text, size_t Pos) { return Pos >= 1 && Pos <= Text.size() ? Text[Pos - 1] : '\0'; }

char UpperChar(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C; }

bool IsAsciiLetter(char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'); }

// Listing columns are separated by one or more blanks: a word is what comes
// before the next single blank.
std::string TakeWord(std::string& Buffer) { return CutToken(Buffer, " "); }

// Drops leading blanks and control characters in place.
void SkipBlanks(std::string& Buffer) {
  size_t n = 0;
  while (n < Buffer.size() && IsBlank(Buffer[n])) ++n;
  Buffer.erase(0, n);
}

// A plain decimal number with an optional sign; the prefixes that make the
// standard conversion read hexadecimal are refused.
bool TryDecimalToInt64(const std::string& Text, int64_t& Value) {
  return Text.find_first_of("$xX") == std::string::npos && TryStrToInt64(Text, Value);
}

bool OnlyBlanksAndTabs(const std::string& Line) { return Line.find_first_not_of(" \t") == std::string::npos; }

int YearOf(TDateTime AValue) {
  int year = 0;
  int month = 0;
  int day = 0;
  DecodeDate(AValue, year, month, day);
  return year;
}

// The MS-DOS date, such as 02/14/03 (month, day, year), its two-digit year
// taken into the century of ACurrentYear. The separator is the first
// non-digit; a missing field reads as 0, which makes the date invalid.
bool TryDosDate(const std::string& Text, int ACurrentYear, TDateTime& Value) {
  std::string rest = Text;
  std::string sep;
  for (char c : Text) {
    if (!IsDigitChar(c)) {
      sep.assign(1, c);
      break;
    }
  }
  const int month = StrToIntDef(Trim(CutToken(rest, sep)), 0);
  const int day = StrToIntDef(Trim(CutToken(rest, sep)), 0);
  const int year = ExpandTwoDigitYear(StrToIntDef(Trim(CutToken(rest, sep)), 0), ACurrentYear);
  return TryEncodeDate(year, month, day, Value);
}

// The MS-DOS time of day, such as 03:37PM or 11:05AM; 12:05AM is 00:05 and
// 12:05PM is 12:05.
bool TryDosTime(const std::string& Text, TDateTime& Value) {
  std::string rest = UpperCase(Text);
  bool pm = false;
  bool am = false;
  size_t at = rest.find("PM");
  if (at != std::string::npos) {
    pm = true;
    rest.erase(at);
  }
  at = rest.find("AM");
  if (at != std::string::npos) {
    am = true;
    rest.erase(at);
  }
  rest = Trim(rest);
  std::string sep;
  for (char c : Text) {
    if (!IsDigitChar(c)) {
      sep.assign(1, c);
      break;
    }
  }
  int hour = StrToIntDef(CutToken(rest, sep), 0);
  const int minute = StrToIntDef(CutToken(rest, sep), 0);
  if (pm && hour < 12) hour += 12;
  if (am && hour == 12) hour = 0;
  const int second = StrToIntDef(CutToken(rest, sep), 0);
  const int millisecond = StrToIntDef(CutToken(rest, sep), 0);
  return TryEncodeTime(hour, minute, second, millisecond, Value);
}

}  // namespace

// ---------------------------------------------------------------------------

bool IsUnixPermissions(const std::string& AUpperLine) {
  static const char* const kAllowed[10] = {"-BCDLPS", "-RSTWX", "-ARSTWX", "-RSTWX",  "-HRSTWX",
                                           "-RSTWX",  "-RSTWXY", "-ARSTWX", "-RSTWX", "-RSTWX"};
  if (AUpperLine.size() < 10) return false;
  for (size_t i = 0; i < 10; ++i) {
    const char c = AUpperLine[i];
    if (c == '\0' || std::string_view(kAllowed[i]).find(c) == std::string_view::npos) return false;
  }
  return true;
}

bool IsListingTotalLine(TNetFTPListFormat AFormat, const std::string& ALine) {
  return AFormat == flfUnix && StartsText("TOTAL", ALine);
}

TNetFTPListItem& TNetFTPListItems::AddEntry() {
  FItems.push_back(std::make_unique<TNetFTPListItem>());
  return *FItems.back();
}

TNetFTPListItem& TNetFTPListItems::Items(int64_t Index) {
  if (Index < 0 || Index >= Count()) throw EListError(Index);
  return *FItems[static_cast<size_t>(Index)];
}

const TNetFTPListItem& TNetFTPListItems::Items(int64_t Index) const {
  if (Index < 0 || Index >= Count()) throw EListError(Index);
  return *FItems[static_cast<size_t>(Index)];
}

TNetFTPListFormat TNetFTPListItems::DetectFormat(const std::string& ALine, bool ADetails) {
  if (!ADetails) return flfNoDetails;
  const std::string line = UpperCase(ALine);
  if (IsUnixPermissions(line) || line.starts_with("TOTAL")) return flfUnix;
  if (line.find("DSK:") != std::string::npos) return flfVax;

  // MS-DOS lines have fixed columns:
  //   02-14-03  03:37PM       <DIR>          aspnet_client
  //   06-05-03  03:19PM                 1973 readme.txt
  // "<DIR>" sits in characters 25 to 30, a size is right-aligned to character 38.
  const char c3 = CharAt(line, 3);
  const char c6 = CharAt(line, 6);
  if ((c3 != '-' && c3 != '/') || (c6 != '-' && c6 != '/')) return flfUnknown;
  const std::string dirField = Trim(Range(line, 25, 30));
  if (dirField == "<DIR>") return flfDos;
  // A size of nine digits or more reaches back into the directory columns
  // ("06-05-03  03:19PM            123456789 big.iso"), so the size is read
  // from characters 25 to 38 together.
  const std::string sizeField = ReplaceAll(Trim(Range(line, 25, 38)), ",", "");
  int64_t size = 0;
  if (TryDecimalToInt64(sizeField, size) && size != -1) return flfDos;
  return flfUnknown;
}

void TNetFTPListItems::LoadFromLines(const TStringList& Lines, TDateTime AReferenceDate) {
  Clear();
  size_t first = 0;
  if (!Lines.empty() && IsListingTotalLine(ListingFormat, Lines[0])) first = 1;
  for (size_t i = first; i < Lines.size(); ++i) {
    if (OnlyBlanksAndTabs(Lines[i])) continue;
    if (ListingFormat == flfMachine) {
      // The folder itself and its parent are no entries of it.
      if (IsSelfOrUpFactsLine(Lines[i])) continue;
    }
    TNetFTPListItem& entry = AddEntry();
    entry.RawLine = Lines[i];
    if (ListingFormat == flfNone) continue;
    try {
      ParseLine(ListingFormat, entry, AReferenceDate);
    } catch (...) {
      // One unreadable line throws away what was read so far; the listing
      // still loads quietly from the lines after it.
      Clear();
    }
  }
}

void TNetFTPListItems::ParseLine(TNetFTPListFormat ALayout, TNetFTPListItem& Entry, TDateTime AReferenceDate) {
  switch (ALayout) {
    case flfNone:
      break;
    case flfDos:
      ParseDosLine(Entry, AReferenceDate);
      break;
    case flfUnix:
      ParseUnixLine(Entry, true, AReferenceDate);
      break;
    case flfVax:
      ParseUnixLine(Entry, false, AReferenceDate);
      break;
    case flfNoDetails:
      Entry.ItemName = Trim(Entry.RawLine);
      break;
    case flfCustom:
      ParseCustomLine(Entry);
      break;
    case flfMachine:
      if (ReadFactsLine(Entry.RawLine, Entry) != flEntry) throw ENetInvalidFTPListingFormat();
      break;
    case flfUnknown:
    default:
      throw ENetInvalidFTPListingFormat();
  }
}

void TNetFTPListItems::ParseCustomLine(TNetFTPListItem& Entry) {
  if (!OnParseCustomListFormat) throw ENetInvalidFTPListingFormat();
  OnParseCustomListFormat(Entry);
}

void TNetFTPListItems::LoadListing(const TStringList& Lines, TNetBaseComponent* ASender,
                                   const TNetCheckListFormat& OnCheckListFormat, TDateTime AReferenceDate) {
  Clear();
  if (Lines.empty()) return;
  // Only the first line is examined, with details assumed even after "NLST".
  TNetFTPListFormat format = DetectFormat(Lines[0], true);
  if (OnCheckListFormat) OnCheckListFormat(ASender, Lines[0], format);
  ListingFormat = format;
  if (format == flfUnix || format == flfVax || format == flfDos || format == flfUnknown)
    ReadListing(Lines, AReferenceDate);
  else
    LoadFromLines(Lines, AReferenceDate);
}

namespace {

bool SameMinute(TDateTime A, TDateTime B) {
  // Both readings stamp a time without seconds at 999 ms: equal values are
  // the common case.
  if (A == B) return true;
  int y1, m1, d1, h1, n1, s1, ms1, y2, m2, d2, h2, n2, s2, ms2;
  DecodeDate(A, y1, m1, d1);
  DecodeTime(A, h1, n1, s1, ms1);
  DecodeDate(B, y2, m2, d2);
  DecodeTime(B, h2, n2, s2, ms2);
  return y1 == y2 && m1 == m2 && d1 == d2 && h1 == h2 && n1 == n2;
}

bool SameEntry(const TNetFTPListItem& A, const TNetFTPListItem& B) {
  return A.EntryKind == B.EntryKind && A.ByteSize == B.ByteSize && A.ItemName == B.ItemName &&
         A.LinkTarget == B.LinkTarget && SameMinute(A.ModifiedAt, B.ModifiedAt);
}

}  // namespace

void TNetFTPListItems::ReadListing(const TStringList& Lines, TDateTime AReferenceDate) {
  if (ListingFormat != flfUnix && ListingFormat != flfVax && ListingFormat != flfDos &&
      ListingFormat != flfUnknown && ListingFormat != flfMachine) {
    LoadFromLines(Lines, AReferenceDate);
    return;
  }
  Clear();
  FItems.reserve(Lines.size());
  // The entries are read into local ones and moved into the listing: a
  // listing of 100,000 lines copies no line twice.
  auto keep = [this](TNetFTPListItem& AEntry) { FItems.push_back(std::make_unique<TNetFTPListItem>(std::move(AEntry))); };
  size_t first = 0;
  if (!Lines.empty() && IsListingTotalLine(ListingFormat, Lines[0])) first = 1;
  for (size_t i = first; i < Lines.size(); ++i) {
    const std::string& line = Lines[i];
    if (OnlyBlanksAndTabs(line) || IsListingNote(line)) continue;
    if (ListingFormat == flfMachine) {
      TNetFTPListItem facts;
      const TNetFactsLine kind = ReadFactsLine(line, facts);
      if (kind == flSelfOrUp) continue;
      if (kind == flEntry) {
        facts.RawLine = line;
        keep(facts);
        continue;
      }
    }
    TNetFTPListItem byRules;
    byRules.RawLine = line;
    // No rule reads a line of an unknown layout (it would only throw).
    bool ruled = ListingFormat != flfMachine && ListingFormat != flfUnknown;
    try {
      if (ruled) ParseLine(ListingFormat, byRules, AReferenceDate);
    } catch (...) {
      ruled = false;
    }
    TNetFTPListItem loose;
    const bool read = ReadListingLineLoosely(line, loose, AReferenceDate);

    if (ruled && (!read || SameEntry(byRules, loose))) {
      keep(byRules);
    } else if (read) {
      loose.RawLine = std::move(byRules.RawLine);
      keep(loose);
    } else {
      TNetFTPListItem alone;
      alone.RawLine = std::move(byRules.RawLine);
      alone.ItemName = Trim(line);  // a name alone
      keep(alone);
    }
  }
}

// MS-DOS layout: date, time, "<DIR>" or a size, name.
//   02-14-03  03:37PM       <DIR>          aspnet_client
//   06-05-03  03:19PM            1,234,567 setup.exe
void TNetFTPListItems::ParseDosLine(TNetFTPListItem& Entry, TDateTime AReferenceDate) {
  const std::string& line = Entry.RawLine;
  std::string dateText = Range(line, 1, 2) + "/" + Range(line, 4, 5) + "/" + Range(line, 7, 8) + " ";
  std::string rest = Trim(Range(line, 9));
  dateText += TakeWord(rest);

  // A date or time that does not convert leaves the entry undated.
  const std::string dateWord = TakeWord(dateText);
  TDateTime date = 0;
  TDateTime time = 0;
  if (TryDosDate(dateWord, YearOf(AReferenceDate), date) && TryDosTime(dateText, time))
    Entry.ModifiedAt = date + time;
  else
    Entry.ModifiedAt = 0;

  rest = Trim(rest);
  const std::string sizeText = ReplaceAll(TakeWord(rest), ",", "");
  if (UpperCase(sizeText) == "<DIR>") {
    Entry.EntryKind = fekDirectory;
    // "<DIR>" is followed by ten blanks, one of them taken with the word.
    Entry.ItemName = TrimRight(Range(rest, 10));
  } else {
    Entry.EntryKind = fekFile;
    int64_t size = 0;
    Entry.ByteSize = TryDecimalToInt64(sizeText, size) ? size : 0;
    // A size is followed by one blank; a name's own leading blanks are kept.
    Entry.ItemName = TrimRight(rest);
  }
}

// Unix long-listing layout:
//   -rw-r--r--   1 owner    group        1234 Jan 15 12:34 notes.txt
//   drwxr-xr-x   2 owner    group        4096 Dec 31  2002 docs
//   lrwxrwxrwx   1 owner    group          11 Mar  3 10:00 link -> target
//   crw-rw-rw-   1 root     root       1,   3 Jan  1  2000 null
// Some servers leave out the group column; AGroupMayBeMissing allows for that.
void TNetFTPListItems::ParseUnixLine(TNetFTPListItem& Entry, bool AGroupMayBeMissing, TDateTime AReferenceDate) {
  int currentYear = 0;
  int currentMonth = 0;
  int currentDay = 0;
  DecodeDate(AReferenceDate, currentYear, currentMonth, currentDay);

  std::string buffer = Entry.RawLine;
  const std::string permissions = TakeWord(buffer);
  SkipBlanks(buffer);
  const char kind = permissions.empty() ? '\0' : UpperChar(permissions[0]);

  std::string linkCountText;
  std::string owner;
  std::string group;
  std::string word = TakeWord(buffer);
  SkipBlanks(buffer);
  if (!SameText(word, "folder")) {
    // "drwxr-xr-x 0root root ..." : a link count of 0 run into the owner.
    if (word.size() > 3 && word[0] == '0') {
      linkCountText = "0";
      buffer = word.substr(1) + " " + buffer;
    } else {
      linkCountText = word;
    }
    owner = TakeWord(buffer);
    SkipBlanks(buffer);
    group = TakeWord(buffer);
    SkipBlanks(buffer);
  }

  std::string sizeText;
  if (AGroupMayBeMissing && !buffer.empty() && IsAsciiLetter(buffer[0])) {
    // The month follows already: what was read as the group is the size.
    sizeText = group;
    group = owner;
    owner.clear();
  } else {
    word = TakeWord(buffer);
    if (word.find(',') != std::string::npos) {
      // A device: major and minor numbers instead of a size.
      SkipBlanks(buffer);
      TakeWord(buffer);
    } else {
      sizeText = word;
    }
  }
  SkipBlanks(buffer);

  const int month = MonthNumber(TakeWord(buffer));
  SkipBlanks(buffer);
  const int day = StrToIntDef(TakeWord(buffer), currentDay);
  SkipBlanks(buffer);

  // Older entries show the year, recent ones the time of day instead.
  const std::string yearOrTime = TakeWord(buffer);
  int year = 0;
  int hour = 0;
  int minute = 0;
  const size_t colon = yearOrTime.find(':');
  if (colon == std::string::npos) {
    year = StrToIntDef(yearOrTime, currentYear);
  } else {
    year = currentMonth < month ? currentYear - 1 : currentYear;
    hour = StrToIntDef(yearOrTime.substr(0, colon), 0);
    minute = StrToIntDef(yearOrTime.substr(colon + 1), 0);
  }
  // Raises for an impossible date or time before the entry is touched.
  const TDateTime modifiedAt = EncodeDate(year, month, day) + EncodeTime(hour, minute, 0, 999);

  std::string name = std::move(buffer);  // blanks beyond the one delimiter belong to the name
  Entry.EntryKind = kind == 'D' ? fekDirectory : kind == 'L' ? fekSymbolicLink : fekFile;
  Entry.OwnerRights = Range(permissions, 2, 4);
  Entry.GroupRights = Range(permissions, 5, 7);
  Entry.OtherRights = Range(permissions, 8, 10);
  Entry.LinkCount = StrToIntDef(linkCountText, 0);
  Entry.Owner = std::move(owner);
  Entry.Group = std::move(group);
  Entry.ByteSize = StrToInt64Def(sizeText, 0);
  Entry.ModifiedAt = modifiedAt;
  if (Entry.EntryKind == fekSymbolicLink) {
    // A link without " -> " keeps its whole name and no target.
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string::npos) {
      Entry.LinkTarget = name.substr(arrow + 4);
      name.erase(arrow);
    }
  }
  Entry.ItemName = std::move(name);
}
