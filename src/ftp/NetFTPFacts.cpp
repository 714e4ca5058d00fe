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

std::string RightsOfMode(int64_t Mode, int Shift, bool Special, char SetChar) {
  const int bits = static_cast<int>((Mode >> Shift) & 7);
  std::string t = {(bits & 4) ? 'r' : '-', (bits & 2) ? 'w' : '-', (bits & 1) ? 'x' : '-'};
  if (Special) t[2] = (bits & 1) ? SetChar : static_cast<char>(SetChar - 32);
  return t;
}

// An octal mode: "0644", "644", or as pyftpdlib writes it, "0o644"
// ("type=file;unix.mode=0o644;unix.uid=0; notes.txt").
bool ReadOctal(std::string_view Text, int64_t& Value) {
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'o' || Text[1] == 'O')) Text.remove_prefix(2);
  if (Text.empty() || Text.size() > 12) return false;
  Value = 0;
  for (char c : Text) {
    if (c < '0' || c > '7') return false;
    Value = Value * 8 + (c - '0');
  }
  return true;
}

}  // namespace

TNetFactsLine ReadFactsLine(const std::string& ALine, TNetFTPListItem& AEntry) {
  const std::string_view line(ALine);
  // The facts run up to the first blank that follows a ";" (or that opens
  // the line: no facts at all); a value itself holds no ";".
  std::vector<std::pair<std::string, std::string_view>> facts;
  size_t p = 0;
  while (p < line.size() && line[p] != ' ') {
    const size_t semi = line.find(';', p);
    if (semi == std::string_view::npos) return flMalformed;
    const std::string_view fact = line.substr(p, semi - p);
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos || eq == 0) return flMalformed;
    facts.emplace_back(LowerCase(fact.substr(0, eq)), fact.substr(eq + 1));
    p = semi + 1;
  }
  if (p >= line.size() || p + 1 >= line.size()) return flMalformed;  // no blank, or no name after it

  TNetFTPListItem entry;
  std::string_view type, size, sizd, modify, mode, perm, owner, group;
  std::string_view ownerName, groupName, uid, gid;
  for (const auto& [name, value] : facts) {
    if (name == "type") type = value;
    else if (name == "size") size = value;
    else if (name == "sizd") sizd = value;
    else if (name == "modify") modify = value;
    else if (name == "unix.mode") mode = value;
    else if (name == "perm") perm = value;
    else if (name == "unix.owner") owner = value;
    else if (name == "unix.ownername") ownerName = value;
    else if (name == "unix.uid") uid = value;
    else if (name == "unix.group") group = value;
    else if (name == "unix.groupname") groupName = value;
    else if (name == "unix.gid") gid = value;
  }
  const std::string kind = LowerCase(type);
  if (kind == "cdir" || kind == "pdir") return flSelfOrUp;
  if (kind == "dir") {
    entry.EntryKind = fekDirectory;
  } else if (kind.starts_with("os.unix=slink") || kind.starts_with("os.unix=symlink") || kind == "link") {
    entry.EntryKind = fekSymbolicLink;
    const size_t colon = type.find(':');
    if (colon != std::string_view::npos) entry.LinkTarget = std::string(type.substr(colon + 1));
  } else {
    entry.EntryKind = fekFile;
  }
  int64_t number = 0;
  if (ReadDigits(size, number) || (entry.EntryKind == fekDirectory && ReadDigits(sizd, number)))
    entry.ByteSize = number;
  TDateTime modified;
  if (ReadFactTime(modify, modified)) entry.ModifiedAt = modified;
  int64_t bits;
  if (ReadOctal(mode, bits)) {
    entry.OwnerRights = RightsOfMode(bits, 6, (bits & 04000) != 0, 's');
    entry.GroupRights = RightsOfMode(bits, 3, (bits & 02000) != 0, 's');
    entry.OtherRights = RightsOfMode(bits, 0, (bits & 01000) != 0, 't');
  } else if (!perm.empty()) {
    // RFC 3659 permission letters (a, c, d, e, f, l, m, p, r, w) in the owner's column
    entry.OwnerRights = std::string(perm);
    entry.GroupRights.clear();
    entry.OtherRights.clear();
  }
  const std::string_view ownerText = !ownerName.empty() ? ownerName : !owner.empty() ? owner : uid;
  const std::string_view groupText = !groupName.empty() ? groupName : !group.empty() ? group : gid;
  if (!ownerText.empty()) entry.Owner = std::string(ownerText);
  if (!groupText.empty()) entry.Group = std::string(groupText);
  entry.ItemName = std::string(line.substr(p + 1));

  entry.RawLine = AEntry.RawLine;
  AEntry.Assign(entry);
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
