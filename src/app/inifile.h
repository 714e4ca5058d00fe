// Reading and writing one value of an INI file: "[Section]" lines followed by
// "Key=Value" lines. Section and key names match regardless of letter case;
// everything else in the file is kept as it stands.
#pragma once

#include <QString>
#include <optional>
#include <stdexcept>
#include <string>

class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The INI text AText with AKey set to AValue in ASection: an existing key
// line is replaced, a missing key is added after the section's last entry, a
// missing section is added at the end. CR and LF are dropped from the value,
// which must stay on its line. Lines end with LF.
std::string SetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey,
                        const std::string& AValue);

// The value of AKey in ASection of the INI text (blanks around it taken off),
// or ADefault when the section or the key is missing.
std::string GetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey,
                        const std::string& ADefault);

// GetIniValue on the file AFileName; a missing or unreadable file gives
// ADefault.
std::string ReadIniString(const QString& AFileName, const std::string& ASection, const std::string& AKey,
                          const std::string& ADefault);

// Sets the value in the file AFileName (created when missing), writes the
// file to disk and closes it. Throws EIniFileException "Unable to write to
// <file name>" when the file cannot be read back or written.
void WriteIniString(const QString& AFileName, const std::string& ASection, const std::string& AKey,
                    const std::string& AValue);

// The value of AKey in ASection of the INI text AText, blanks around it
// removed; none when the section or the key is missing. The first matching
// key line counts.
std::optional<std::string> GetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey);

// The value from the file AFileName; none also when the file is missing or
// cannot be read.
std::optional<std::string> ReadIniString(const QString& AFileName, const std::string& ASection,
                                         const std::string& AKey);
