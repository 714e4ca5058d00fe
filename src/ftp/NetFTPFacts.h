// Machine listings (RFC 3659): the lines of "MLSD" and the reply to "MLST".
// Each line is a list of facts, each "name=value;", a blank, and the name:
//   type=file;size=1234;modify=20240301140533;UNIX.mode=0644; notes 1;2.txt
// Fact names are case-insensitive and come in any order; a server leaves out
// those it does not know. The name is everything after the first blank that
// follows a ";", blanks and semicolons included. No I/O here.
#pragma once

#include <string>
#include <string_view>

#include "NetFTPList.h"

enum TNetFactsLine : int {
  flEntry,      // an entry of the folder: AEntry is filled
  flSelfOrUp,   // "type=cdir" (the folder itself) or "type=pdir" (its parent): no entry
  flMalformed,  // not a fact line: AEntry is untouched
};

// Reads one fact line into AEntry (all but RawLine): the kind from "type"
// (file, dir, or OS.unix=slink:TARGET for a link), the size from "size" (or
// "sizd" for a folder), the time from "modify" (UTC, given in local time),
// the rights from "unix.mode" as rwx text, or else the "perm" letters in the
// owner's column, owner and group from "unix.owner"/"unix.ownername"/
// "unix.uid" and "unix.group"/"unix.groupname"/"unix.gid". Missing facts
// leave the entry's defaults.
TNetFactsLine ReadFactsLine(const std::string& ALine, TNetFTPListItem& AEntry);

// ReadFactsLine(ALine, ...) == flSelfOrUp, without reading the rest.
bool IsSelfOrUpFactsLine(std::string_view ALine);

// The value of one fact of a fact line (its name in any letter case);
// false when the line does not have it.
bool FactOfLine(const std::string& ALine, const std::string& AFact, std::string& AValue);

// A time fact, YYYYMMDDHHMMSS with an optional fraction (".sss"), in UTC, as
// the local time; the reply to "MDTM" is written the same way.
bool TryFactTime(const std::string& AText, TDateTime& AValue);

// An octal Unix mode of at most 12 digits: "0644", "644", or as pyftpdlib
// writes it, "0o644".
bool TryOctalMode(std::string_view AText, int64_t& AValue);

// The rwx texts of an octal Unix mode in the entry's three rights columns:
// 644 gives rw- r-- r--, 4755 rws r-x r-x, 1777 rwx rwx rwt.
void SetRightsOfMode(int64_t AMode, TNetFTPListItem& AEntry);

// A size fact: decimal digits only.
bool TryFactNumber(const std::string& AText, int64_t& AValue);

// The fact line of a reply to "MLST name" (250): the first line after the
// reply's own text that is a fact line, without its leading blank; empty
// when there is none.
//   250-Listing notes.txt
//    type=file;size=1234;modify=20240301140533; /home/ann/notes.txt
//   250 End
std::string FactsLineOfReply(const TStringList& AText);

// The facts "OPTS MLST" should switch on: of those a "MLST" feature line
// offers ("MLST type*;size*;modify*;perm;unix.mode;"), the ones the listing
// shows, joined as "type;size;modify;unix.mode;"; empty when nothing beyond
// what is on already would be gained.
std::string WantedFactsOfFeature(const std::string& AFeature);
