// Reads arbitrary bytes as the text of a 227 reply (its lines, code removed)
// and takes the announced address out of it.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "NetFTPReplyRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const TStringList text = SplitLines(std::string_view(reinterpret_cast<const char*>(Data), Size));
  try {
    const TNetFTPHostPort address = PassiveAddressOfReply(text);
    // Whatever is accepted is a port a socket can take.
    if (address.Port < 0 || address.Port > 65535) __builtin_trap();
  } catch (const std::exception&) {
    // A reply that names no usable address is refused; only crashes count.
  }
  return 0;
}
