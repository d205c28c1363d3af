#pragma once
// Shared body of the reader fuzz targets: open from memory, and when a frame count comes back,
// read every frame into arrays of exactly that size (so any write past them is caught).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audiofile/VLAudioFileBase.h"

inline void fuzzRead(VLAudioFileBase& reader, const uint8_t* data, size_t size) {
  const uint32_t frames = reader.openReadMemory(data, size);
  // Sizes are checked against the input: no layout holds more than one frame per byte.
  if (frames == 0) return;
  if (frames > size) __builtin_trap();
  std::vector<float> left(frames), right(frames);
  reader.readAll({left.data(), right.data()});
}
