// The text forms of certificate fingerprints, the naming of certificate
// problems, and the fingerprints trusted per host and port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetTLSTrust.h"

namespace {
const std::string Hex = "5BA5B76FD52DA502371DBEB8CBD89313B6355CD78354FB4B6D00C38F3B781600";
const std::string Canonical = "SHA256:" + Hex;

std::string WithColons(const std::string& hex) {
  std::string text;
  for (size_t i = 0; i < hex.size(); i += 2) text += (i ? ":" : "") + hex.substr(i, 2);
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

TEST(TLSTrust, ParseFingerprint) {
  struct Case {
    std::string text;
    bool ok;
  };
  const std::vector<Case> cases = {
      {Canonical, true},
      {"sha256:" + Lower(Hex), true},
      {"Sha256:" + WithColons(Hex), true},
      {"SHA256:" + Lower(WithColons(Hex)), true},
      {"SHA256:" + Hex.substr(0, 10) + ":" + Hex.substr(10), true},  // colons anywhere between digits
      {Hex, false},                                                   // no digest name
      {"SHA1:" + Hex, false},
      {"SHA256:" + Hex.substr(1), false},  // 63 digits
      {"SHA256:" + Hex + "0", false},      // 65
      {"SHA256:" + Hex.substr(1) + "G", false},
      {"SHA256: " + Hex, false},
      {"SHA256:" + Hex + " ", false},
      {"SHA256::" + Hex, false},
      {"SHA256:" + Hex + ":", false},
      {"SHA256:" + Hex.substr(0, 2) + "::" + Hex.substr(2), false},
      {"SHA256:" + Hex.substr(0, 2) + "-" + Hex.substr(2), false},
      {"", false},
      {"SHA256:", false},
  };
  for (const Case& k : cases) {
    std::string result = "untouched";
    EXPECT_EQ(ParseFingerprint(k.text, result), k.ok) << k.text;
    EXPECT_EQ(result, k.ok ? Canonical : "untouched") << k.text;
  }
}

TEST(TLSTrust, FormatFingerprint) {
  std::vector<uint8_t> digest(32);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 8 + 1);
  const std::string text = FormatFingerprint(digest);
  EXPECT_EQ(text, "SHA256:0109111921293139414951596169717981899199A1A9B1B9C1C9D1D9E1E9F1F9");
  std::string parsed;
  EXPECT_TRUE(ParseFingerprint(text, parsed));
  EXPECT_EQ(parsed, text);
}

TEST(TLSTrust, DescribeProblems) {
  EXPECT_EQ(DescribeCertificateProblems({cpExpired, cpUnknownIssuer, cpWrongName}),
            "unknown issuer, wrong name, expired");
  EXPECT_EQ(DescribeCertificateProblems({cpNotYetValid}), "not yet valid");
  EXPECT_EQ(DescribeCertificateProblems({cpOther}, "certificate signature failure"), "certificate signature failure");
  EXPECT_EQ(DescribeCertificateProblems({cpOther}), "not valid");
  EXPECT_EQ(DescribeCertificateProblems({cpNoCertificate}), "no certificate");
}

// Fingerprints belong to one host and port; the host's case does not
// matter, the fingerprint is taken in any accepted form.
TEST(TLSTrust, FingerprintsPerHostAndPort) {
  TNetTLSTrust trust;
  EXPECT_FALSE(trust.IsTrusted("ftp.example.org", 21, Canonical));
  trust.TrustFingerprint("FTP.Example.org", 21, "sha256:" + Lower(WithColons(Hex)));
  EXPECT_TRUE(trust.IsTrusted("ftp.example.org", 21, Canonical));
  EXPECT_FALSE(trust.IsTrusted("ftp.example.org", 990, Canonical));
  EXPECT_FALSE(trust.IsTrusted("other.example.org", 21, Canonical));
  EXPECT_FALSE(trust.IsTrusted("ftp.example.org", 21, "SHA256:" + std::string(64, '0')));
  TNetTLSTrust copy = trust;  // the FTP client hands copies to its handlers
  trust.ClearFingerprints();
  EXPECT_FALSE(trust.IsTrusted("ftp.example.org", 21, Canonical));
  EXPECT_TRUE(copy.IsTrusted("ftp.example.org", 21, Canonical));
}
