#pragma once
// One audio device and direction, as a backend lists it. Records are created by a backend while it
// is constructed, owned by its `devices` list and never copied; everybody else keeps plain,
// non-owning pointers into that list (settings, dialogs, the engine).
#include <cstdint>
#include <string>
#include <vector>

// Device-type codes. Single bits: callers test them with masks.
using AudioDeviceType = int32_t;
inline constexpr AudioDeviceType DeviceTypeASIO = 2;
inline constexpr AudioDeviceType DeviceTypeWASAPIShared = 4;
inline constexpr AudioDeviceType DeviceTypeWASAPIExclusive = 8;
// Both WASAPI modes; a record is a WASAPI record when (type & DeviceTypeWASAPIMask) != 0.
inline constexpr AudioDeviceType DeviceTypeWASAPIMask = 0xC;
// MIDI device records carry this type; no audio backend serves it.
inline constexpr AudioDeviceType DeviceTypeMIDI = 1;

inline constexpr bool isWASAPIType(AudioDeviceType type) {
  return (type & DeviceTypeWASAPIMask) != 0;
}

// Block length a record starts with before `open` has read the device.
inline constexpr int32_t defaultBufferSize(AudioDeviceType type) {
  return type == DeviceTypeASIO              ? 512
         : type == DeviceTypeWASAPIExclusive ? 256
         : type == DeviceTypeWASAPIShared    ? 1024
                                             : 0;
}

struct AudioDeviceInfo {
  AudioDeviceInfo() = default;
  AudioDeviceInfo(AudioDeviceType t, bool input)
      : type(t), isInput(input), bufferSize(defaultBufferSize(t)) {}
  AudioDeviceInfo(const AudioDeviceInfo&) = delete;
  AudioDeviceInfo& operator=(const AudioDeviceInfo&) = delete;

  int32_t id = 0;          // ASIO: index of the driver in the driver list; unused for WASAPI
  std::string endpointId;  // WASAPI: the endpoint's identifier (at most 255 bytes); empty for ASIO
  AudioDeviceType type = 0;
  std::string name;  // display name; settings remember devices by it
  bool isInput = false;
  bool isDefault = false;  // WASAPI: the system default endpoint of its direction
  // `open` has filled channelCount, sampleRate, bitsPerSample, bufferSize and channelNames; while
  // set, `open` answers true without touching the device.
  bool infoValid = false;
  uint16_t channelCount = 0;              // WASAPI: channels of the device format; ASIO: the output count
  double sampleRate = 0.0;                // Hz
  uint16_t bitsPerSample = 0;             // WASAPI: 16 or 32 stream; ASIO leaves 0
  int32_t bufferSize = 0;                 // block length in frames
  std::vector<std::string> channelNames;  // index = channel number of this direction
  // Channel numbers carried as left and right. Not validated; the two may be equal.
  int32_t leftChannel = 0;
  int32_t rightChannel = 1;
};
