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
