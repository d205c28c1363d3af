#include "audiofile/SampleFormat.h"

#include <cstring>

namespace audiofile {
namespace {

template <typename Convert>
void run(const uint8_t* src, uint32_t units, bool stereo, uint32_t bytes, float* left, float* right,
         Convert convert) noexcept {
  if (stereo) {
    for (uint32_t i = 0; i < units; ++i, src += 2 * bytes) {
      left[i] = convert(src);
      right[i] = convert(src + bytes);
    }
  } else {
    for (uint32_t i = 0; i < units; ++i, src += bytes) {
      const float v = convert(src);
      left[i] = v;
      right[i] = v;
    }
  }
}

template <typename T>
T loadWord(const uint8_t* p, bool reversed) noexcept {
  uint8_t b[sizeof(T)];
  if (reversed) {
    for (size_t i = 0; i < sizeof(T); ++i) b[i] = p[sizeof(T) - 1 - i];
  } else {
    std::memcpy(b, p, sizeof(T));
  }
  T v;
  std::memcpy(&v, b, sizeof(T));
  return v;
}

}  // namespace

uint32_t unitBytes(uint32_t code) noexcept {
  static constexpr uint32_t kBytes[15] = {0, 1, 2, 3, 4, 4, 8, 8, 2, 4, 6, 8, 8, 16, 16};
  return code < 15 ? kBytes[code] : 0;
}

void convertUnits(const SampleLayout& layout, const uint8_t* src, uint32_t units, float* left,
                  float* right) noexcept {
  const bool be = layout.bigEndian;
  const bool stereo = layout.code >= SampleFormat::Stereo8;
  switch (layout.code) {
    case SampleFormat::Mono8:
    case SampleFormat::Stereo8: {
      const uint8_t flip = layout.unsigned8 ? 0x80 : 0x00;
      run(src, units, stereo, 1, left, right, [flip](const uint8_t* p) {
        return static_cast<float>(static_cast<int8_t>(p[0] ^ flip)) * (1.0f / 256.0f);
      });
      break;
    }
    case SampleFormat::Mono16:
    case SampleFormat::Stereo16:
      // The byte order is fixed per file, so each order gets its own loop.
      if (be) {
        run(src, units, stereo, 2, left, right, [](const uint8_t* p) {
          return static_cast<float>(static_cast<int16_t>((p[0] << 8) | p[1])) * (1.0f / 32768.0f);
        });
      } else {
        run(src, units, stereo, 2, left, right, [](const uint8_t* p) {
          return static_cast<float>(static_cast<int16_t>((p[1] << 8) | p[0])) * (1.0f / 32768.0f);
        });
      }
      break;
    case SampleFormat::Mono24:
    case SampleFormat::Stereo24:
      if (be) {
        run(src, units, stereo, 3, left, right, [](const uint8_t* p) {
          // Shifting the word into the top of an int32 and back extends the sign.
          const int32_t v =
              static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8)) >>
              8;
          return static_cast<float>(v * (1.0 / 8388608.0));
        });
      } else {
        run(src, units, stereo, 3, left, right, [](const uint8_t* p) {
          const int32_t v =
              static_cast<int32_t>((uint32_t{p[2]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[0]} << 8)) >>
              8;
          return static_cast<float>(v * (1.0 / 8388608.0));
        });
      }
      break;
    case SampleFormat::Mono32:
    case SampleFormat::Stereo32:
      run(src, units, stereo, 4, left, right, [be](const uint8_t* p) {
        return static_cast<float>(loadWord<int32_t>(p, be) * (1.0 / 2147483648.0));
      });
      break;
    case SampleFormat::MonoFloat32:
    case SampleFormat::StereoFloat32:
      run(src, units, stereo, 4, left, right, [be](const uint8_t* p) { return loadWord<float>(p, be); });
      break;
    case SampleFormat::MonoFloat64:
    case SampleFormat::StereoFloat64:
      run(src, units, stereo, 8, left, right,
          [be](const uint8_t* p) { return static_cast<float>(loadWord<double>(p, be)); });
      break;
    case SampleFormat::Mono64:
    case SampleFormat::Stereo64:
      std::memset(left, 0, units * sizeof(float));
      std::memset(right, 0, units * sizeof(float));
      break;
    default:  // unknown codes: nothing is stored
      break;
  }
}

}  // namespace audiofile
