#include "NetTLSTrust.h"

#include <cctype>

#include "NetText.h"

namespace {
constexpr const char* kDigestPrefix = "SHA256:";
constexpr size_t kDigestHexDigits = 64;
}  // namespace

std::string FormatFingerprint(const std::vector<uint8_t>& ADigest) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text = kDigestPrefix;
  for (uint8_t b : ADigest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}

bool ParseFingerprint(const std::string& AText, std::string& AResult) {
  const std::string prefix = kDigestPrefix;
  if (AText.size() < prefix.size() || UpperCase(AText.substr(0, prefix.size())) != prefix) return false;
  std::string digits;
  bool lastWasColon = true;  // no colon right after the prefix, none doubled
  for (size_t i = prefix.size(); i < AText.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    if (c == ':') {
      if (lastWasColon) return false;
      lastWasColon = true;
      continue;
    }
    if (!std::isxdigit(c)) return false;
    digits += static_cast<char>(std::toupper(c));
    lastWasColon = false;
  }
  if (lastWasColon || digits.size() != kDigestHexDigits) return false;
  AResult = prefix + digits;
  return true;
}

std::string DescribeCertificateProblems(const std::set<TNetCertificateProblem>& AProblems,
                                        const std::string& AOther) {
  std::string text;
  for (TNetCertificateProblem p : AProblems) {
    std::string name;
    switch (p) {
      case cpUnknownIssuer: name = "unknown issuer"; break;
      case cpWrongName: name = "wrong name"; break;
      case cpExpired: name = "expired"; break;
      case cpNotYetValid: name = "not yet valid"; break;
      case cpNoCertificate: name = "no certificate"; break;
      case cpOther: name = AOther.empty() ? "not valid" : AOther; break;
    }
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

std::string TNetTLSTrust::Key(const std::string& AHost, int32_t APort) {
  return LowerCase(AHost) + ":" + std::to_string(APort);
}

void TNetTLSTrust::TrustFingerprint(const std::string& AHost, int32_t APort, const std::string& AFingerprint) {
  std::string canonical;
  FFingerprints[Key(AHost, APort)].insert(ParseFingerprint(AFingerprint, canonical) ? canonical : AFingerprint);
}

bool TNetTLSTrust::IsTrusted(const std::string& AHost, int32_t APort, const std::string& AFingerprint) const {
  const auto it = FFingerprints.find(Key(AHost, APort));
  return it != FFingerprints.end() && it->second.count(AFingerprint) > 0;
}
