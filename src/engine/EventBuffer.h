#pragma once
// One half of the engine's double-buffered MIDI queue: a VstEvents record with its event pool in one
// allocation, so that handing events to the plug-in never allocates.
//
// Layout of the 10264-byte allocation (64-bit):
//   0     VstEvents header: int32 numEvents, 4 bytes padding, intptr reserved
//   16    257 event pointers; pointer i refers to pool record i, the 257th stays null
//   2072  256 VstMidiEvent records of 32 bytes, preset to type kVstMidiType, byteSize 32 and
//         flags kVstMidiEventIsRealtime; everything else zero
#include <cstddef>
#include <cstdint>

#include "vst/VstEvents.h"

class EventBuffer {
 public:
  static constexpr uint32_t kCapacity = 256;
  using Block = VstMidiEventBlock<kCapacity>;
  static_assert(sizeof(Block) == 10264);

  // Allocates and presets the record. When memory is short `events` stays null and every append
  // is dropped.
  EventBuffer();
  ~EventBuffer();
  EventBuffer(const EventBuffer&) = delete;
  EventBuffer& operator=(const EventBuffer&) = delete;

  // Audio thread, or a producer holding the engine's event flag: takes pool record `count`, sets
  // its deltaFrames to 0 and its first three MIDI bytes; false (event dropped) when full.
  bool append(uint8_t status, uint8_t data1, uint8_t data2) noexcept;

  // The pointer array that follows the header.
  VstEvent** eventPointers() const noexcept { return block_ ? block_->header.events : nullptr; }

  VstEvents* events = nullptr;
  VstMidiEvent* pool = nullptr;
  uint32_t capacity = kCapacity;
  uint32_t count = 0;

 private:
  Block* block_ = nullptr;
};
