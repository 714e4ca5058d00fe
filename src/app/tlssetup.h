// How the windows use TLS: the mode kept as FTPTLS in the settings file's
// [Server] section, and the certificates the user has chosen to trust,
// kept beside the settings file, one "host:port SHA256:HEX" line each
// (public data only: fingerprints of server certificates).
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "NetFTP.h"

inline constexpr const char* TLSModeKey = "FTPTLS";
inline constexpr const char* TrustStoreFileName = "TrustedCertificates.txt";

// "off", "auto", "required", "implicit".
std::string TLSModeName(TNetFTPTLSMode AMode);
// The mode a setting names, in any letter case; a missing or unknown value
// is tlsAuto.
TNetFTPTLSMode TLSModeFromSetting(const std::optional<std::string>& AValue);
// The mode in the settings file of this run (auto when there is none).
TNetFTPTLSMode ReadTLSModeSetting();

// The trusted fingerprints, one per host and port.
class TTrustStore {
 public:
  // Reads AFileName; a missing file is an empty store. Lines that are not
  // "host:port SHA256:HEX" are skipped.
  explicit TTrustStore(const QString& AFileName);

  // The stored fingerprint for AHost:APort, if any.
  std::optional<std::string> Fingerprint(const std::string& AHost, int32_t APort) const;
  // Stores (or replaces) the fingerprint and writes the file atomically.
  // Throws EIniFileException "Unable to write to <file name>".
  void Store(const std::string& AHost, int32_t APort, const std::string& AFingerprint);
  // Hands every stored fingerprint to ATrust.
  void ApplyTo(TNetTLSTrust& ATrust) const;

  const std::map<std::string, std::string>& Entries() const { return FEntries; }  // "host:port" -> fingerprint

 private:
  QString FFileName;
  std::map<std::string, std::string> FEntries;
};

// The trust store file of this run, beside the settings file.
QString TrustStorePath();
