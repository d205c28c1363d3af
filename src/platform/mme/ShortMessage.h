#pragma once
// Short MIDI messages as the multimedia layer packs them: status in bits 0-7, first data byte in
// bits 8-15, second in bits 16-23. Backings that see byte streams (JACK, ALSA) convert here.
#include <cstddef>
#include <cstdint>

namespace plat::mme {

// Bytes of a short message with this status byte, 0 when it starts no short message (a data byte,
// or the system-exclusive bytes 0xF0 and 0xF7, which this layer neither receives nor sends).
constexpr size_t shortMessageLength(uint8_t status) noexcept {
  if (status < 0x80 || status == 0xF0 || status == 0xF7) return 0;
  if (status < 0xF0) return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  return 1;  // 0xF4..0xFF: tune request, real-time bytes and the undefined ones
}

// Packs a complete message; false for anything that is not one short message.
constexpr bool packShortMessage(const uint8_t* bytes, size_t size, uint32_t& packed) noexcept {
  if (size == 0) return false;
  const size_t length = shortMessageLength(bytes[0]);
  if (length == 0 || size != length) return false;
  packed = bytes[0];
  for (size_t i = 1; i < length; ++i) {
    if (bytes[i] & 0x80) return false;
    packed |= uint32_t(bytes[i]) << (8 * i);
  }
  return true;
}

// Unpacks a message for sending; the byte count, 0 when the status byte starts no short message.
constexpr size_t unpackShortMessage(uint32_t packed, uint8_t (&bytes)[3]) noexcept {
  bytes[0] = uint8_t(packed);
  bytes[1] = uint8_t(packed >> 8) & 0x7F;
  bytes[2] = uint8_t(packed >> 16) & 0x7F;
  return shortMessageLength(bytes[0]);
}

}  // namespace plat::mme
