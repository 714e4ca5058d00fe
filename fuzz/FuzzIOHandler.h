// An I/O handler that serves a fuzzer's input as the bytes a peer sent: each
// receive takes a piece of at most ChunkSize bytes, and the end of the input
// is the peer's close. What the code under test sends is counted, not kept.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "NetIOHandler.h"

class TFuzzIOHandler : public TNetIOHandler {
 public:
  TFuzzIOHandler(const uint8_t* AData, size_t ASize, int32_t AChunkSize)
      : FData(reinterpret_cast<const char*>(AData), ASize), FChunkSize(std::max(AChunkSize, 1)) {}

  std::string ClassName() const override { return "TFuzzIOHandler"; }

  bool WaitReadable(int32_t /*AMilliseconds*/) override { return true; }
  int32_t ReceiveSome(void* ABuffer, int32_t ALength) override {
    const size_t n = std::min({FData.size() - FPosition, static_cast<size_t>(std::max(ALength, 0)),
                               static_cast<size_t>(FChunkSize)});
    std::memcpy(ABuffer, FData.data() + FPosition, n);
    FPosition += n;
    return static_cast<int32_t>(n);
  }
  int32_t SendSome(const void* /*ABuffer*/, int32_t ALength) override { return ALength; }

 private:
  std::string FData;
  size_t FPosition = 0;
  int32_t FChunkSize;
};
