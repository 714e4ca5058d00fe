#include "inifile.h"

#include <QFile>
#include <QSaveFile>
#include <vector>

namespace {

std::string Trim(const std::string& AText) {
  const size_t First = AText.find_first_not_of(" \t");
  if (First == std::string::npos) return "";
  const size_t Last = AText.find_last_not_of(" \t");
  return AText.substr(First, Last - First + 1);
}

bool SameText(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    char a = A[i];
    char b = B[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& AText) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < AText.size()) {
    size_t End = AText.find('\n', Start);
    if (End == std::string::npos) End = AText.size();
    std::string Line = AText.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Lines.push_back(std::move(Line));
    Start = End + 1;
  }
  return Lines;
}

bool IsSectionLine(const std::string& ALine) {
  const std::string Text = Trim(ALine);
  return !Text.empty() && Text.front() == '[';
}

bool IsSection(const std::string& ALine, const std::string& ASection) {
  const std::string Text = Trim(ALine);
  return Text.size() >= 2 && Text.front() == '[' && Text.back() == ']' &&
         SameText(Trim(Text.substr(1, Text.size() - 2)), Trim(ASection));
}

bool IsKey(const std::string& ALine, const std::string& AKey) {
  const size_t Equals = ALine.find('=');
  return Equals != std::string::npos && SameText(Trim(ALine.substr(0, Equals)), Trim(AKey));
}

}  // namespace

std::string SetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey,
                        const std::string& AValue) {
  std::string Value;
  for (char c : AValue)
    if (c != '\r' && c != '\n') Value += c;
  const std::string Entry = AKey + "=" + Value;

  std::vector<std::string> Lines = SplitLines(AText);
  size_t Section = 0;
  while (Section < Lines.size() && !IsSection(Lines[Section], ASection)) ++Section;
  if (Section == Lines.size()) {
    Lines.push_back("[" + ASection + "]");
    Lines.push_back(Entry);
  } else {
    size_t LastEntry = Section;
    size_t i = Section + 1;
    for (; i < Lines.size() && !IsSectionLine(Lines[i]); ++i) {
      if (IsKey(Lines[i], AKey)) break;
      if (!Trim(Lines[i]).empty()) LastEntry = i;
    }
    if (i < Lines.size() && !IsSectionLine(Lines[i]))
      Lines[i] = Entry;
    else
      Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(LastEntry) + 1, Entry);
  }

  std::string Result;
  for (const std::string& Line : Lines) Result += Line + "\n";
  return Result;
}

std::string GetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey,
                        const std::string& ADefault) {
  const std::vector<std::string> Lines = SplitLines(AText);
  size_t i = 0;
  while (i < Lines.size() && !IsSection(Lines[i], ASection)) ++i;
  if (i == Lines.size()) return ADefault;
  for (++i; i < Lines.size() && !IsSectionLine(Lines[i]); ++i)
    if (IsKey(Lines[i], AKey)) return Trim(Lines[i].substr(Lines[i].find('=') + 1));
  return ADefault;
}

std::string ReadIniString(const QString& AFileName, const std::string& ASection, const std::string& AKey,
                          const std::string& ADefault) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return ADefault;
  return GetIniValue(File.readAll().toStdString(), ASection, AKey, ADefault);
}

void WriteIniString(const QString& AFileName, const std::string& ASection, const std::string& AKey,
                    const std::string& AValue) {
  const EIniFileException Failure("Unable to write to " + AFileName.toLocal8Bit().toStdString());
  std::string Old;
  QFile Existing(AFileName);
  if (Existing.exists()) {
    // Writing over a file that could not be read would lose its other entries.
    if (!Existing.open(QIODevice::ReadOnly)) throw Failure;
    Old = Existing.readAll().toStdString();
    Existing.close();
  }
  const std::string New = SetIniValue(Old, ASection, AKey, AValue);
  // The new content goes to a temporary file that replaces the old one only
  // once it is complete on disk.
  QSaveFile File(AFileName);
  if (!File.open(QIODevice::WriteOnly)) throw Failure;
  if (File.write(New.data(), static_cast<qint64>(New.size())) != static_cast<qint64>(New.size())) throw Failure;
  if (!File.commit()) throw Failure;
}

std::optional<std::string> GetIniValue(const std::string& AText, const std::string& ASection, const std::string& AKey) {
  const std::vector<std::string> Lines = SplitLines(AText);
  size_t i = 0;
  while (i < Lines.size() && !IsSection(Lines[i], ASection)) ++i;
  for (++i; i < Lines.size() && !IsSectionLine(Lines[i]); ++i)
    if (IsKey(Lines[i], AKey)) return Trim(Lines[i].substr(Lines[i].find('=') + 1));
  return std::nullopt;
}

std::optional<std::string> ReadIniString(const QString& AFileName, const std::string& ASection,
                                         const std::string& AKey) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return std::nullopt;
  return GetIniValue(File.readAll().toStdString(), ASection, AKey);
}
