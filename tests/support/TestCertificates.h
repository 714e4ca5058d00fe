// Certificates for TLS tests, made by the test run with the openssl command
// (Debian package openssl): a certificate authority of its own and server
// certificates that it signs, with chosen names and validity dates, so that
// a chain really verifies (or fails for exactly one reason).
//
//   TestCertificateAuthority ca;
//   TestCertificate good = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1");
//   TestCertificate old = ca.Issue("localhost", "IP:127.0.0.1", "20200101000000Z", "20200201000000Z");
//   // client: trust ca.CertFile(); server: good.CertFile / good.KeyFile
//
// Each certificate's Fingerprint comes from "openssl x509 -fingerprint
// -sha256", written "SHA256:" and 64 upper-case hex digits.
#pragma once

#include "TestFiles.h"

#include <string>

struct TestCertificate {
  std::string CertFile;     // PEM, the server's certificate
  std::string KeyFile;      // PEM, its private key
  std::string Fingerprint;  // "SHA256:" + 64 hex digits
};

class TestCertificateAuthority {
public:
  // Throws std::runtime_error (with openssl's output) when openssl fails.
  explicit TestCertificateAuthority(const std::string& commonName = "Remessa Test CA");
  const std::string& CertFile() const { return FCertFile; }
  // altNames: subjectAltName entries, e.g. "DNS:localhost,IP:127.0.0.1".
  // startDate/endDate: "YYYYMMDDHHMMSSZ"; empty: from now for 30 days.
  TestCertificate Issue(const std::string& commonName, const std::string& altNames, const std::string& startDate = "",
                        const std::string& endDate = "");

private:
  TempDir FDir{"remessa-ca"};
  std::string FCertFile;
  int FCount = 0;
};
