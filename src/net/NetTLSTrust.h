// What a TLS client trusts beyond the system's certificate store: a CA file,
// and per server (host and port) a set of certificate fingerprints that the
// user has accepted although the certificate does not verify. Also the text
// forms of those fingerprints ("SHA256:" and 64 hex digits). Nothing here
// does I/O or needs the TLS library.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// "SHA256:" followed by the 64 upper-case hex digits of the 32 bytes.
std::string FormatFingerprint(const std::vector<uint8_t>& ADigest);

// Reads a fingerprint as a user types it: "SHA256:" (any case) and 64 hex
// digits in either case, colons allowed between them. On success AResult is
// the canonical form of FormatFingerprint. Blanks, other separators, another
// digest name or another length are refused.
bool ParseFingerprint(const std::string& AText, std::string& AResult);

// Why a certificate did not verify; several may hold at once.
enum TNetCertificateProblem : int {
  cpUnknownIssuer,  // the chain does not lead to a trusted authority
  cpWrongName,      // neither a DNS name nor an IP address of it is the host's
  cpExpired,
  cpNotYetValid,
  cpNoCertificate,  // the server sent none
  cpOther,          // any other verification failure (signature, usage, ...)
};

// "unknown issuer, wrong name, expired": the problems in the order of the
// enumeration, each named once; AOther names a cpOther problem.
std::string DescribeCertificateProblems(const std::set<TNetCertificateProblem>& AProblems,
                                        const std::string& AOther = "");

class TNetTLSTrust {
 public:
  // A PEM file of certificate authorities trusted besides the system's store;
  // empty: the system's store alone.
  std::string CAFile;

  // Accepts a certificate with this fingerprint (canonical form, see
  // ParseFingerprint) for this host and port, whether or not it verifies.
  void TrustFingerprint(const std::string& AHost, int32_t APort, const std::string& AFingerprint);
  bool IsTrusted(const std::string& AHost, int32_t APort, const std::string& AFingerprint) const;
  void ClearFingerprints() { FFingerprints.clear(); }

 private:
  static std::string Key(const std::string& AHost, int32_t APort);
  std::map<std::string, std::set<std::string>> FFingerprints;  // "host:port" -> fingerprints
};
