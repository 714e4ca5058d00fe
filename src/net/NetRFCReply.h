// A numeric reply of a line-oriented Internet protocol (RFC 959 style):
// "nnn text" on one line, or "nnn-text" ... "nnn text" on several.
#pragma once

#include <cstdint>
#include <string>

#include "NetBaseComponent.h"
#include "NetText.h"

class TNetRFCReply : public TNetPersistent {
 public:
  std::string ClassName() const override { return "TNetRFCReply"; }

  // A value above 0 also sets TextCode to its decimal text.
  int32_t NumericCode() const { return FNumericCode; }
  void SetNumericCode(int32_t AValue);

  // A non-empty value also sets NumericCode (0 when it is not a number).
  const std::string& TextCode() const { return FTextCode; }
  void SetTextCode(const std::string& AValue);

  // The reply's text lines, code and separator removed.
  TStringList Text;

  // TextCode alone when Text is empty, else TextCode, a blank and the first line.
  std::string DisplayName() const;

  void ClearReply();
  // Fills the reply from the raw lines of one reply.
  void ParseLines(const TStringList& Lines);

  // Copies another reply as it is (without the setters' side effects); any
  // other class is refused.
  void Assign(const TNetPersistent& Source) override;

 private:
  int32_t FNumericCode = 0;
  std::string FTextCode;
};
