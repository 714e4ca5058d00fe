#include "NetFTPReplyRules.h"

#include "NetExceptions.h"

namespace {

std::string FirstLine(const TStringList& AReplyText) {
  return AReplyText.empty() ? std::string() : AReplyText.front();
}

// The six comma-separated fields of a 227 line: strictly between the first
// "(" and the first ")", or else after the last blank (the whole line
// without one).
std::string PassiveFields(const std::string& ALine) {
  const size_t open = ALine.find('(');
  const size_t close = ALine.find(')');
  if (open != std::string::npos && close != std::string::npos)
    return ALine.substr(open + 1, close > open ? close - open - 1 : 0);
  const int64_t blank = ReversePos(" ", ALine);
  return blank > 0 ? ALine.substr(static_cast<size_t>(blank)) : ALine;
}

// A field is one byte: "19,300" would carry into the other port byte (or,
// above 65535, wrap to another port), so any number outside 0 to 255 is
// refused, with the reply's line.
void CheckByteField(int32_t AValue, const TStringList& AReplyText) {
  if (AValue < 0 || AValue > 255)
    throw ENetProtocolReplyError(227, "Invalid passive mode reply (a field is out of 0 to 255): " +
                                          FirstLine(AReplyText));
}

// One byte of the announced port, converted strictly.
int32_t PassivePortByte(const std::string& AField, const TStringList& AReplyText) {
  const int32_t value = StrToInt(AField);
  CheckByteField(value, AReplyText);
  return value;
}

}  // namespace

TNetFTPHostPort PassiveAddressOfReply(const TStringList& AReplyText) {
  std::string fields = PassiveFields(Trim(FirstLine(AReplyText)));
  TNetFTPHostPort address;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) address.Host += '.';
    const std::string field = CutToken(fields, ",");
    // The address is not used (the data connection goes where the control
    // connection went), but a number in it must be a byte all the same.
    int32_t value;
    if (TryStrToInt(Trim(field), value)) CheckByteField(value, AReplyText);
    address.Host += field;
  }
  const int32_t high = PassivePortByte(CutToken(fields, ","), AReplyText);
  const int32_t low = PassivePortByte(Trim(fields), AReplyText);  // the rest, extra commas included
  address.Port = high * 256 + low;
  return address;
}

std::string QuotedDirectoryOfReply(const TStringList& AReplyText) {
  const std::string line = FirstLine(AReplyText);
  const size_t open = line.find('"');
  const size_t from = open == std::string::npos ? 0 : open + 1;
  std::string path;
  for (size_t i = from; i < line.size(); ++i) {
    // The next quote ends the path, even the first of a doubled pair.
    if (line[i] == '"') return path;
    path += line[i];
  }
  return std::string();  // no closing quote
}

int64_t SizeOfReply(const TStringList& AReplyText) {
  std::string text;
  for (size_t i = 0; i < AReplyText.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += AReplyText[i];
  }
  text = Trim(text);
  const size_t blank = text.find(' ');
  if (blank != std::string::npos) text.erase(0, blank + 1);
  int64_t size;
  return TryStrToInt64(text, size) ? size : -1;
}

TStringList FeaturesOfReply(int32_t ACode, const TStringList& AText) {
  TStringList features;
  if (ACode != 211 || AText.size() < 2) return features;
  // The first line ("Features:") and the last one ("End") frame the list.
  for (size_t i = 1; i + 1 < AText.size(); ++i) {
    const std::string feature = Trim(AText[i]);
    if (!feature.empty()) features.push_back(feature);
  }
  return features;
}

bool ListsFeature(const TStringList& AFeatures, const std::string& AFeature) {
  for (const std::string& line : AFeatures) {
    const size_t blank = line.find(' ');
    if (SameText(blank == std::string::npos ? line : line.substr(0, blank), AFeature)) return true;
  }
  return false;
}

bool TryExtendedPassivePort(const TStringList& AText, int32_t& APort) {
  std::string text;
  for (const std::string& line : AText) {
    if (line.find('(') != std::string::npos) {
      text = line;
      break;
    }
  }
  if (!text.empty()) {
    text.erase(0, text.find('(') + 1);
  } else {
    text = Trim(AText.empty() ? std::string() : AText.front());
    const size_t blank = text.rfind(' ');
    if (blank != std::string::npos) text.erase(0, blank + 1);
  }
  if (text.empty()) return false;
  const char delimiter = text[0];
  // RFC 2428: any character from 33 to 126; a digit would be read as the port.
  if (delimiter < 33 || delimiter > 126 || IsDigitChar(delimiter)) return false;
  size_t at = 0;
  for (int field = 0; field < 2; ++field) {  // network protocol, network address
    at = text.find(delimiter, at + 1);
    if (at == std::string::npos) return false;
  }
  const size_t end = text.find(delimiter, at + 1);
  if (end == std::string::npos) return false;
  const std::string port = text.substr(at + 1, end - at - 1);
  if (port.empty() || port.size() > 5) return false;
  for (char c : port)
    if (!IsDigitChar(c)) return false;
  const int32_t value = std::stoi(port);
  if (value < 1 || value > 65535) return false;
  APort = value;
  return true;
}

std::string ExtendedPortArgument(const std::string& AIP, int32_t APort) {
  std::string ip = AIP.substr(0, AIP.find('%'));
  const std::string mapped = "::ffff:";
  if (ip.size() > mapped.size() && SameText(ip.substr(0, mapped.size()), mapped) &&
      ip.find(':', mapped.size()) == std::string::npos && ip.find('.') != std::string::npos)
    ip.erase(0, mapped.size());
  const char* protocol = ip.find(':') != std::string::npos ? "2" : "1";
  return std::string("|") + protocol + "|" + ip + "|" + std::to_string(APort) + "|";
}

TNetFTPDigestChoice ServerDigestOfFeatures(const TStringList& AFeatures) {
  for (const std::string& line : AFeatures) {
    const size_t blank = line.find(' ');
    if (!SameText(line.substr(0, blank), "HASH") || blank == std::string::npos) continue;
    // "HASH SHA-1;SHA-256*;MD5"
    std::string list = Trim(line.substr(blank + 1));
    std::string current;
    bool sha256 = false, sha1 = false;
    while (!list.empty()) {
      std::string name = Trim(CutToken(list, ";"));
      const bool marked = !name.empty() && name.back() == '*';
      if (marked) name.pop_back();
      if (marked) current = UpperCase(name);
      sha256 = sha256 || SameText(name, "SHA-256");
      sha1 = sha1 || SameText(name, "SHA-1");
    }
    if (!sha256 && !sha1) break;
    const std::string algorithm = sha256 ? "SHA-256" : "SHA-1";
    return {algorithm, "HASH", current == algorithm ? std::string() : "OPTS HASH " + algorithm};
  }
  static const struct {
    const char* Command;
    const char* Algorithm;
  } extensions[] = {{"XSHA256", "SHA-256"}, {"XSHA1", "SHA-1"}, {"XMD5", "MD5"}, {"XCRC", "CRC32"}};
  for (const auto& e : extensions)
    if (ListsFeature(AFeatures, e.Command)) return {e.Algorithm, e.Command, ""};
  return {};
}

std::string DigestOfReply(const TStringList& AText, int AHexLength) {
  std::string words = AText.empty() ? std::string() : AText.front();
  while (!words.empty()) {
    const std::string word = Trim(CutToken(words, " "));
    if (static_cast<int>(word.size()) != AHexLength) continue;
    if (word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
    return LowerCase(word);
  }
  return {};
}

std::string ModifiedTimeOfReply(const TStringList& AText) {
  const std::string text = Trim(AText.empty() ? std::string() : AText.front());
  const std::string stamp = text.substr(0, text.find('.'));
  if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos) return {};
  std::string fraction = stamp.size() < text.size() ? text.substr(stamp.size()) : std::string();
  if (fraction.size() < 2 || fraction.find_first_not_of("0123456789", 1) != std::string::npos) fraction.clear();
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + "T" + stamp.substr(8, 2) + ":" +
         stamp.substr(10, 2) + ":" + stamp.substr(12, 2) + fraction + "Z";
}
