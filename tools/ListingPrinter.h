// Prints parsed listings as plain text, for the headless FTP driver and the
// tests: one tab-separated line per entry.
#pragma once

#include <iosfwd>
#include <string>

#include "NetFTPList.h"

// kind (d, f or l), size, modified as "YYYY-MM-DD HH:MM" (empty when zero),
// name, link target, owner, group, rights (owner, group and other joined),
// separated by tabs. Fields are printed as they are.
std::string FormatListEntry(const TNetFTPListItem& AItem);

// The name of a format value: "flfUnix", "flfDos", ...
std::string ListFormatName(TNetFTPListFormat AFormat);

// Reads the listing lines of a file (its bytes as they are, split at CR LF,
// LF or CR as a listing download splits them), parses them as the FTP client
// does and prints "# format NAME" first when AShowFormat is set, then one
// FormatListEntry line per entry. Dates without a year are read against
// AReferenceDate. Returns 0; a file that cannot be read raises EFOpenError.
int RunParseListing(const std::string& AFileName, bool AShowFormat, std::ostream& AOut,
                    TDateTime AReferenceDate = Today());
