#include "displaytext.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(ListingColumns, SizeKindAndRights) {
  EXPECT_EQ(FormatByteSize(0), "0");
  EXPECT_EQ(FormatByteSize(1234567), "1234567");  // no grouping
  EXPECT_EQ(FormatByteSize(5368709120LL), "5368709120");
  EXPECT_EQ(FormatEntryKind(true), "Directory");
  EXPECT_EQ(FormatEntryKind(false), "File");
  EXPECT_EQ(FormatRights("rwx", "r-x", "---"), "rwxr-x---");
}

TEST(ListingColumns, ModifiedAtShowsMonthDayYearHoursMinutes) {
  EXPECT_EQ(FormatModifiedAt(0), "12/30/1899 00:00");
  EXPECT_EQ(FormatModifiedAt(45000.5), "03/15/2023 12:00");
  EXPECT_EQ(FormatModifiedAt(45351 + 23.0 / 24 + 59.0 / 1440), "02/29/2024 23:59");
  // A time a hair before midnight rounds to the next day, not to 24:00.
  EXPECT_EQ(FormatModifiedAt(36525.9999999999), "01/01/2000 00:00");
  // Before the epoch the time is the fraction's size: -1.25 is 29 Dec, 06:00.
  EXPECT_EQ(FormatModifiedAt(-1.25), "12/29/1899 06:00");
  EXPECT_EQ(FormatModifiedAt(45000.5, {'.', '-', ','}), "03.15.2023 12-00");
  EXPECT_EQ(FormatModifiedAt(std::nan("")), "");
  EXPECT_EQ(FormatModifiedAt(1e12), "");
}

TEST(ListingColumns, RowTextsInColumnOrder) {
  TListingEntryView Entry;
  Entry.ItemName = "src";
  Entry.ByteSize = 4096;
  Entry.IsDirectory = true;
  Entry.ModifiedAt = 45000.25;
  Entry.Group = "staff";
  Entry.Owner = "ana";
  Entry.OwnerRights = "rwx";
  Entry.GroupRights = "r-x";
  Entry.OtherRights = "r-x";
  const TListingColumns Expected = {"src", "4096", "Directory", "03/15/2023 06:00", "staff", "ana", "rwxr-xr-x"};
  EXPECT_EQ(ListingColumnTexts(Entry), Expected);
}

TEST(TraceLines, SplitAtCarriageReturns) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(SplitTraceLines("PWD\r\n"), Lines{"PWD"});
  EXPECT_EQ(SplitTraceLines("257 \"/\" is cwd\r\n250 ok\r\n"), (Lines{"257 \"/\" is cwd", "250 ok"}));
  // One letter, CR LF, CR LF: the letter, then an empty line.
  EXPECT_EQ(SplitTraceLines("A\r\n\r\n"), (Lines{"A", ""}));
  // The LF of a CR that came with the previous data starts the next line.
  EXPECT_EQ(SplitTraceLines("220 hello\r"), Lines{"220 hello"});
  EXPECT_EQ(SplitTraceLines("\n230 ok\r\n"), Lines{"\n230 ok"});
  EXPECT_EQ(SplitTraceLines("no line end"), Lines{"no line end"});
  EXPECT_EQ(SplitTraceLines("a\nb"), Lines{"a\nb"});  // LF alone does not end a line
  EXPECT_EQ(SplitTraceLines("a\r\rb"), (Lines{"a", "", "b"}));
  EXPECT_TRUE(SplitTraceLines("").empty());
}

TEST(TraceLines, PasswordIsMasked) {
  EXPECT_EQ(MaskSentPassword("PASS #7204kq63*\r\n"), "PASS ***\r\n");
  EXPECT_EQ(MaskSentPassword("USER ana\r\nPASS s3cret\r\nTYPE I\r\n"), "USER ana\r\nPASS ***\r\nTYPE I\r\n");
  EXPECT_EQ(MaskSentPassword("pass lower\r\n"), "pass ***\r\n");
  EXPECT_EQ(MaskSentPassword("PASS no line end"), "PASS ***");
  EXPECT_EQ(MaskSentPassword("PASS \r\n"), "PASS ***\r\n");
  // Only the command word at a line start counts.
  EXPECT_EQ(MaskSentPassword("SITE PASS x\r\n"), "SITE PASS x\r\n");
  EXPECT_EQ(MaskSentPassword("PASSIVE\r\n"), "PASSIVE\r\n");
  EXPECT_EQ(MaskSentPassword("PASV\r\n"), "PASV\r\n");
}

TEST(TraceLines, SentLinesAreTheOnesWithArrowsAfterTheFirstCharacter) {
  EXPECT_TRUE(IsSentTraceLine("->> PWD"));
  EXPECT_TRUE(IsSentTraceLine("a>>"));
  EXPECT_FALSE(IsSentTraceLine("<<- 220 ready"));
  EXPECT_FALSE(IsSentTraceLine("Connected."));
  EXPECT_FALSE(IsSentTraceLine(">> at the start"));
  EXPECT_FALSE(IsSentTraceLine(">>x>>"));  // the first occurrence decides
  EXPECT_FALSE(IsSentTraceLine(""));
}

TEST(TransferSpeed, AverageSinceWorkBegin) {
  EXPECT_DOUBLE_EQ(TransferSpeed(2000, 20480, 0), 10.0);
  EXPECT_DOUBLE_EQ(TransferSpeed(1500, 1536, 0), 1.0);
  // No time passed yet: the speed keeps its value.
  EXPECT_DOUBLE_EQ(TransferSpeed(0, 20480, 7.5), 7.5);
  // Whole seconds wrap at 65 536 and only the part below one day counts.
  EXPECT_DOUBLE_EQ(TransferSpeed((65536 + 2) * 1000LL, 20480, 0), 10.0);
  EXPECT_DOUBLE_EQ(TransferSpeed(86400000LL + 2000, 20480, 0), 10.0);
}

TEST(TransferSpeed, TimeRemaining) {
  EXPECT_EQ(RemainingTimeText(3725 * 1024, 0, 1.0), "Time remaining  1: 2: 5");
  EXPECT_EQ(RemainingTimeText(2 * 3725 * 1024 + 100, 100, 2.0), "Time remaining  1: 2: 5");
  EXPECT_EQ(RemainingTimeText(100, 0, 0), "");
  // The seconds keep their low 16 bits, also below zero.
  EXPECT_EQ(RemainingTimeText((65536 + 5) * 1024LL, 0, 1.0), "Time remaining  0: 0: 5");
  EXPECT_EQ(RemainingTimeText(0, 1024, 1.0), "Time remaining 18:12:15");
  // Absurd values give some text, never undefined behaviour.
  EXPECT_FALSE(RemainingTimeText(std::numeric_limits<int64_t>::max(), 0, 1e-300).empty());
}

TEST(TransferSpeed, SpeedAndStatusTexts) {
  EXPECT_EQ(SpeedText(10, ""), "10.00 KB/s; ");
  EXPECT_EQ(SpeedText(10, "Time remaining  0: 0: 1"), "10.00 KB/s; Time remaining  0: 0: 1");
  EXPECT_EQ(SpeedText(1234567.891, "", ','), "1234567,89 KB/s; ");
  EXPECT_EQ(SpeedText(0, ""), "0.00 KB/s; ");
  EXPECT_EQ(WorkSpeedText(WorkModeRead, "x"), "Download speed x");
  EXPECT_EQ(WorkSpeedText(WorkModeWrite, "x"), "Uploade speed x");
}
