#include "NetRFCReply.h"

void TNetRFCReply::SetNumericCode(int32_t AValue) {
  FNumericCode = AValue;
  if (AValue > 0) FTextCode = std::to_string(AValue);
}

void TNetRFCReply::SetTextCode(const std::string& AValue) {
  FTextCode = AValue;
  if (!AValue.empty()) FNumericCode = StrToIntDef(AValue, 0);
}

std::string TNetRFCReply::DisplayName() const {
  if (Text.empty()) return FTextCode;
  return FTextCode + " " + Text.front();
}

void TNetRFCReply::ClearReply() {
  FNumericCode = 0;
  Text.clear();
  FTextCode.clear();
}

void TNetRFCReply::ParseLines(const TStringList& Lines) {
  ClearReply();
  if (Lines.empty()) return;
  const std::string& first = Lines.front();
  std::string code = Trim(first.substr(0, 4));
  if (code.size() == 4 && code[3] == '-') code.resize(3);
  SetTextCode(code);
  Text.push_back(first.size() > 4 ? first.substr(4) : std::string());
  for (size_t i = 1; i < Lines.size(); ++i) {
    const std::string& line = Lines[i];
    if (SameText(line.substr(0, 3), code)) {
      Text.push_back(line.size() > 4 ? line.substr(4) : std::string());
    } else {
      Text.push_back(TrimLeft(line));
    }
  }
}

void TNetRFCReply::Assign(const TNetPersistent& Source) {
  const auto* other = dynamic_cast<const TNetRFCReply*>(&Source);
  if (!other) {
    TNetPersistent::Assign(Source);
    return;
  }
  if (other == this) return;
  ClearReply();
  FNumericCode = other->FNumericCode;
  Text = other->Text;
  FTextCode = other->FTextCode;
}
