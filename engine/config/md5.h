#pragma once
// MD5 (RFC 1321), for the enciphered link's login digest and its keys. Not a security primitive
// in its own right: the link's byte form needs exactly this digest.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/config/archive.h"  // CString

class CMD5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  CMD5() { Init(); }
  // Starts a new digest (the constructor already did).
  void Init();
  void Update(const void* data, size_t length);
  void Update(std::string_view text) { Update(text.data(), text.size()); }
  // The digest of everything given since Init; the object is then ready for a new digest.
  Digest Final();

  static Digest Of(const void* data, size_t length);
  static Digest Of(std::string_view text) { return Of(text.data(), text.size()); }
  // 32 lower-case hexadecimal digits.
  static CString Hex(const Digest& digest);
  // The link's digest text: each byte as "%x" (lower case, no leading zero), 16 to 32 characters.
  static CString UnpaddedHex(const Digest& digest);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t m_state[4];
  uint64_t m_length;  // bytes given so far
  uint8_t m_buffer[64];
};
