#pragma once
// One MIDI device and the options the user set for it. The same record type is the present device
// list of VLMidiBase and the stored list of the settings; the two lists never share a record.
#include <cstdint>
#include <string>

// Device-type code of every MIDI device record (the multimedia MIDI devices).
inline constexpr int32_t kMidiDeviceTypeMme = 1;

// `id` of the mapper entry: the multimedia mapper id seen as a signed 32-bit value.
inline constexpr int32_t kMidiMapperId = -1;

struct MidiDeviceInfo {
  // Device index the device is opened with; kMidiMapperId for the mapper entry. In a stored record
  // (inputs only) -1 means that no present device has matched the record yet.
  int32_t id = 0;
  int32_t type = kMidiDeviceTypeMme;
  // Product name, at most 31 bytes; records are matched by `name` (same bytes, same length) and `in`.
  std::string name;
  bool in = false;
  // Input: opened when MIDI starts. Output: the chosen MIDI output (at most one is active).
  bool active = false;
  // The options below mean something for inputs only; outputs keep the defaults.
  bool sync = false;              // MIDI clock, start and stop from this input drive the transport
  bool syncWhilePlaying = false;  // MIDI clock may change the tempo while the transport plays
  int32_t delay = 0;              // sync delay in milliseconds, applied at a MIDI start
  bool filterCCMessages = false;
  bool filterProgramChanges = false;
  int32_t channel = 0;  // 0 = all channels, 1 to 16 = only that channel passes
  int32_t keyboardRangeLeft = 0;
  int32_t keyboardRangeRight = 127;
};
