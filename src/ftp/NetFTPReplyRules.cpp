#include "NetFTPReplyRules.h"

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

// One byte of the announced port, converted strictly. Its range is not
// checked: "19,300" reads as 19 * 256 + 300.
int32_t PassivePortByte(const std::string& AField) { return StrToInt(AField); }

}  // namespace

TNetFTPHostPort PassiveAddressOfReply(const TStringList& AReplyText) {
  std::string fields = PassiveFields(Trim(FirstLine(AReplyText)));
  TNetFTPHostPort address;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) address.Host += '.';
    address.Host += CutToken(fields, ",");
  }
  const int32_t high = PassivePortByte(CutToken(fields, ","));
  const int32_t low = PassivePortByte(Trim(fields));  // the rest, extra commas included
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
