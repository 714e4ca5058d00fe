// Checking the certificate of a TLS server: the chain against the system's
// store and the CA file, the name (DNS name or IP address) and the validity
// dates, with the fingerprints the caller trusts as the one way past a
// failed check. Used by the TLS I/O handler only; this header brings in the
// TLS library's types.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <set>
#include <string>

#include "NetTLSTrust.h"

// What the verification of one handshake found. Filled by the verify
// callback below.
struct TNetCertificateCheck {
  std::set<TNetCertificateProblem> Problems;
  std::string OtherProblem;  // the library's text for a cpOther problem
};

// Ties the record to the SSL object, for the verify callback.
void AttachCertificateCheck(SSL* ASSL, TNetCertificateCheck* ACheck);

// Makes the handshake check the certificate against AHost: a DNS name (also
// sent as the server name) or an IP address.
void ExpectPeerName(SSL* ASSL, const std::string& AHost);

// The verify callback: records every problem in the TNetCertificateCheck
// attached to the SSL object, and lets the handshake go on,
// so that the decision (and its message) is taken afterwards in one place.
int RecordCertificateProblems(int AOk, X509_STORE_CTX* AStore);

// The problem an X509_V_ERR_* code stands for.
TNetCertificateProblem ProblemOfVerifyError(int ACode);

// "SHA256:" and the 64 hex digits of the certificate's DER form.
std::string CertificateFingerprint(X509* ACertificate);

// After the handshake: returns the peer's fingerprint when its certificate
// verified or its fingerprint is trusted for AHost:APort; raises
// ENetTLSCertificateRefused otherwise.
std::string AcceptPeerCertificate(SSL* ASSL, const TNetCertificateCheck& ACheck, const TNetTLSTrust& ATrust,
                                  const std::string& AHost, int32_t APort);
