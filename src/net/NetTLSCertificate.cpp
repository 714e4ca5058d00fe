#include "NetTLSCertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "NetExceptions.h"
#include "NetStack.h"

namespace {
int CheckIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}
}  // namespace

void AttachCertificateCheck(SSL* ASSL, TNetCertificateCheck* ACheck) { SSL_set_ex_data(ASSL, CheckIndex(), ACheck); }

void ExpectPeerName(SSL* ASSL, const std::string& AHost) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ASSL);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (StackInstance->IsIPAddress(AHost)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, AHost.c_str());
  } else {
    SSL_set1_host(ASSL, AHost.c_str());
    SSL_set_tlsext_host_name(ASSL, AHost.c_str());  // the server name, for hosts with several certificates
  }
}

TNetCertificateProblem ProblemOfVerifyError(int ACode) {
  switch (ACode) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return cpWrongName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return cpExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return cpNotYetValid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return cpUnknownIssuer;
    default:
      return cpOther;
  }
}

int RecordCertificateProblems(int AOk, X509_STORE_CTX* AStore) {
  if (AOk) return 1;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(AStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* check = ssl ? static_cast<TNetCertificateCheck*>(SSL_get_ex_data(ssl, CheckIndex())) : nullptr;
  if (check) {
    const int code = X509_STORE_CTX_get_error(AStore);
    const TNetCertificateProblem problem = ProblemOfVerifyError(code);
    check->Problems.insert(problem);
    if (problem == cpOther && check->OtherProblem.empty()) check->OtherProblem = X509_verify_cert_error_string(code);
  }
  return 1;
}

std::string CertificateFingerprint(X509* ACertificate) {
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (X509_digest(ACertificate, EVP_sha256(), digest.data(), &length) != 1) return std::string();
  digest.resize(length);
  return FormatFingerprint(digest);
}

namespace {

// "CN=host, O=Company": the name on one line, as the library prints it.
std::string NameText(const X509_NAME* AName) {
  if (!AName) return std::string();
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return std::string();
  X509_NAME_print_ex(bio, AName, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, length > 0 ? static_cast<size_t>(length) : 0);
  BIO_free(bio);
  return text;
}

// "2026-01-31 12:00:00 UTC".
std::string TimeText(const ASN1_TIME* ATime) {
  struct tm parts = {};
  if (!ATime || ASN1_TIME_to_tm(ATime, &parts) != 1) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

}  // namespace

std::string AcceptPeerCertificate(SSL* ASSL, const TNetCertificateCheck& ACheck, const TNetTLSTrust& ATrust,
                                  const std::string& AHost, int32_t APort) {
  X509* certificate = SSL_get0_peer_certificate(ASSL);
  const std::string server = AHost + ":" + std::to_string(APort);
  if (!certificate) throw ENetTLSCertificateRefused(server, DescribeCertificateProblems({cpNoCertificate}), "none");
  const std::string fingerprint = CertificateFingerprint(certificate);
  std::set<TNetCertificateProblem> problems = ACheck.Problems;
  // A safety net: a failed verification that the callback did not see.
  if (problems.empty() && SSL_get_verify_result(ASSL) != X509_V_OK) problems.insert(cpOther);
  if (problems.empty() || ATrust.IsTrusted(AHost, APort, fingerprint)) return fingerprint;
  ENetTLSCertificateRefused refused(server, DescribeCertificateProblems(problems, ACheck.OtherProblem), fingerprint);
  refused.Host = AHost;
  refused.Port = APort;
  refused.Subject = NameText(X509_get_subject_name(certificate));
  refused.Issuer = NameText(X509_get_issuer_name(certificate));
  refused.ValidFrom = TimeText(X509_get0_notBefore(certificate));
  refused.ValidUntil = TimeText(X509_get0_notAfter(certificate));
  throw refused;
}
