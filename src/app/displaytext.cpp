#include "displaytext.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t MSecsPerDay = 86400000;

// Days since 1 January 1970 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(int64_t ADays, int64_t& AYear, int& AMonth, int& ADay) {
  ADays += 719468;
  const int64_t Era = (ADays >= 0 ? ADays : ADays - 146096) / 146097;
  const int64_t DayOfEra = ADays - Era * 146097;
  const int64_t YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
  const int64_t DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
  const int64_t MonthIndex = (5 * DayOfYear + 2) / 153;
  ADay = static_cast<int>(DayOfYear - (153 * MonthIndex + 2) / 5 + 1);
  AMonth = static_cast<int>(MonthIndex < 10 ? MonthIndex + 3 : MonthIndex - 9);
  AYear = YearOfEra + Era * 400 + (AMonth <= 2 ? 1 : 0);
}

bool StartsWithNoCase(const std::string& AText, size_t APos, const char* APrefix) {
  for (size_t i = 0; APrefix[i] != '\0'; ++i) {
    if (APos + i >= AText.size()) return false;
    char c = AText[APos + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != APrefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string FormatByteSize(int64_t ASize) { return std::to_string(ASize); }

std::string FormatEntryKind(bool AIsDirectory) { return AIsDirectory ? "Directory" : "File"; }

std::string FormatModifiedAt(double ADays, const TDisplaySeparators& ASeparators) {
  // 1 January 0001 and 31 December 9999 as day numbers.
  if (!std::isfinite(ADays) || ADays < -693593.0 || ADays >= 2958466.0) return "";
  // Rounded to the millisecond first, so 23:59:59.9999 becomes the next day.
  // The date is the whole part toward zero; the time is the fraction's size,
  // also for dates before 30 December 1899.
  const int64_t Total = std::llround(ADays * static_cast<double>(MSecsPerDay));
  const int64_t DayNumber = Total / MSecsPerDay;
  const int64_t TimeOfDay = (Total < 0 ? -Total : Total) % MSecsPerDay;
  int64_t Year = 0;
  int Month = 0;
  int Day = 0;
  CivilFromDays(DayNumber - 25569, Year, Month, Day);  // 25569: 30 Dec 1899 to 1 Jan 1970
  const int Hour = static_cast<int>(TimeOfDay / 3600000);
  const int Minute = static_cast<int>(TimeOfDay / 60000 % 60);
  char Buffer[48];
  std::snprintf(Buffer, sizeof Buffer, "%02d%c%02d%c%04d %02d%c%02d", Month, ASeparators.Date, Day,
                ASeparators.Date, static_cast<int>(Year), Hour, ASeparators.Time, Minute);
  return Buffer;
}

std::string FormatRights(const std::string& AOwnerRights, const std::string& AGroupRights,
                         const std::string& AOtherRights) {
  return AOwnerRights + AGroupRights + AOtherRights;
}

TListingColumns ListingColumnTexts(const TListingEntryView& AEntry, const TDisplaySeparators& ASeparators) {
  return {AEntry.ItemName,
          FormatByteSize(AEntry.ByteSize),
          FormatEntryKind(AEntry.IsDirectory),
          FormatModifiedAt(AEntry.ModifiedAt, ASeparators),
          AEntry.Group,
          AEntry.Owner,
          FormatRights(AEntry.OwnerRights, AEntry.GroupRights, AEntry.OtherRights)};
}

std::vector<std::string> SplitTraceLines(const std::string& AData) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < AData.size()) {
    const size_t Cr = AData.find('\r', Start);
    if (Cr == std::string::npos) {
      Lines.push_back(AData.substr(Start));
      break;
    }
    Lines.push_back(AData.substr(Start, Cr - Start));
    Start = Cr + 1;
    if (Start < AData.size() && AData[Start] == '\n') ++Start;
  }
  return Lines;
}

std::string MaskSentPassword(const std::string& AData) {
  std::string Result;
  Result.reserve(AData.size());
  bool LineStart = true;
  size_t i = 0;
  while (i < AData.size()) {
    if (LineStart && StartsWithNoCase(AData, i, "PASS ")) {
      Result.append(AData, i, 5);
      i += 5;
      while (i < AData.size() && AData[i] != '\r' && AData[i] != '\n') ++i;
      Result += "***";
      LineStart = false;
      continue;
    }
    const char c = AData[i++];
    Result += c;
    LineStart = c == '\r' || c == '\n';
  }
  return Result;
}

bool IsSentTraceLine(const std::string& ALine) {
  const size_t Pos = ALine.find(">>");
  return Pos != std::string::npos && Pos >= 1;
}

double TransferSpeed(int64_t AElapsedMs, int64_t AWorkCount, double APreviousSpeed) {
  const int64_t InDay = (AElapsedMs < 0 ? 0 : AElapsedMs) % MSecsPerDay;
  const int64_t Hours = InDay / 3600000;
  const int64_t Minutes = InDay / 60000 % 60;
  const int64_t Seconds = InDay / 1000 % 60;
  const int64_t MSecs = InDay % 1000;
  const uint16_t WholeSeconds = static_cast<uint16_t>(Minutes * 60 + Seconds + Hours * 3600);
  const double Elapsed = WholeSeconds + MSecs / 1000.0;
  if (Elapsed > 0) return static_cast<double>(AWorkCount) / 1024 / Elapsed;
  return APreviousSpeed;
}

std::string RemainingTimeText(int64_t AWorkCountMax, int64_t AWorkCount, double ASpeed) {
  if (!(ASpeed > 0)) return "";
  const double Left = static_cast<double>(AWorkCountMax - AWorkCount) / 1024 / ASpeed;
  // The low 16 bits of the truncated count, taken without converting a value
  // that may not fit into an integer; fmod of an integral double is exact.
  double Low = std::isfinite(Left) ? std::fmod(std::trunc(Left), 65536.0) : 0.0;
  if (Low < 0) Low += 65536.0;
  const int Remaining = static_cast<int>(Low);
  char Buffer[48];
  std::snprintf(Buffer, sizeof Buffer, "Time remaining %2d:%2d:%2d", Remaining / 3600, Remaining / 60 % 60,
                Remaining % 60);
  return Buffer;
}

std::string SpeedText(double ASpeed, const std::string& ARemaining, char ADecimal) {
  // to_chars does not follow the C locale, which the windowing library sets
  // from the environment; the decimal separator is put in here.
  char Buffer[64];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, ASpeed, std::chars_format::fixed, 2);
  std::string Text = Result.ec == std::errc() ? std::string(Buffer, Result.ptr) : std::string("0.00");
  for (char& c : Text)
    if (c == '.') c = ADecimal;
  return Text + " KB/s; " + ARemaining;
}

std::string WorkSpeedText(int AWorkMode, const std::string& ASpeedText) {
  return (AWorkMode == WorkModeRead ? "Download speed " : "Uploade speed ") + ASpeedText;
}
