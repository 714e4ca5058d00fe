// SHA-256 (FIPS 180-4), in-process, for checking transferred bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
public:
  Sha256();
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Finishes the hash and returns it as 64 lower-case hex digits. Call once.
  std::string HexDigest();

private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> FState;
  std::array<uint8_t, 64> FBuffer{};
  size_t FBuffered = 0;
  uint64_t FLength = 0;
};

// Hex digest of a byte buffer.
std::string Sha256Hex(std::string_view bytes);
// Hex digest of a whole file; throws std::runtime_error when it cannot be read.
std::string Sha256OfFile(const std::string& path);
