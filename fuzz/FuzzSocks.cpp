// Runs the SOCKS client handshakes against arbitrary proxy answers. The
// first byte picks the handshake: SOCKS 4, 4A, 5, or 5 with user name and
// password; the second the size of the received pieces.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "FuzzIOHandler.h"
#include "NetSocksInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  TFuzzIOHandler handler(Data + 2, Size - 2, Data[1] % 16 + 1);
  handler.OpenHandler();
  TNetSocksInfo socks;
  switch (Data[0] % 4) {
    case 0: socks.Version = svSocks4; break;
    case 1: socks.Version = svSocks4A; break;
    case 2: socks.Version = svSocks5; break;
    default:
      socks.Version = svSocks5;
      socks.Authentication = saUsernamePassword;
      socks.Username = "user";
      socks.Password = "secret";
  }
  socks.SetIOHandler(&handler);
  try {
    // An address, so that SOCKS 4 resolves nothing.
    socks.NegotiateProxy("127.0.0.1", 21, 1000);
  } catch (const std::exception&) {
    // Every refusal is an exception of the family; only crashes count.
  }
  socks.SetIOHandler(nullptr);
  return 0;
}
