#include "NetFTPFacts.h"

#include <string_view>
#include <vector>

namespace {

bool ReadDigits(std::string_view Text, int64_t& Value) {
  if (Text.empty() || Text.size() > 18) return false;
  Value = 0;
  for (char c : Text) {
    if (!IsDigitChar(c)) return false;
    Value = Value * 10 + (c - '0');
  }
  return true;
}

// YYYYMMDDHHMMSS[.sss], in UTC.
bool ReadFactTime(std::string_view Text, TDateTime& Value) {
  if (Text.size() < 14) return false;
  int64_t y, mo, d, h, mi, s, ms = 0;
  if (!ReadDigits(Text.substr(0, 4), y) || !ReadDigits(Text.substr(4, 2), mo) || !ReadDigits(Text.substr(6, 2), d) ||
      !ReadDigits(Text.substr(8, 2), h) || !ReadDigits(Text.substr(10, 2), mi) || !ReadDigits(Text.substr(12, 2), s))
    return false;
  if (Text.size() > 14) {
    const std::string_view frac = Text.substr(15);
    if (Text[14] != '.' || frac.empty() || !ReadDigits(frac.substr(0, 3), ms)) return false;
    for (size_t i = frac.size(); i < 3; ++i) ms *= 10;
  }
  return TryUtcToLocal(static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d), static_cast<int>(h),
                       static_cast<int>(mi), static_cast<int>(s > 59 ? 59 : s), static_cast<int>(ms), Value);
}

// The facts of a line that an entry takes, as the line writes them.
struct TFactValues {
  std::string_view Type, Size, Sizd, Modify, Mode, Perm, Owner, OwnerName, Uid, Group, GroupName, Gid;
  size_t NameAt = 0;  // where the name begins
};

// Splits a fact line into its facts, the last of a name standing; false when
// the line is none. The facts run up to the first blank that follows a ";"
// (or that opens the line: no facts at all); a value itself holds no ";".
bool ScanFacts(std::string_view Line, TFactValues& F) {
  size_t p = 0;
  while (p < Line.size() && Line[p] != ' ') {
    const size_t semi = Line.find(';', p);
    if (semi == std::string_view::npos) return false;
    const std::string_view fact = Line.substr(p, semi - p);
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    const std::string_view name = fact.substr(0, eq);
    const std::string_view value = fact.substr(eq + 1);
    std::string_view* slot = nullptr;
    if (SameText(name, "type")) slot = &F.Type;
    else if (SameText(name, "size")) slot = &F.Size;
    else if (SameText(name, "sizd")) slot = &F.Sizd;
    else if (SameText(name, "modify")) slot = &F.Modify;
    else if (SameText(name, "unix.mode")) slot = &F.Mode;
    else if (SameText(name, "perm")) slot = &F.Perm;
    else if (SameText(name, "unix.owner")) slot = &F.Owner;
    else if (SameText(name, "unix.ownername")) slot = &F.OwnerName;
    else if (SameText(name, "unix.uid")) slot = &F.Uid;
    else if (SameText(name, "unix.group")) slot = &F.Group;
    else if (SameText(name, "unix.groupname")) slot = &F.GroupName;
    else if (SameText(name, "unix.gid")) slot = &F.Gid;
    if (slot) *slot = value;
    p = semi + 1;
  }
  if (p >= Line.size() || p + 1 >= Line.size()) return false;  // no blank, or no name after it
  F.NameAt = p + 1;
  return true;
}

bool IsSelfOrUpType(std::string_view AType) { return SameText(AType, "cdir") || SameText(AType, "pdir"); }

}  // namespace

bool TryOctalMode(std::string_view AText, int64_t& AValue) {
  if (AText.size() > 2 && AText[0] == '0' && (AText[1] == 'o' || AText[1] == 'O')) AText.remove_prefix(2);
  if (AText.empty() || AText.size() > 12) return false;
  AValue = 0;
  for (char c : AText) {
    if (c < '0' || c > '7') return false;
    AValue = AValue * 8 + (c - '0');
  }
  return true;
}

void SetRightsOfMode(int64_t AMode, TNetFTPListItem& AEntry) {
  const auto triple = [AMode](int shift, bool special, char setChar) {
    const int bits = static_cast<int>((AMode >> shift) & 7);
    std::string t = {(bits & 4) ? 'r' : '-', (bits & 2) ? 'w' : '-', (bits & 1) ? 'x' : '-'};
    if (special) t[2] = (bits & 1) ? setChar : static_cast<char>(setChar - 32);
    return t;
  };
  AEntry.OwnerRights = triple(6, (AMode & 04000) != 0, 's');
  AEntry.GroupRights = triple(3, (AMode & 02000) != 0, 's');
  AEntry.OtherRights = triple(0, (AMode & 01000) != 0, 't');
}

bool IsSelfOrUpFactsLine(std::string_view ALine) {
  TFactValues facts;
  return ScanFacts(ALine, facts) && IsSelfOrUpType(facts.Type);
}

TNetFactsLine ReadFactsLine(const std::string& ALine, TNetFTPListItem& AEntry) {
  const std::string_view line(ALine);
  TFactValues f;
  if (!ScanFacts(line, f)) return flMalformed;
  if (IsSelfOrUpType(f.Type)) return flSelfOrUp;

  TNetFTPListItem entry;
  const std::string_view type = f.Type;
  if (SameText(type, "dir")) {
    entry.EntryKind = fekDirectory;
  } else if (StartsText("os.unix=slink", type) || StartsText("os.unix=symlink", type) || SameText(type, "link")) {
    entry.EntryKind = fekSymbolicLink;
    const size_t colon = type.find(':');
    if (colon != std::string_view::npos) entry.LinkTarget = std::string(type.substr(colon + 1));
  } else {
    entry.EntryKind = fekFile;
  }
  int64_t number = 0;
  if (ReadDigits(f.Size, number) || (entry.EntryKind == fekDirectory && ReadDigits(f.Sizd, number)))
    entry.ByteSize = number;
  TDateTime modified;
  if (ReadFactTime(f.Modify, modified)) entry.ModifiedAt = modified;
  int64_t bits;
  if (TryOctalMode(f.Mode, bits)) {
    SetRightsOfMode(bits, entry);
  } else if (!f.Perm.empty()) {
    // RFC 3659 permission letters (a, c, d, e, f, l, m, p, r, w) in the owner's column
    entry.OwnerRights = std::string(f.Perm);
    entry.GroupRights.clear();
    entry.OtherRights.clear();
  }
  const std::string_view ownerText = !f.OwnerName.empty() ? f.OwnerName : !f.Owner.empty() ? f.Owner : f.Uid;
  const std::string_view groupText = !f.GroupName.empty() ? f.GroupName : !f.Group.empty() ? f.Group : f.Gid;
  if (!ownerText.empty()) entry.Owner = std::string(ownerText);
  if (!groupText.empty()) entry.Group = std::string(groupText);
  entry.ItemName = std::string(line.substr(f.NameAt));

  entry.RawLine = std::move(AEntry.RawLine);
  AEntry = std::move(entry);
  return flEntry;
}

bool FactOfLine(const std::string& ALine, const std::string& AFact, std::string& AValue) {
  const std::string_view line(ALine);
  size_t p = 0;
  while (p < line.size() && line[p] != ' ') {
    const size_t semi = line.find(';', p);
    if (semi == std::string_view::npos) return false;
    const std::string_view fact = line.substr(p, semi - p);
    const size_t eq = fact.find('=');
    if (eq != std::string_view::npos && SameText(fact.substr(0, eq), AFact)) {
      AValue = std::string(fact.substr(eq + 1));
      return true;
    }
    p = semi + 1;
  }
  return false;
}

bool TryFactTime(const std::string& AText, TDateTime& AValue) { return ReadFactTime(AText, AValue); }

bool TryFactNumber(const std::string& AText, int64_t& AValue) { return ReadDigits(AText, AValue); }

std::string FactsLineOfReply(const TStringList& AText) {
  // The first line is the reply's own text ("Listing notes.txt"); the facts
  // follow on a line of their own, whose leading blank the reply reading
  // may have taken off.
  for (size_t i = 1; i < AText.size(); ++i) {
    const std::string line = AText[i].starts_with(' ') ? AText[i].substr(1) : AText[i];
    TNetFTPListItem probe;
    if (ReadFactsLine(line, probe) != flMalformed) return line;
  }
  return std::string();
}

std::string WantedFactsOfFeature(const std::string& AFeature) {
  static const char* const kShown[] = {"type",       "size",           "sizd",      "modify",         "perm",
                                       "unix.mode",  "unix.owner",     "unix.group", "unix.ownername", "unix.groupname",
                                       "unix.uid",   "unix.gid"};
  std::string rest = Trim(AFeature);
  const std::string word = UpperCase(CutToken(rest, " "));
  if (word != "MLST") return std::string();
  std::string wanted;
  bool gain = false;
  while (!rest.empty()) {
    std::string fact = Trim(CutToken(rest, ";"));
    if (fact.empty()) continue;
    const bool on = fact.back() == '*';
    if (on) fact.pop_back();
    for (const char* shown : kShown) {
      if (SameText(fact, shown)) {
        wanted += fact + ";";
        if (!on) gain = true;
      }
    }
  }
  return gain ? wanted : std::string();
}
