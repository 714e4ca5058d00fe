#include "NetFTPListReader.h"

#include <string_view>
#include <vector>

#include "NetFTPFacts.h"

namespace {

// A blank-separated word of a line and where it stands.
struct TWord {
  std::string_view Text;
  size_t Begin;
  size_t End;  // one past its last character
};

bool IsSpace(char C) { return C == ' ' || C == '\t'; }

std::vector<TWord> SplitWords(std::string_view Line) {
  std::vector<TWord> words;
  words.reserve(16);  // one allocation for the words of a listing line
  size_t i = 0;
  while (i < Line.size()) {
    while (i < Line.size() && IsSpace(Line[i])) ++i;
    if (i == Line.size()) break;
    const size_t begin = i;
    while (i < Line.size() && !IsSpace(Line[i])) ++i;
    words.push_back({Line.substr(begin, i - begin), begin, i});
  }
  return words;
}

bool AllDigits(std::string_view Text) {
  if (Text.empty()) return false;
  for (char c : Text)
    if (!IsDigitChar(c)) return false;
  return true;
}

// A plain decimal number of at most 18 digits (no sign, no prefix).
bool ReadNumber(std::string_view Text, int64_t& Value) {
  if (!AllDigits(Text) || Text.size() > 18) return false;
  Value = 0;
  for (char c : Text) Value = Value * 10 + (c - '0');
  return true;
}

// 1,234,567 or 1.234.567 (grouped in threes) or a plain number.
bool ReadGroupedNumber(std::string_view Text, int64_t& Value) {
  if (ReadNumber(Text, Value)) return true;
  if (Text.size() < 5) return false;
  const char sep = Text[Text.size() - 4];
  if (sep != ',' && sep != '.') return false;
  std::string digits;
  size_t group = 0;
  for (size_t i = Text.size(); i-- > 0;) {
    if (Text[i] == sep) {
      if (group != 3) return false;
      group = 0;
    } else if (IsDigitChar(Text[i])) {
      digits.insert(digits.begin(), Text[i]);
      ++group;
    } else {
      return false;
    }
  }
  return group >= 1 && group <= 3 && ReadNumber(digits, Value);
}

// Month names that "ls" prints under other languages than English, lower
// case, without a trailing period; accented ones in UTF-8 and in Latin-1.
struct TMonthName {
  std::string_view Name;  // lengths known at compile time: most words differ in length
  int Month;
};
constexpr TMonthName kMonthNames[] = {
    // German (Austria: "Jän"), Dutch, Scandinavian
    {"j\xc3\xa4n", 1}, {"j\xe4n", 1}, {"m\xc3\xa4r", 3}, {"m\xe4r", 3}, {"m\xc3\xa4rz", 3}, {"m\xe4rz", 3},
    {"mai", 5}, {"juni", 6}, {"juli", 7}, {"okt", 10}, {"dez", 12}, {"mrt", 3}, {"mei", 5}, {"maj", 5}, {"des", 12},
    // French
    {"janv", 1}, {"f\xc3\xa9vr", 2}, {"f\xe9vr", 2}, {"f\xc3\xa9v", 2}, {"f\xe9v", 2}, {"mars", 3}, {"avr", 4},
    {"juin", 6}, {"juil", 7}, {"ao\xc3\xbbt", 8}, {"ao\xfbt", 8}, {"sept", 9}, {"d\xc3\xa9" "c", 12},
    {"d\xe9" "c", 12},
    // Spanish, Portuguese, Italian
    {"ene", 1}, {"abr", 4}, {"ago", 8}, {"dic", 12}, {"fev", 2}, {"set", 9}, {"out", 10}, {"gen", 1}, {"mag", 5},
    {"giu", 6}, {"lug", 7}, {"ott", 10},
    // Polish
    {"sty", 1}, {"lut", 2}, {"kwi", 4}, {"cze", 6}, {"lip", 7}, {"sie", 8}, {"wrz", 9}, {"pa\xc5\xba", 10},
    {"lis", 11}, {"gru", 12},
    // Turkish (UTF-8; "Şub" is not lowered with the ASCII letters)
    {"oca", 1}, {"\xc5\x9f" "ub", 2}, {"\xc5\x9e" "ub", 2}, {"nis", 4}, {"haz", 6}, {"tem", 7},
    {"a\xc4\x9fu", 8}, {"eyl", 9}, {"eki", 10}, {"kas", 11}, {"ara", 12},
    // Russian (UTF-8)
    {"\xd1\x8f\xd0\xbd\xd0\xb2", 1}, {"\xd1\x84\xd0\xb5\xd0\xb2", 2}, {"\xd0\xbc\xd0\xb0\xd1\x80", 3},
    {"\xd0\xb0\xd0\xbf\xd1\x80", 4}, {"\xd0\xbc\xd0\xb0\xd1\x8f", 5}, {"\xd0\xbc\xd0\xb0\xd0\xb9", 5},
    {"\xd0\xb8\xd1\x8e\xd0\xbd", 6}, {"\xd0\xb8\xd1\x8e\xd0\xbb", 7}, {"\xd0\xb0\xd0\xb2\xd0\xb3", 8},
    {"\xd1\x81\xd0\xb5\xd0\xbd", 9}, {"\xd0\xbe\xd0\xba\xd1\x82", 10}, {"\xd0\xbd\xd0\xbe\xd1\x8f", 11},
    {"\xd0\xb4\xd0\xb5\xd0\xba", 12},
};

// A time of day: H:MM, HH:MM or HH:MM:SS, with an optional fraction of a
// second (.cc or .fff) after the seconds.
bool ReadClock(std::string_view Text, int& Hour, int& Minute, int& Second, bool& HasSeconds) {
  const size_t c1 = Text.find(':');
  if (c1 == std::string_view::npos || c1 == 0 || c1 > 2) return false;
  int64_t h, m, s = 0;
  if (!ReadNumber(Text.substr(0, c1), h)) return false;
  std::string_view rest = Text.substr(c1 + 1);
  if (rest.size() < 2 || !ReadNumber(rest.substr(0, 2), m)) return false;
  rest.remove_prefix(2);
  HasSeconds = false;
  if (!rest.empty()) {
    if (rest[0] != ':' || rest.size() < 3 || !ReadNumber(rest.substr(1, 2), s)) return false;
    rest.remove_prefix(3);
    HasSeconds = true;
    if (!rest.empty() && (rest[0] != '.' || !AllDigits(rest.substr(1)))) return false;
  }
  if (h > 23 || m > 59 || s > 59) return false;
  Hour = static_cast<int>(h);
  Minute = static_cast<int>(m);
  Second = static_cast<int>(s);
  return true;
}

bool ReadDay(std::string_view Text, int& Day) {
  if (!Text.empty() && Text.back() == '.') Text.remove_suffix(1);
  // "15日" (Japanese, Chinese), "15일" (Korean)
  if (Text.size() > 3 && (Text.ends_with("\xe6\x97\xa5") || Text.ends_with("\xec\x9d\xbc"))) Text.remove_suffix(3);
  int64_t d;
  if (Text.size() > 2 || !ReadNumber(Text, d) || d < 1 || d > 31) return false;
  Day = static_cast<int>(d);
  return true;
}

bool ReadYear(std::string_view Text, int& Year) {
  int64_t y;
  if (Text.size() != 4 || !ReadNumber(Text, y) || y < 1000) return false;
  Year = static_cast<int>(y);
  return true;
}

// What a date column of a Unix line says.
struct TStamp {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  bool HasYear = false;
  bool HasSeconds = false;
};

// Year, or time of day; a time with seconds may have the year after it
// ("14:05:33 2024", as some servers print the full time). Returns the words
// used, 0 for none.
size_t ReadYearOrTime(const std::vector<TWord>& W, size_t I, TStamp& S) {
  if (I >= W.size()) return 0;
  if (ReadYear(W[I].Text, S.Year)) {
    S.HasYear = true;
    return 1;
  }
  if (!ReadClock(W[I].Text, S.Hour, S.Minute, S.Second, S.HasSeconds)) return 0;
  if (S.HasSeconds && I + 1 < W.size() && ReadYear(W[I + 1].Text, S.Year)) {
    S.HasYear = true;
    return 2;
  }
  return 1;
}

// YYYY-MM-DD
bool ReadIsoDate(std::string_view Text, TStamp& S) {
  int64_t y, m, d;
  if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-') return false;
  if (!ReadNumber(Text.substr(0, 4), y) || !ReadNumber(Text.substr(5, 2), m) || !ReadNumber(Text.substr(8, 2), d))
    return false;
  S.Year = static_cast<int>(y);
  S.Month = static_cast<int>(m);
  S.Day = static_cast<int>(d);
  S.HasYear = true;
  return m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

// The date columns of a Unix line starting at word I, in any of the orders
// servers print them; returns the number of words, 0 when none starts there.
//   Mar  1 14:05 | Mar  1  2024 | Mar  1 14:05:33 2024
//   1. Mär 14:05 | 1 mars 2024
//   2024-03-01 14:05 | 2024-03-01 14:05:33.123456789 +0100 | 2024-03-01
//   3月  1 14:05 | 3月 1日 14:05
size_t ReadUnixStamp(const std::vector<TWord>& W, size_t I, TStamp& S) {
  if (I + 1 >= W.size()) return 0;
  S = TStamp();
  if (ReadIsoDate(W[I].Text, S)) {
    size_t used = 1;
    if (I + 1 < W.size() && ReadClock(W[I + 1].Text, S.Hour, S.Minute, S.Second, S.HasSeconds)) {
      ++used;
      // a time zone offset after a full time: +0100, -0500
      if (I + 2 < W.size() && W[I + 2].Text.size() == 5 && (W[I + 2].Text[0] == '+' || W[I + 2].Text[0] == '-') &&
          AllDigits(W[I + 2].Text.substr(1)))
        ++used;
    }
    return used;
  }
  if (I + 2 >= W.size()) return 0;
  const int month = LooseMonthNumber(W[I].Text);
  if (month != 0 && ReadDay(W[I + 1].Text, S.Day)) {
    S.Month = month;
    const size_t n = ReadYearOrTime(W, I + 2, S);
    return n == 0 ? 0 : 2 + n;
  }
  const int month2 = LooseMonthNumber(W[I + 1].Text);
  if (month2 != 0 && ReadDay(W[I].Text, S.Day)) {
    S.Month = month2;
    const size_t n = ReadYearOrTime(W, I + 2, S);
    return n == 0 ? 0 : 2 + n;
  }
  return 0;
}

// The date and time of a stamp; a time of day without a year belongs to the
// last twelve months before the reference date, as in the rules. Minutes-only
// stamps carry 999 ms, as the rules' entries do.
bool StampDate(const TStamp& S, TDateTime AReferenceDate, TDateTime& Value) {
  int refYear, refMonth, refDay;
  DecodeDate(AReferenceDate, refYear, refMonth, refDay);
  const int year = S.HasYear ? S.Year : (refMonth < S.Month ? refYear - 1 : refYear);
  TDateTime date, time;
  if (!TryEncodeDate(year, S.Month, S.Day, date)) return false;
  if (!TryEncodeTime(S.Hour, S.Minute, S.Second, S.HasSeconds ? 0 : 999, time)) return false;
  Value = date + time;
  return true;
}

// The permission word, with an ACL or extended-attribute mark after it:
// "drwxr-xr-x+", "-rw-r--r--@", "-rw-r--r--." (SELinux).
bool IsPermissionWord(std::string_view Word) {
  if (Word.size() < 10 || Word.size() > 11) return false;
  if (Word.size() == 11 && std::string_view("+@.*").find(Word[10]) == std::string_view::npos) return false;
  return IsUnixPermissions(UpperCase(Word.substr(0, 10)));
}

// Splits the words between the link count and the size into owner and group.
// One word is the group (the owner column is missing: the rules read it so);
// two are owner and group; with more, a name holds blanks, and the widest gap
// between words, where "ls" padded the owner column, divides them (the first
// gap when all are alike).
void SplitOwnerGroup(std::string_view Line, const std::vector<TWord>& W, size_t From, size_t To, std::string& Owner,
                     std::string& Group) {
  Owner.clear();
  Group.clear();
  const size_t count = To - From;
  if (count == 0) return;
  if (count == 1) {
    Group = std::string(W[From].Text);
    return;
  }
  size_t split = From + 1;
  size_t widest = 0;
  for (size_t i = From + 1; i < To; ++i) {
    const size_t gap = W[i].Begin - W[i - 1].End;
    if (gap > widest) {
      widest = gap;
      split = i;
    }
  }
  auto joined = [&](size_t a, size_t b) {
    // as the server wrote it, single blanks inside a name kept
    return std::string(Line.substr(W[a].Begin, W[b - 1].End - W[a].Begin));
  };
  Owner = joined(From, split);
  Group = joined(split, To);
}

// The name after the date columns: what follows the one blank after them.
std::string NameAfter(std::string_view Line, size_t End) {
  return End + 1 <= Line.size() ? std::string(Line.substr(End + 1)) : std::string();
}

bool ReadUnixLine(std::string_view Line, const std::vector<TWord>& W, TNetFTPListItem& AEntry,
                  TDateTime AReferenceDate) {
  if (W.size() < 4 || !IsPermissionWord(W[0].Text)) return false;
  // The first place where a size (or a device's "major, minor") is followed
  // by date columns and a name.
  for (size_t i = 2; i < W.size(); ++i) {
    TStamp stamp;
    const size_t used = ReadUnixStamp(W, i, stamp);
    if (used == 0 || i + used >= W.size()) continue;
    int64_t size = 0;
    size_t sizeAt = i - 1;
    const std::string_view before = W[i - 1].Text;
    const size_t comma = before.find(',');
    if (comma != std::string_view::npos) {
      // "8,0" or "8,": a device, major and minor
      if (!AllDigits(before.substr(0, comma))) continue;
      if (comma + 1 == before.size()) continue;
      if (!AllDigits(before.substr(comma + 1))) continue;
    } else if (!ReadNumber(before, size)) {
      continue;
    } else if (i >= 3 && W[i - 2].Text.size() > 1 && W[i - 2].Text.back() == ',' &&
               AllDigits(W[i - 2].Text.substr(0, W[i - 2].Text.size() - 1))) {
      // "8,   0": the major number before the minor
      size = 0;
      sizeAt = i - 2;
    }
    TDateTime modified;
    if (!StampDate(stamp, AReferenceDate, modified)) continue;

    size_t from = 1;
    int64_t links = 0;
    if (sizeAt > 1 && SameText(W[1].Text, "folder")) {
      from = sizeAt;  // Mac servers: "folder" where link count, owner and group go
    } else if (sizeAt > 1 && ReadNumber(W[1].Text, links)) {
      from = 2;
    }
    std::string owner, group;
    SplitOwnerGroup(Line, W, from, sizeAt, owner, group);

    std::string name = NameAfter(Line, W[i + used - 1].End);
    if (Trim(name).empty()) continue;
    const char kind = UpperCase(W[0].Text.substr(0, 1))[0];
    AEntry.EntryKind = kind == 'D' ? fekDirectory : kind == 'L' ? fekSymbolicLink : fekFile;
    AEntry.OwnerRights = std::string(W[0].Text.substr(1, 3));
    AEntry.GroupRights = std::string(W[0].Text.substr(4, 3));
    AEntry.OtherRights = std::string(W[0].Text.substr(7, 3));
    AEntry.LinkCount = links > 0x7fffffff ? 0 : static_cast<int32_t>(links);
    AEntry.Owner = owner;
    AEntry.Group = group;
    AEntry.ByteSize = size;
    AEntry.ModifiedAt = modified;
    AEntry.LinkTarget.clear();
    if (AEntry.EntryKind == fekSymbolicLink) {
      const size_t arrow = name.find(" -> ");
      if (arrow != std::string::npos) {
        AEntry.LinkTarget = name.substr(arrow + 4);
        name.erase(arrow);
      }
    }
    AEntry.ItemName = name;
    return true;
  }
  return false;
}

// MS-DOS date: 03-01-24, 03-01-2024, 03/01/2024 (month first), 2024-03-01,
// 01.03.2024 (day first, as German servers print it).
bool ReadDosDate(std::string_view Text, TDateTime AReferenceDate, TDateTime& Value) {
  if (Text.size() < 6 || Text.size() > 10) return false;
  char sep = 0;
  for (char c : Text)
    if (!IsDigitChar(c)) {
      sep = c;
      break;
    }
  if (sep != '-' && sep != '/' && sep != '.') return false;
  const size_t p1 = Text.find(sep);
  const size_t p2 = Text.find(sep, p1 + 1);
  if (p2 == std::string_view::npos || Text.find(sep, p2 + 1) != std::string_view::npos) return false;
  const std::string_view a = Text.substr(0, p1), b = Text.substr(p1 + 1, p2 - p1 - 1), c = Text.substr(p2 + 1);
  int64_t x, y, z;
  if (!ReadNumber(a, x) || !ReadNumber(b, y) || !ReadNumber(c, z)) return false;
  int year, month, day;
  int refYear, refMonth, refDay;
  DecodeDate(AReferenceDate, refYear, refMonth, refDay);
  if (a.size() == 4) {
    year = static_cast<int>(x), month = static_cast<int>(y), day = static_cast<int>(z);
  } else if (c.size() == 2 || c.size() == 4) {
    year = c.size() == 2 ? ExpandTwoDigitYear(static_cast<int>(z), refYear) : static_cast<int>(z);
    if (sep == '.' || (x > 12 && y <= 12)) {
      day = static_cast<int>(x), month = static_cast<int>(y);
    } else {
      month = static_cast<int>(x), day = static_cast<int>(y);
    }
  } else {
    return false;
  }
  return TryEncodeDate(year, month, day, Value);
}

// 03:37PM, 3:37PM, 15:37, 15:37:22; an "AM" or "PM" may stand as a word of
// its own after it. Returns the words used.
size_t ReadDosTime(const std::vector<TWord>& W, size_t I, TDateTime& Value) {
  if (I >= W.size()) return 0;
  std::string text = UpperCase(W[I].Text);
  size_t used = 1;
  int half = 0;  // 1 AM, 2 PM
  if (text.ends_with("AM") || text.ends_with("PM")) {
    half = text.ends_with("AM") ? 1 : 2;
    text.resize(text.size() - 2);
  } else if (I + 1 < W.size() && (SameText(W[I + 1].Text, "AM") || SameText(W[I + 1].Text, "PM"))) {
    half = SameText(W[I + 1].Text, "AM") ? 1 : 2;
    used = 2;
  }
  int hour, minute, second;
  bool hasSeconds;
  if (!ReadClock(text, hour, minute, second, hasSeconds)) return 0;
  if (half != 0) {
    if (hour < 1 || hour > 12) return 0;
    if (half == 2 && hour < 12) hour += 12;
    if (half == 1 && hour == 12) hour = 0;
  }
  return TryEncodeTime(hour, minute, second, 0, Value) ? used : 0;
}

bool ReadDosLine(std::string_view Line, const std::vector<TWord>& W, TNetFTPListItem& AEntry,
                 TDateTime AReferenceDate) {
  TDateTime date, time;
  if (W.size() < 4 || !ReadDosDate(W[0].Text, AReferenceDate, date)) return false;
  const size_t t = ReadDosTime(W, 1, time);
  if (t == 0) return false;
  const size_t k = 1 + t;
  if (k + 1 >= W.size()) return false;
  const std::string upper = UpperCase(W[k].Text);
  int64_t size = 0;
  bool directory = false;
  if (upper == "<DIR>" || upper == "<JUNCTION>" || upper == "<SYMLINKD>") {
    directory = true;
  } else if (!ReadGroupedNumber(W[k].Text, size)) {
    return false;
  }
  // A file name follows its size after one blank, its own leading blanks
  // kept; "<DIR>" is padded to a column, so a folder's name starts at the
  // next word.
  const std::string name = directory ? std::string(Line.substr(W[k + 1].Begin)) : NameAfter(Line, W[k].End);
  if (Trim(name).empty()) return false;
  AEntry.EntryKind = directory ? fekDirectory : fekFile;
  AEntry.ByteSize = size;
  AEntry.ModifiedAt = date + time;
  AEntry.ItemName = TrimRight(name);
  return true;
}

// VMS:  NAME.EXT;VERSION  used[/allocated] blocks  DD-MMM-YYYY  HH:MM[:SS[.cc]]  [GROUP,OWNER]  (rights)
// The size is given in blocks of 512 bytes; a folder is NAME.DIR.
bool ReadVmsLine(const std::vector<TWord>& W, TNetFTPListItem& AEntry) {
  if (W.size() < 4) return false;
  const std::string_view first = W[0].Text;
  const size_t semi = first.rfind(';');
  if (semi == std::string_view::npos || semi == 0 || !AllDigits(first.substr(semi + 1))) return false;
  std::string_view blocks = W[1].Text;
  if (const size_t slash = blocks.find('/'); slash != std::string_view::npos) blocks = blocks.substr(0, slash);
  int64_t used;
  if (!ReadNumber(blocks, used)) return false;
  // DD-MMM-YYYY
  const std::string_view d = W[2].Text;
  const size_t p1 = d.find('-'), p2 = d.rfind('-');
  if (p1 == std::string_view::npos || p1 == p2) return false;
  int day, year;
  if (!ReadDay(d.substr(0, p1), day) || !ReadYear(d.substr(p2 + 1), year)) return false;
  const int month = MonthNumber(d.substr(p1 + 1, p2 - p1 - 1));
  int hour, minute, second;
  bool hasSeconds;
  if (month == 0 || !ReadClock(W[3].Text, hour, minute, second, hasSeconds)) return false;
  TDateTime date, time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, 0, time)) return false;

  std::string name(first.substr(0, semi));
  const bool directory = name.size() > 4 && SameText(std::string_view(name).substr(name.size() - 4), ".DIR");
  if (directory) name.resize(name.size() - 4);
  std::string owner, group;
  for (size_t i = 4; i < W.size(); ++i) {
    const std::string_view w = W[i].Text;
    if (w.size() > 2 && w.front() == '[' && w.back() == ']') {
      const std::string_view uic = w.substr(1, w.size() - 2);
      const size_t comma = uic.find(',');
      if (comma == std::string_view::npos) {
        owner = std::string(uic);
      } else {
        group = std::string(uic.substr(0, comma));
        owner = std::string(uic.substr(comma + 1));
      }
    }
  }
  AEntry.EntryKind = directory ? fekDirectory : fekFile;
  AEntry.ByteSize = used * 512;
  AEntry.ModifiedAt = date + time;
  AEntry.ItemName = name;
  AEntry.Owner = owner;
  AEntry.Group = group;
  return true;
}

// NetWare: kind ("d" or "-"), rights in brackets, owner, size, the date
// columns of a Unix line, and the name in a column of its own.
//   d [R----F--] supervisor            512       Jan 16 18:53    login
//   - [RWCEAFMS] jdoe                 3072       May 22 10:11    budget.wk1
// The rights are NetWare's own (read, write, create, erase, ...), no Unix
// triples, so the entry keeps none.
bool ReadNetWareLine(std::string_view Line, const std::vector<TWord>& W, TNetFTPListItem& AEntry,
                     TDateTime AReferenceDate) {
  if (W.size() < 7 || (W[0].Text != "d" && W[0].Text != "-")) return false;
  const std::string_view rights = W[1].Text;
  if (rights.size() < 3 || rights.front() != '[' || rights.back() != ']') return false;
  int64_t size;
  if (!ReadNumber(W[3].Text, size)) return false;
  TStamp stamp;
  const size_t used = ReadUnixStamp(W, 4, stamp);
  TDateTime modified;
  if (used == 0 || 4 + used >= W.size() || !StampDate(stamp, AReferenceDate, modified)) return false;
  AEntry.EntryKind = W[0].Text == "d" ? fekDirectory : fekFile;
  AEntry.Owner = std::string(W[2].Text);
  AEntry.ByteSize = size;
  AEntry.ModifiedAt = modified;
  AEntry.ItemName = std::string(Line.substr(W[4 + used].Begin));
  return true;
}

// OS/400: owner, size, date (month first), time, object type, name; a
// folder's name ends in "/", which is no part of it.
//   QSYS           77824 02/23/00 15:09:55 *DIR       QSYS.LIB/
//   QPGMR           5120 05/04/26 10:20:00 *STMF      report.csv
// The members of a database file come without owner, size or time:
//                                          *MEM       MYLIB.FILE/MBR1.MBR
bool ReadOs400Line(std::string_view Line, const std::vector<TWord>& W, TNetFTPListItem& AEntry,
                   TDateTime AReferenceDate) {
  auto isType = [](std::string_view AWord) {
    if (AWord.size() < 2 || AWord[0] != '*') return false;
    for (char c : AWord.substr(1))
      if (c < 'A' || c > 'Z') return false;
    return true;
  };
  size_t typeAt;
  TDateTime modified = 0;
  int64_t size = 0;
  if (W.size() == 2 && W[0].Text == "*MEM") {
    typeAt = 0;
  } else {
    TDateTime date, time;
    int hour, minute, second;
    bool hasSeconds;
    if (W.size() < 6 || !ReadNumber(W[1].Text, size) || !ReadDosDate(W[2].Text, AReferenceDate, date) ||
        !ReadClock(W[3].Text, hour, minute, second, hasSeconds) || !isType(W[4].Text) ||
        !TryEncodeTime(hour, minute, second, 0, time))
      return false;
    typeAt = 4;
    modified = date + time;
  }
  std::string name(Line.substr(W[typeAt + 1].Begin));
  const std::string_view type = W[typeAt].Text;
  const bool directory = type == "*DIR" || type == "*FLR" || type == "*LIB" || name.ends_with('/');
  if (name.size() > 1 && name.ends_with('/')) name.pop_back();
  AEntry.EntryKind = directory ? fekDirectory : fekFile;
  if (typeAt != 0) AEntry.Owner = std::string(W[0].Text);
  AEntry.ByteSize = size;
  AEntry.ModifiedAt = modified;
  AEntry.ItemName = name;
  return true;
}

// EPLF: "+" facts separated by commas, a tab, the name.
//   +i8388621.48594,m825718503,r,s280,\tdjb.html
//   +i8388621.50690,m824255907,/,\t514
// "/" a folder, "r" a file that can be fetched, "s" the size, "m" the time
// in seconds since 1970 (UTC), "up" the Unix mode in octal.
bool ReadEplfLine(std::string_view Line, TNetFTPListItem& AEntry) {
  if (Line.size() < 3 || Line[0] != '+') return false;
  const size_t tab = Line.find('\t');
  if (tab == std::string_view::npos || tab + 1 >= Line.size()) return false;
  std::string_view facts = Line.substr(1, tab - 1);
  bool directory = false, file = false;
  int64_t size = 0, seconds = 0;
  bool dated = false;
  int64_t mode = -1;
  while (!facts.empty()) {
    const size_t comma = facts.find(',');
    const std::string_view fact = facts.substr(0, comma);
    facts = comma == std::string_view::npos ? std::string_view() : facts.substr(comma + 1);
    if (fact.empty()) continue;
    if (fact == "/") directory = true;
    else if (fact == "r") file = true;
    else if (fact[0] == 's' && !ReadNumber(fact.substr(1), size)) return false;
    else if (fact[0] == 'm') dated = ReadNumber(fact.substr(1), seconds);
    else if (fact.starts_with("up") && !TryOctalMode(fact.substr(2), mode)) mode = -1;
  }
  if (!directory && !file) return false;
  TDateTime modified = 0;
  if (dated && !TryUnixTimeToLocal(seconds, modified)) modified = 0;
  AEntry.EntryKind = directory ? fekDirectory : fekFile;
  AEntry.ByteSize = size;
  AEntry.ModifiedAt = modified;
  AEntry.ItemName = std::string(Line.substr(tab + 1));
  if (mode >= 0) SetRightsOfMode(mode, AEntry);
  return true;
}

}  // namespace

int LooseMonthNumber(std::string_view AWord) {
  if (!AWord.empty() && AWord.back() == '.') AWord.remove_suffix(1);
  // Month names are short: most words of a line (numbers, names) are
  // turned away before any comparison.
  if (AWord.size() < 3 || AWord.size() > 8) return 0;
  if (IsDigitChar(AWord[0])) {
    // "3月" (Japanese, Chinese), "3월" (Korean)
    if (!AWord.ends_with("\xe6\x9c\x88") && !AWord.ends_with("\xec\x9b\x94")) return 0;
    int64_t n;
    return ReadNumber(AWord.substr(0, AWord.size() - 3), n) && n >= 1 && n <= 12 ? static_cast<int>(n) : 0;
  }
  char buffer[8];
  for (size_t i = 0; i < AWord.size(); ++i) {
    const char c = AWord[i];
    buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  const std::string_view word(buffer, AWord.size());
  static constexpr std::string_view kEnglish[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                     "jul", "aug", "sep", "oct", "nov", "dec"};
  // The first letter turns most candidates away before a comparison.
  if (word.size() == 3)
    for (int i = 0; i < 12; ++i)
      if (word[0] == kEnglish[i][0] && word == kEnglish[i]) return i + 1;
  for (const TMonthName& m : kMonthNames)
    if (word.size() == m.Name.size() && word[0] == m.Name[0] && word == m.Name) return m.Month;
  return 0;
}

bool ReadListingLineLoosely(const std::string& ALine, TNetFTPListItem& AEntry, TDateTime AReferenceDate) {
  const std::string_view line(ALine);
  if (ReadEplfLine(line, AEntry)) return true;
  const std::vector<TWord> words = SplitWords(line);
  if (words.empty()) return false;
  // Each reader fills a copy, so that a reader that gives up half-way leaves
  // nothing behind.
  TNetFTPListItem entry;
  if (ReadUnixLine(line, words, entry, AReferenceDate) || ReadDosLine(line, words, entry, AReferenceDate) ||
      ReadVmsLine(words, entry) || ReadNetWareLine(line, words, entry, AReferenceDate) ||
      ReadOs400Line(line, words, entry, AReferenceDate)) {
    AEntry.ByteSize = entry.ByteSize;
    AEntry.LinkCount = entry.LinkCount;
    AEntry.ItemName = std::move(entry.ItemName);
    AEntry.GroupRights = std::move(entry.GroupRights);
    AEntry.Group = std::move(entry.Group);
    AEntry.OwnerRights = std::move(entry.OwnerRights);
    AEntry.Owner = std::move(entry.Owner);
    AEntry.OtherRights = std::move(entry.OtherRights);
    AEntry.ModifiedAt = entry.ModifiedAt;
    AEntry.LinkTarget = std::move(entry.LinkTarget);
    AEntry.EntryKind = entry.EntryKind;
    return true;
  }
  return false;
}

bool IsListingNote(std::string_view ALine) {
  // VMS puts the folder above its entries and the count below them:
  //   Directory DKA100:[ANONYMOUS]
  //   Total of 2 files, 3/6 blocks.
  //   Grand total of 3 directories, 12 files, 40/96 blocks.
  if (ALine.starts_with("Directory ")) {
    const std::string folder = Trim(ALine.substr(10));
    return folder.find(' ') == std::string::npos && folder.find('[') != std::string::npos &&
           folder.ends_with(']');
  }
  return (ALine.starts_with("Total of ") || ALine.starts_with("Grand total of ")) &&
         ALine.find(" file") != std::string_view::npos && ALine.find(" block") != std::string_view::npos;
}
