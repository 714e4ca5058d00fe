// The tolerant reading of listing lines: the shapes real servers send that
// the listing rules (NetFTPList.h) do not read, or read wrong. Each function
// takes one line and fills an entry; none does I/O.
//
// Shapes read here:
//   Unix long listings with owner or group names holding blanks, numeric
//   owners, ISO dates, localized month names, devices, ACL marks:
//     -rw-r--r--   1 jsmith   Domain Users  1234 2024-03-01 14:05 report.pdf
//     drwxr-xr-x+  3 1001     1001          4096 15. Mär 10:30 Bilder
//     brw-rw----   1 root     disk       8,   0 Mar  1 09:00 sda
//   MS-DOS lines with 24-hour times and four-digit years:
//     03-01-2024  14:05       <DIR>          Archive
//   VMS:
//     README.TXT;3          12/14       1-MAR-2024 14:05:33  [STAFF,JONES]  (RWED,RWED,RE,)
//   EPLF (a "+", facts separated by commas, a tab, the name):
//     +i8388621.29609,m824255902,r,s7120,\treadme
//   NetWare:
//     d [R----F--] supervisor            512       Jan 16 18:53    login
//   OS/400:
//     QSYS           77824 02/23/00 15:09:55 *DIR       QSYS.LIB/
// A line of none of these shapes is a name alone.
#pragma once

#include <string>
#include <string_view>

#include "NetDateTime.h"
#include "NetFTPList.h"

// Fills AEntry (all but RawLine) from ALine when it has one of the shapes
// above; returns false and leaves AEntry untouched otherwise. Dates without a
// year are read against AReferenceDate as the rules read them: a time of day
// belongs to the last twelve months before it.
bool ReadListingLineLoosely(const std::string& ALine, TNetFTPListItem& AEntry, TDateTime AReferenceDate);

// A month name or number-with-suffix as "ls" prints it in English and other
// languages ("Jan", "janv.", "Mär", "mrt", "3月"); 1 to 12, or 0.
int LooseMonthNumber(std::string_view AWord);

// True for a line that servers put around the entries and that is none: the
// folder heading and the totals of a VMS listing.
bool IsListingNote(std::string_view ALine);
