#pragma once
// AIFF and AIFF-C files: big-endian IFF chunks in a FORM container. Reads 8/16/24/32-bit integer
// data and, in AIFF-C, "sowt" (little-endian) and "fl32"/"fl64" (float) data of one or two
// channels; writes 16-bit big-endian stereo with a 54-byte header.
#include "audiofile/VLAudioFileBase.h"

class VLAudioFileAIFF : public VLAudioFileBase {
 public:
  VLAudioFileAIFF();
  uint32_t openRead(const char* path) override;
  bool writeHeader(uint32_t frames, int32_t sampleRate) override;
  uint32_t openReadMemory(const void* data, size_t size) override;

  // The 80-bit extended form of an unsigned integer rate; `out` is zero-filled by the caller.
  static void encodeExtended80(uint32_t rate, uint8_t out[10]);
  // The integer rate of an 80-bit extended value, 0 outside 2 .. 2^30 - 1 Hz (fractions dropped).
  static int32_t decodeExtended80(const uint8_t in[10]);

 private:
  uint32_t readHeader();
  // Chooses the layout once the sound chunk is found; its samples start at `start`.
  uint32_t finishAtSound(int64_t start, int64_t length);
  bool float32 = false;  // compression type "fl32" seen during this openRead
  bool float64 = false;  // compression type "fl64" seen during this openRead
};
