// Reads replies from arbitrary bytes, one after another, until the input ends
// or a reply is refused. The first byte sets the size of the received pieces,
// so line ends and terminators fall across piece boundaries too.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "FuzzIOHandler.h"
#include "NetTCPConnection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  TFuzzIOHandler handler(Data + 1, Size - 1, Data[0] % 64 + 1);
  TNetTCPConnection connection;
  handler.OpenHandler();
  connection.SetIOHandler(&handler);
  // Small limits, so that the fuzzer reaches them.
  connection.MaxLineLength = 200;
  connection.MaxReplyLines = 20;
  connection.MaxReplySize = 2000;
  try {
    for (int i = 0; i < 64; ++i) connection.ReadReply({});
  } catch (const std::exception&) {
    // Every refusal is an exception of the family; only crashes count.
  }
  connection.SetIOHandler(nullptr);
  return 0;
}
