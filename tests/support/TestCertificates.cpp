#include "TestCertificates.h"

#include "Process.h"

#include <cctype>
#include <stdexcept>

namespace {

const char* const Openssl = "/usr/bin/openssl";

void Run(const std::vector<std::string>& argv) {
  ProcessResult r = RunProcess(argv);
  if (r.ExitCode != 0)
    throw std::runtime_error("openssl failed (" + r.Describe() + "): " + r.Err + r.Out);
}

// "sha256 Fingerprint=5B:A5:..." -> "SHA256:5BA5..."
std::string FingerprintOf(const std::string& certFile) {
  ProcessResult r = RunProcess({Openssl, "x509", "-in", certFile, "-noout", "-fingerprint", "-sha256"});
  const size_t eq = r.Out.find('=');
  if (r.ExitCode != 0 || eq == std::string::npos)
    throw std::runtime_error("openssl could not read " + certFile + ": " + r.Err);
  std::string hex;
  for (char c : r.Out.substr(eq + 1))
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return "SHA256:" + hex;
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
  RequireProgram(Openssl, "openssl");
  FCertFile = FDir.File("ca.pem");
  Run({Openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
       FDir.File("ca.key"), "-out", FCertFile, "-days", "30", "-subj", "/CN=" + commonName, "-addext",
       "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
  // "openssl ca" is the one that takes any validity dates (an expired
  // certificate, one not yet valid); it keeps its records in files.
  WriteFile(FDir.File("index.txt"), "");
  WriteFile(FDir.File("serial"), "1000\n");
  WriteFile(FDir.File("ca.cnf"),
            "[ca]\n"
            "default_ca = test_ca\n"
            "[test_ca]\n"
            "database = " + FDir.File("index.txt") + "\n"
            "new_certs_dir = " + FDir.Path() + "\n"
            "certificate = " + FCertFile + "\n"
            "private_key = " + FDir.File("ca.key") + "\n"
            "serial = " + FDir.File("serial") + "\n"
            "default_md = sha256\n"
            "default_days = 30\n"
            "policy = any_name\n"
            "unique_subject = no\n"
            "[any_name]\n"
            "commonName = supplied\n");
}

TestCertificate TestCertificateAuthority::Issue(const std::string& commonName, const std::string& altNames,
                                                const std::string& startDate, const std::string& endDate) {
  const std::string base = FDir.File("server" + std::to_string(++FCount));
  TestCertificate c{base + ".pem", base + ".key", ""};
  Run({Openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", c.KeyFile,
       "-out", base + ".csr", "-subj", "/CN=" + commonName});
  WriteFile(base + ".ext",
            "basicConstraints = CA:FALSE\n"
            "keyUsage = digitalSignature, keyEncipherment\n"
            "extendedKeyUsage = serverAuth\n"
            "subjectAltName = " + altNames + "\n");
  std::vector<std::string> argv = {Openssl, "ca", "-batch", "-notext", "-config", FDir.File("ca.cnf"), "-extfile",
                                   base + ".ext", "-in", base + ".csr", "-out", c.CertFile};
  if (!startDate.empty())
    argv.insert(argv.end(), {"-startdate", startDate});
  if (!endDate.empty())
    argv.insert(argv.end(), {"-enddate", endDate});
  Run(argv);
  c.Fingerprint = FingerprintOf(c.CertFile);
  return c;
}
