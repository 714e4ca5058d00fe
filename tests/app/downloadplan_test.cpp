#include "downloadplan.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct TPlanCase {
  const char* What;
  int64_t RemoteSize;  // -1: the server gave no size
  std::optional<int64_t> LocalSize;
  bool Resumable;  // the copy's record matches the server's file
  TDownloadStart Start;
  int64_t ExpectedBytes;
};

const TPlanCase PlanCases[] = {
    {"no local copy", 1000, std::nullopt, false, dsOverwrite, 1000},
    {"no local copy, empty file", 0, std::nullopt, false, dsOverwrite, 0},
    {"no local copy, no size", -1, std::nullopt, false, dsOverwrite, -1},
    {"shorter copy", 1000, 300, true, dsResume, 700},
    {"empty copy", 1000, 0, true, dsResume, 1000},
    {"copy as long as the file", 1000, 1000, true, dsResume, 0},
    {"shorter copy of another file", 1000, 300, false, dsReplace, 1000},
    {"copy one byte longer", 1000, 1001, false, dsReplace, 1000},
    {"copy of an empty file", 0, 1, false, dsReplace, 0},
    {"copy, no size", -1, 300, false, dsReplace, -1},
    {"copy of a file past 4 GiB", 5LL << 30, 3LL << 30, true, dsResume, 2LL << 30},
    {"copy past 4 GiB, file shorter", 3LL << 30, 5LL << 30, false, dsReplace, 3LL << 30},
};

}  // namespace

TEST(DownloadPlan, StartAndExpectedBytesFromTheSizesAndTheRecord) {
  for (const TPlanCase& Case : PlanCases) {
    const TDownloadPlan Plan = PlanDownload(Case.RemoteSize, Case.LocalSize, Case.Resumable);
    EXPECT_EQ(Plan.Start, Case.Start) << Case.What;
    EXPECT_EQ(Plan.ExpectedBytes, Case.ExpectedBytes) << Case.What;
  }
}
