// Parses arbitrary bytes as the lines of a directory listing.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "NetFTPList.h"
#include "NetText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const TStringList lines = SplitLines(std::string_view(reinterpret_cast<const char*>(Data), Size));
  TNetFTPListItems items;
  try {
    items.LoadListing(lines, nullptr, nullptr);
  } catch (const std::exception&) {
    // An unknown format is refused with an exception; only crashes count.
  }
  return 0;
}
