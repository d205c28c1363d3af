#pragma once
// The sample layouts the uncompressed readers recognise, and their conversion to float. A unit is
// what one conversion step consumes: one sample for mono, one frame (left first) for stereo.
#include <cstdint>

struct SampleFormat {
  enum : uint32_t {
    Mono8 = 1,
    Mono16 = 2,
    Mono24 = 3,
    Mono32 = 4,
    MonoFloat32 = 5,
    Mono64 = 6,  // recognised, but not converted: read as silence
    MonoFloat64 = 7,
    Stereo8 = 8,
    Stereo16 = 9,
    Stereo24 = 10,
    Stereo32 = 11,
    StereoFloat32 = 12,
    Stereo64 = 13,  // recognised, but not converted: read as silence
    StereoFloat64 = 14,
  };
};

// Which reader made the object.
struct FileKind {
  enum : int32_t { Decoder = 0, WAV = 1, AIFF = 2 };
};

namespace audiofile {

// Bytes of one unit of `code`, 0 for an unknown code.
uint32_t unitBytes(uint32_t code) noexcept;

// How the sample words of a file are stored.
struct SampleLayout {
  uint32_t code = 0;
  bool bigEndian = false;
  bool unsigned8 = false;  // 8-bit samples are offset by 128 (RIFF) rather than signed (AIFF)
};

// Converts `units` units from `src` into `left` and `right` at index 0 of each (a mono value goes
// to both arrays). Integer words are scaled by 2^-(bits-1), except 8-bit samples, which are scaled
// by 2^-8; 24- and 32-bit scalings are done in double precision. 64-bit integer layouts are
// not converted: they give silence. Runs on no particular thread; allocates nothing.
void convertUnits(const SampleLayout& layout, const uint8_t* src, uint32_t units, float* left,
                  float* right) noexcept;

}  // namespace audiofile
