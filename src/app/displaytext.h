// Texts that the client window shows: the listing's columns, the trace lines,
// the transfer speed and the time remaining. Plain functions over plain
// values (8-bit text as the network stack hands it over), so that the windows
// only place what these return.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Work modes as the connection layer numbers them.
constexpr int WorkModeRead = 0;
constexpr int WorkModeWrite = 1;

// The separators that dates, times and fractions are shown with (the user's
// locale supplies them; see SystemSeparators in the windows).
struct TDisplaySeparators {
  char Date = '/';
  char Time = ':';
  char Decimal = '.';
};

// ---- Listing columns ----

// One parsed listing entry, reduced to what the columns show.
struct TListingEntryView {
  std::string ItemName;
  int64_t ByteSize = 0;
  bool IsDirectory = false;
  double ModifiedAt = 0;  // days since 30 December 1899, the fraction being the time of day
  std::string Group;
  std::string Owner;
  std::string OwnerRights;
  std::string GroupRights;
  std::string OtherRights;
};

constexpr int ListingColumnCount = 7;
// Name, Size, Type, Modified, Group, User, Permisions.
using TListingColumns = std::array<std::string, ListingColumnCount>;

// Decimal, without grouping.
std::string FormatByteSize(int64_t ASize);
// "Directory" or "File" (links show as files).
std::string FormatEntryKind(bool AIsDirectory);
// "mm/dd/yyyy hh:mm" with the given separators; 24-hour clock. A value
// outside the years 1 to 9999 (or not a number) gives an empty text.
std::string FormatModifiedAt(double ADays, const TDisplaySeparators& ASeparators = {});
// Owner, group and other rights joined without separators.
std::string FormatRights(const std::string& AOwnerRights, const std::string& AGroupRights,
                         const std::string& AOtherRights);
TListingColumns ListingColumnTexts(const TListingEntryView& AEntry, const TDisplaySeparators& ASeparators = {});

// ---- Trace ----

// Cuts traffic data into trace lines: each line ends at a CR, and an LF right
// after that CR belongs to the line end. Data without a CR is one line; an
// LF that arrives alone (its CR came with the previous data) starts the next
// line.
std::vector<std::string> SplitTraceLines(const std::string& AData);

// A "PASS " command in sent data keeps its command word; its argument, up to
// the line end, becomes "***". The password must not reach the trace list.
std::string MaskSentPassword(const std::string& AData);

// True when ">>" first occurs at the second character or later, as in every
// "->> " line: such rows are drawn red, all others blue.
bool IsSentTraceLine(const std::string& ALine);

// ---- Transfer speed and time remaining ----

// The average speed in KB/s since work begin. Only the elapsed time below one
// day counts, and its whole seconds wrap at 65 536 like the 16-bit counter
// they were kept in. While no time has passed the previous speed is kept.
double TransferSpeed(int64_t AElapsedMs, int64_t AWorkCount, double APreviousSpeed);

// "Time remaining hh:mm:ss" (each field at least two wide, space-padded) for
// what is left of AWorkCountMax at ASpeed; the seconds wrap at 65 536. Empty
// while the speed is not above 0.
std::string RemainingTimeText(int64_t AWorkCountMax, int64_t AWorkCount, double ASpeed);

// "<speed with two decimals> KB/s; <remaining>".
std::string SpeedText(double ASpeed, const std::string& ARemaining, char ADecimal = '.');

// "Download speed " or "Uploade speed " followed by ASpeedText.
std::string WorkSpeedText(int AWorkMode, const std::string& ASpeedText);
