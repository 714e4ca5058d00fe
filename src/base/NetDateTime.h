// Date and time values as the listing parser and the displays use them:
// days since 30 December 1899 as a double, the fraction being the time of day.
#pragma once

#include <string>

using TDateTime = double;

// Raise EConvertError "Invalid argument to date encode" / "... time encode"
// for an impossible date or time.
TDateTime EncodeDate(int Year, int Month, int Day);
TDateTime EncodeTime(int Hour, int Minute, int Second, int Millisecond);
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Value);
bool TryEncodeTime(int Hour, int Minute, int Second, int Millisecond, TDateTime& Value);

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime Value, int& Hour, int& Minute, int& Second, int& Millisecond);

// The current local date and time, and today's date alone.
TDateTime Now();
TDateTime Today();
int CurrentYear();

// Two-digit years: a year of 100 or more is kept; otherwise, with the window
// of 50 and the century C of ACurrentYear, a year above 50 becomes
// C - 100 + year and a year of 50 or below C + year.
constexpr int TwoDigitYearCenturyWindow = 50;
int ExpandTwoDigitYear(int Year, int ACurrentYear);

// The local date and time in the locale's short date and long time forms,
// joined by a blank.
std::string DateTimeToStr(TDateTime Value);
