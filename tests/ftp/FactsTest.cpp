// Machine listings: fact lines of MLSD (RFC 3659 and the servers' own
// spellings) into entries, the fact line of an MLST reply, the facts worth
// switching on from a feature line, and a machine listing loaded whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetFTPFacts.h"

namespace {

// The dates of fact lines are UTC; the entries hold local time.
TDateTime Utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  TDateTime local = 0;
  EXPECT_TRUE(TryUtcToLocal(y, mo, d, h, mi, s, ms, local));
  return local;
}

struct FactCase {
  std::string Line;
  TNetFactsLine Result;
  TNetFTPEntryKind Kind;
  int64_t Size;
  std::string Name;
  std::string Target;
  std::string Owner;
  std::string Group;
  std::string Rights;
  TDateTime Modified;
};

const char* const kNone = "????????";

std::vector<FactCase> Cases() {
  return {
      // pyftpdlib, with the Unix facts switched on
      {"type=file;size=1234;modify=20240301140533;perm=radfw;unix.mode=0644;unix.uid=1000;unix.gid=100; notes.txt",
       flEntry, fekFile, 1234, "notes.txt", "", "1000", "100", "rw-r--r--", Utc(2024, 3, 1, 14, 5, 33)},
      // ProFTPD: odd order, upper-case names, owner and group by name
      {"modify=20231224180000;perm=flcdmpe;type=dir;unique=803U1C6;UNIX.group=staff;UNIX.mode=02775;UNIX.owner=ann; "
       "Shared Files",
       flEntry, fekDirectory, 0, "Shared Files", "", "ann", "staff", "rwxrwsr-x", Utc(2023, 12, 24, 18, 0, 0)},
      // Pure-FTPd: Type in mixed case, a fraction of a second
      {"Type=File;Size=0;Modify=19991231235959.999;Perm=r; y2k", flEntry, fekFile, 0, "y2k", "", kNone, kNone, "r",
       Utc(1999, 12, 31, 23, 59, 59, 999)},
      // names with blanks and semicolons, and a leading blank of the name kept
      {"type=file;size=5; a;b=c; d.txt", flEntry, fekFile, 5, "a;b=c; d.txt", "", kNone, kNone, "?????????", 0},
      {"type=file;size=5;  two blanks", flEntry, fekFile, 5, " two blanks", "", kNone, kNone, "?????????", 0},
      // a link as Unix servers give it
      {"type=OS.unix=slink:/srv/data;size=9;modify=20260101000000; data", flEntry, fekSymbolicLink, 9, "data",
       "/srv/data", kNone, kNone, "?????????", Utc(2026, 1, 1, 0, 0, 0)},
      // a folder's size as "sizd"; names as "unix.ownername"
      {"type=dir;sizd=4096;unix.ownername=root;unix.groupname=wheel;unix.mode=755; etc", flEntry, fekDirectory, 4096,
       "etc", "", "root", "wheel", "rwxr-xr-x", 0},
      // pyftpdlib writes the mode as Python does
      {"modify=20190504102030;perm=radfwMT;size=0;type=file;unix.gid=0;unix.mode=0o640;unix.uid=0;   leading blanks",
       flEntry, fekFile, 0, "  leading blanks", "", "0", "0", "rw-r-----", Utc(2019, 5, 4, 10, 20, 30)},
      // setuid, setgid and sticky bits
      {"type=file;unix.mode=4755; su", flEntry, fekFile, 0, "su", "", kNone, kNone, "rwsr-xr-x", 0},
      {"type=dir;unix.mode=1777; tmp", flEntry, fekDirectory, 0, "tmp", "", kNone, kNone, "rwxrwxrwt", 0},
      // facts missing or unreadable leave the defaults
      {"size=77; no-type", flEntry, fekFile, 77, "no-type", "", kNone, kNone, "?????????", 0},
      {"type=file;size=big;modify=yesterday;unix.mode=rwx; odd", flEntry, fekFile, 0, "odd", "", kNone, kNone,
       "?????????", 0},
      {"type=file;modify=20240231120000; impossible day", flEntry, fekFile, 0, "impossible day", "", kNone, kNone,
       "?????????", 0},
      {" no facts at all", flEntry, fekFile, 0, "no facts at all", "", kNone, kNone, "?????????", 0},
      // the folder itself and its parent
      {"type=cdir;modify=20240301140533;perm=flcdmpe; .", flSelfOrUp, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"Type=PDIR;perm=e; ..", flSelfOrUp, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"type=cdir; /home/ann", flSelfOrUp, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"type=dir;TYPE=cdir; .", flSelfOrUp, fekFile, 0, "", "", kNone, kNone, "?????????", 0},  // the last one stands
      {"type=cdir;perm=el;", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},      // no name
      // no fact line
      {"-rw-r--r-- 1 o g 3 Jan 1 2000 f", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"type=file;size=3;", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"type=file;size=3; ", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"type=file;=3; x", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
      {"", flMalformed, fekFile, 0, "", "", kNone, kNone, "?????????", 0},
  };
}

}  // namespace

TEST(Facts, EachLineGivesItsEntry) {
  for (const FactCase& c : Cases()) {
    SCOPED_TRACE(c.Line);
    TNetFTPListItem entry;
    entry.RawLine = c.Line;
    EXPECT_EQ(ReadFactsLine(c.Line, entry), c.Result);
    EXPECT_EQ(IsSelfOrUpFactsLine(c.Line), c.Result == flSelfOrUp);
    EXPECT_EQ(entry.RawLine, c.Line);
    EXPECT_EQ(entry.EntryKind, c.Kind);
    EXPECT_EQ(entry.ByteSize, c.Size);
    EXPECT_EQ(entry.ItemName, c.Name);
    EXPECT_EQ(entry.LinkTarget, c.Target);
    EXPECT_EQ(entry.Owner, c.Owner);
    EXPECT_EQ(entry.Group, c.Group);
    EXPECT_EQ(entry.OwnerRights + entry.GroupRights + entry.OtherRights, c.Rights);
    EXPECT_DOUBLE_EQ(entry.ModifiedAt, c.Modified);
  }
}

TEST(Facts, MachineListingLoadsWithoutItsFolderAndParent) {
  const TStringList lines = {"type=cdir;perm=el; .", "type=pdir;perm=el; ..", "type=file;size=1; a", "",
                             "not a fact line",      "type=dir; b"};
  // Read as the FTP client reads an MLSD listing: a line that is no fact
  // line is read as any listing line (here a name alone).
  TNetFTPListItems items;
  items.ListingFormat = flfMachine;
  items.ReadListing(lines);
  ASSERT_EQ(items.Count(), 3);
  EXPECT_EQ(items.Items(0).ItemName, "a");
  EXPECT_EQ(items.Items(0).ByteSize, 1);
  EXPECT_EQ(items.Items(1).ItemName, "not a fact line");
  EXPECT_EQ(items.Items(2).ItemName, "b");
  EXPECT_EQ(items.Items(2).EntryKind, fekDirectory);

  // By the rules alone such a line empties what came before it, as in
  // every format.
  items.LoadFromLines(lines);
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.Items(0).ItemName, "b");
}

TEST(Facts, OneFactOfALineAndTheFactLineOfAnMlstReply) {
  std::string value;
  EXPECT_TRUE(FactOfLine("type=file;Size=1234;modify=20240301140533; a b", "size", value));
  EXPECT_EQ(value, "1234");
  EXPECT_FALSE(FactOfLine("type=file;modify=20240301140533; size=9;", "size", value));  // in the name
  EXPECT_FALSE(FactOfLine("", "size", value));

  EXPECT_EQ(FactsLineOfReply({"Listing /pub/a b", " type=file;size=3; /pub/a b", "End"}), "type=file;size=3; /pub/a b");
  EXPECT_EQ(FactsLineOfReply({"Listing /pub/a", "type=file;size=3; /pub/a", "End"}), "type=file;size=3; /pub/a");
  EXPECT_EQ(FactsLineOfReply({"type=file;size=3; /pub/a"}), "");
  EXPECT_EQ(FactsLineOfReply({"Listing /pub/a", "End"}), "");

  TDateTime t;
  EXPECT_TRUE(TryFactTime("20240301140533", t));
  EXPECT_DOUBLE_EQ(t, Utc(2024, 3, 1, 14, 5, 33));
  EXPECT_TRUE(TryFactTime("20240301140533.5", t));
  EXPECT_DOUBLE_EQ(t, Utc(2024, 3, 1, 14, 5, 33, 500));
  for (const char* bad : {"", "2024030114053", "2024-03-01 14:05", "20241301140533", "20240301140533x"})
    EXPECT_FALSE(TryFactTime(bad, t)) << bad;
}

TEST(Facts, FactsWorthSwitchingOn) {
  // pyftpdlib offers the Unix facts but has only the basic ones on.
  EXPECT_EQ(WantedFactsOfFeature("MLST type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;"),
            "type;perm;size;modify;unix.mode;unix.uid;unix.gid;");
  // everything the listing shows is on already: nothing to ask
  EXPECT_EQ(WantedFactsOfFeature("MLST type*;size*;modify*;UNIX.mode*;unique;"), "");
  EXPECT_EQ(WantedFactsOfFeature("MDTM"), "");
  EXPECT_EQ(WantedFactsOfFeature("MLST"), "");
}
