// Directory listing parser: turns the lines of a "LIST" (or "NLST") transfer
// into entries. It never does I/O; the FTP client hands it the lines it read.
//
// Two layouts are parsed: the Unix long listing (also used for listings whose
// first line names a "DSK:" device) and the MS-DOS layout with "<DIR>"
// markers. Name-only listings and a layout parsed by an event handler are
// supported too. The layout is guessed from the first line only.
//
// Dates that leave out the year or the century are read against a reference
// date, today unless the caller passes one: a Unix time of day belongs to the
// last twelve months before it, and an MS-DOS two-digit year to the hundred
// years around its century.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NetBaseComponent.h"
#include "NetDateTime.h"
#include "NetText.h"

// flfMachine: the fact lines of "MLSD" (NetFTPFacts.h), which no line's
// look can tell; the FTP client sets it for the listings it fetched so.
enum TNetFTPListFormat : int { flfNone, flfDos, flfUnix, flfVax, flfNoDetails, flfUnknown, flfCustom, flfMachine };

enum TNetFTPEntryKind : int { fekDirectory, fekFile, fekSymbolicLink };

// One listing entry. The "?" defaults stay where a layout has no such column.
class TNetFTPListItem : public TNetPersistent {
 public:
  int64_t ByteSize = 0;
  int32_t LinkCount = 0;
  std::string RawLine;
  std::string ItemName;  // for a link: the part before " -> "
  std::string GroupRights = "???";
  std::string Group = "????????";
  std::string OwnerRights = "???";
  std::string Owner = "????????";
  std::string OtherRights = "???";
  TDateTime ModifiedAt = 0;
  std::string LinkTarget;  // for a link: the part after " -> "
  TNetFTPEntryKind EntryKind = fekFile;

  // Copies all fields of another entry; any other class raises EAssignError.
  void Assign(const TNetPersistent& Source) override { AssignValues<TNetFTPListItem>(Source); }
  std::string ClassName() const override { return "TNetFTPListItem"; }
};

class TNetFTPListItems;

// Lets the owner of an FTP client supply the collection (of a class of its
// own); VFTPList is null on entry, and a new TNetFTPListItems is made when the
// handler leaves it null.
using TNetCreateFTPList = std::function<void(TNetBaseComponent* ASender, std::unique_ptr<TNetFTPListItems>& VFTPList)>;
// Lets the owner correct the format detected from the first listing line.
using TNetCheckListFormat =
    std::function<void(TNetBaseComponent* ASender, const std::string& ALine, TNetFTPListFormat& VListFormat)>;
// Parses one line of a flfCustom listing: fills AItem from AItem.RawLine.
using TNetOnParseCustomListFormat = std::function<void(TNetFTPListItem& AItem)>;

// The parsed entries of one listing, in the order of its lines; owns them.
class TNetFTPListItems {
 public:
  TNetFTPListItems() = default;
  virtual ~TNetFTPListItems() = default;
  TNetFTPListItems(const TNetFTPListItems&) = delete;
  TNetFTPListItems& operator=(const TNetFTPListItems&) = delete;

  // The layout LoadFromLines parses with.
  TNetFTPListFormat ListingFormat = flfUnix;
  // Parses the lines of a flfCustom listing; without it such a listing loads empty.
  TNetOnParseCustomListFormat OnParseCustomListFormat;

  // Appends a new entry with the default values.
  TNetFTPListItem& AddEntry();
  // The entry at a 0-based index; raises EListError for an index out of range.
  TNetFTPListItem& Items(int64_t Index);
  const TNetFTPListItem& Items(int64_t Index) const;
  int64_t Count() const { return static_cast<int64_t>(FItems.size()); }
  void Clear() { FItems.clear(); }

  // Guesses the layout from one line (the first of a listing).
  virtual TNetFTPListFormat DetectFormat(const std::string& ALine, bool ADetails);

  // Replaces all entries with those parsed from Lines under ListingFormat.
  // Blank lines give no entry, nor does a leading "total" line of a Unix
  // listing. A line that fails to parse removes every entry made so far;
  // the error is not passed on and loading goes on with the next line.
  void LoadFromLines(const TStringList& Lines, TDateTime AReferenceDate = Today());

  // Fills Entry from its RawLine by the rules of ALayout. Raises
  // ENetInvalidFTPListingFormat for flfUnknown (and for flfCustom without a
  // handler), and EConvertError for an impossible date or time in a Unix line.
  void ParseLine(TNetFTPListFormat ALayout, TNetFTPListItem& Entry, TDateTime AReferenceDate = Today());

  // Runs OnParseCustomListFormat on Entry; raises ENetInvalidFTPListingFormat
  // when it is not set.
  virtual void ParseCustomLine(TNetFTPListItem& Entry);

  // What the FTP client does to read its listing: removes all entries; then,
  // when there are lines, detects the format on the first one (details set),
  // lets OnCheckListFormat change it (ASender is handed to it), stores it in
  // ListingFormat and reads every line. Under flfUnix, flfVax and flfDos each
  // line is read twice: by the rules of the format and by the tolerant
  // reading (NetFTPListReader.h); under flfUnknown by the latter alone. The rules' entry stands where
  // the two agree on kind, name, link target, size and time to the minute,
  // or where the tolerant reading does not know the line; elsewhere (the
  // rules failed, or read columns shifted by a blank in an owner's name or a
  // date they do not know) the tolerant entry stands, and a line neither
  // reads is an entry named by the line itself; the heading and totals of a
  // VMS listing are no entries. No line empties the listing.
  // Other formats load as LoadFromLines does.
  void LoadListing(const TStringList& Lines, TNetBaseComponent* ASender, const TNetCheckListFormat& OnCheckListFormat,
                   TDateTime AReferenceDate = Today());

  // Replaces all entries with those LoadListing reads from Lines under
  // ListingFormat, without detecting it: the two readings for flfUnix,
  // flfVax, flfDos and flfUnknown; for flfMachine each fact line, the
  // folder's own and its parent's left out and any other line read as
  // those formats' lines are. No line empties the listing.
  void ReadListing(const TStringList& Lines, TDateTime AReferenceDate = Today());

 private:
  void ParseDosLine(TNetFTPListItem& Entry, TDateTime AReferenceDate);
  void ParseUnixLine(TNetFTPListItem& Entry, bool AGroupMayBeMissing, TDateTime AReferenceDate);

  std::vector<std::unique_ptr<TNetFTPListItem>> FItems;
};

// True when ALine, the first line of a listing in AFormat, is the "total 12"
// line of a Unix listing ("TOTAL" at its start, in any case), which gives
// no entry.
bool IsListingTotalLine(TNetFTPListFormat AFormat, const std::string& ALine);

// True when the first ten characters of an upper-cased line form a Unix
// permission word ("-RW-R--R--", "DRWXR-XR-X", "LRWXRWXRWX", ...).
bool IsUnixPermissions(const std::string& AUpperLine);
