// The resume record's text and the rule that reads it.
#include "NetFTPResumeRecord.h"

#include <gtest/gtest.h>

TEST(ResumeRecord, TextAndItsReading) {
  const TNetRemoteFileStamp Stamp{3145851, "20240301140500"};
  EXPECT_EQ(ResumeRecordText(Stamp), "remessa resume record\nsize=3145851\nmodified=20240301140500\n");
  EXPECT_EQ(ParseResumeRecord(ResumeRecordText(Stamp)), Stamp);
  // A server without MDTM: the size alone.
  EXPECT_EQ(ParseResumeRecord("remessa resume record\nsize=0\nmodified=\n"), (TNetRemoteFileStamp{0, ""}));
  for (const char* Text : {"", "size=1\nmodified=x\n", "remessa resume record\nsize=\nmodified=x\n",
                           "remessa resume record\nsize=-1\nmodified=x\n", "remessa resume record\nsize=1x\nmodified=x\n",
                           "remessa resume record\nsize= 1\nmodified=x\n", "remessa resume record\nsize=1\n",
                           "remessa resume record\nsize=1\nmodified=x\nmore\n",
                           "remessa resume record\nsize=99999999999999999999\nmodified=x\n"})
    EXPECT_FALSE(ParseResumeRecord(Text)) << Text;
  EXPECT_EQ(ResumeRecordPath("dir/a.bin"), "dir/a.bin.remessa-resume");
}

TEST(ResumeRecord, OnlyACopyWhoseRecordMatchesTheServersFileResumes) {
  const TNetRemoteFileStamp Remote{1000, "20240301140500"};
  const struct {
    const char* What;
    std::optional<TNetRemoteFileStamp> Record;
    int64_t LocalSize;
    bool Resumes;
  } Cases[] = {
      {"matching record", Remote, 300, true},
      {"matching record, empty copy", Remote, 0, true},
      {"matching record, whole copy", Remote, 1000, true},
      {"matching record, copy longer than the file", Remote, 1001, false},
      {"no record", std::nullopt, 300, false},
      {"another time", TNetRemoteFileStamp{1000, "20240301140501"}, 300, false},
      {"another size", TNetRemoteFileStamp{999, "20240301140500"}, 300, false},
  };
  for (const auto& Case : Cases) EXPECT_EQ(RecordAllowsResume(Case.Record, Case.LocalSize, Remote), Case.Resumes) << Case.What;
  // Without MDTM the sizes decide; without a size nothing resumes.
  EXPECT_TRUE(RecordAllowsResume(TNetRemoteFileStamp{1000, ""}, 300, {1000, ""}));
  EXPECT_FALSE(RecordAllowsResume(TNetRemoteFileStamp{-1, ""}, 0, {-1, ""}));
}
