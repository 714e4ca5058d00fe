#include "ListingPrinter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "NetExceptions.h"

namespace {

std::string ReadWholeFile(const std::string& FileName) {
  const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(FileName, std::strerror(errno));
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw EFOpenError(FileName, std::strerror(err));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

std::string FormatModified(TDateTime Value) {
  if (Value == 0) return std::string();
  int year, month, day, hour, minute, second, millisecond;
  DecodeDate(Value, year, month, day);
  DecodeTime(Value, hour, minute, second, millisecond);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute);
  return text;
}

}  // namespace

std::string FormatListEntry(const TNetFTPListItem& AItem) {
  const char* kind = AItem.EntryKind == fekDirectory ? "d" : AItem.EntryKind == fekSymbolicLink ? "l" : "f";
  std::string line = kind;
  for (const std::string& field :
       {std::to_string(AItem.ByteSize), FormatModified(AItem.ModifiedAt), AItem.ItemName, AItem.LinkTarget,
        AItem.Owner, AItem.Group, AItem.OwnerRights + AItem.GroupRights + AItem.OtherRights}) {
    line += '\t';
    line += field;
  }
  return line;
}

std::string ListFormatName(TNetFTPListFormat AFormat) {
  switch (AFormat) {
    case flfNone: return "flfNone";
    case flfDos: return "flfDos";
    case flfUnix: return "flfUnix";
    case flfVax: return "flfVax";
    case flfNoDetails: return "flfNoDetails";
    case flfUnknown: return "flfUnknown";
    case flfCustom: return "flfCustom";
  }
  return std::to_string(static_cast<int>(AFormat));
}

int RunParseListing(const std::string& AFileName, bool AShowFormat, std::ostream& AOut, TDateTime AReferenceDate) {
  const TStringList lines = SplitLines(ReadWholeFile(AFileName));
  TNetFTPListItems items;
  items.LoadListing(lines, nullptr, TNetCheckListFormat(), AReferenceDate);
  if (AShowFormat) AOut << "# format " << ListFormatName(items.ListingFormat) << '\n';
  for (int64_t i = 0; i < items.Count(); ++i) AOut << FormatListEntry(items.Items(i)) << '\n';
  return 0;
}
