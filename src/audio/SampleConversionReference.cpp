// The per-sample oracle for the conversion loops. Built without vectorisation (see CMakeLists.txt)
// and written from the formulas, independently of SampleConversion.cpp's helpers.
#include <bit>
#include <cmath>
#include <cstring>

#include "audio/SampleConversion.h"
#include "platform/asio/Asio.h"

namespace sampleconv {
namespace {

using namespace plat::asio;

bool bigEndian(int32_t type) {
  return (type >= ASIOSTInt16MSB && type <= ASIOSTFloat64MSB) ||
         (type >= ASIOSTInt32MSB16 && type <= ASIOSTInt32MSB24);
}

// The sample's bytes, low byte first, whatever order the type keeps them in.
void littleBytes(int32_t type, const uint8_t* sample, uint8_t* out) {
  int w = sampleWidth(type);
  for (int i = 0; i < w; ++i) out[i] = bigEndian(type) ? sample[w - 1 - i] : sample[i];
}

int32_t word32(const uint8_t* b) {
  return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                              uint32_t(b[3]) << 24);
}

float clampedTwice(float x) {
  // NaN and samples beyond full scale first take the value the formula gives at +-1.0.
  if (std::isnan(x)) x = 0.0f;
  if (x > 1.0f) x = 1.0f;
  if (x < -1.0f) x = -1.0f;
  const float L = std::bit_cast<float>(0x3F7FFFFEu);
  float a = x + L;
  float b = x - L;
  return std::fabs(a) - std::fabs(b);
}

}  // namespace

float toFloatReference(int32_t type, const uint8_t* sample) noexcept {
  uint8_t b[8] = {};
  littleBytes(type, sample, b);
  const float k23 = 1.0f / 8388608.0f;
  const float k24 = 1.0f / 16777216.0f;
  switch (bigEndian(type) ? type + 16 : type) {
    case ASIOSTInt16LSB: {
      int16_t s = static_cast<int16_t>(b[0] | b[1] << 8);
      float f = static_cast<float>(s) * std::bit_cast<float>(0x3800007Fu);
      return f + std::bit_cast<float>(0x3780007Fu);
    }
    case ASIOSTInt24LSB: {
      int32_t s = b[0] | b[1] << 8 | b[2] << 16;
      if (s & 0x800000) s -= 0x1000000;
      float f = static_cast<float>(s) * k23;
      return f + k24;
    }
    case ASIOSTInt32LSB: {
      float f = static_cast<float>(word32(b) >> 8) * k23;
      return f + k24;
    }
    case ASIOSTFloat32LSB: {
      float f;
      std::memcpy(&f, b, 4);
      return f;
    }
    case ASIOSTFloat64LSB: {
      double d;
      std::memcpy(&d, b, 8);
      return static_cast<float>(d);
    }
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24: {
      int shift = type == ASIOSTInt32LSB16 || type == ASIOSTInt32MSB16   ? 8
                  : type == ASIOSTInt32LSB18 || type == ASIOSTInt32MSB18 ? 6
                  : type == ASIOSTInt32LSB20 || type == ASIOSTInt32MSB20 ? 4
                                                                         : 0;
      int32_t v = static_cast<int32_t>(static_cast<uint32_t>(word32(b)) << shift);
      float f = static_cast<float>(v) * k23;
      return f + k24;
    }
    default:
      return 0.0f;
  }
}

void fromFloatReference(int32_t type, float x, uint8_t* sample) noexcept {
  int w = sampleWidth(type);
  if (w == 0) return;
  uint8_t b[8] = {};
  int32_t little = bigEndian(type) ? type + 16 : type;
  if (little == ASIOSTFloat32LSB) {
    std::memcpy(b, &x, 4);
  } else if (little == ASIOSTFloat64LSB) {
    double d = clampedTwice(x) * 0.5f;
    std::memcpy(b, &d, 8);
  } else if (little == ASIOSTInt16LSB) {
    float t = clampedTwice(x) * std::bit_cast<float>(0x467FFF03u);
    int32_t v = static_cast<int32_t>(std::trunc(t - 0.5f));
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
  } else {
    float t = clampedTwice(x) * 4194304.0f;
    int32_t v = static_cast<int32_t>(std::trunc(t - 0.5f));
    uint32_t word = 0;
    switch (little) {
      case ASIOSTInt24LSB:
      case ASIOSTInt32LSB24:
        word = static_cast<uint32_t>(v);
        break;
      case ASIOSTInt32LSB:
        word = static_cast<uint32_t>(v) << 8;
        break;
      case ASIOSTInt32LSB16:
        word = static_cast<uint32_t>(v >> 8);
        break;
      case ASIOSTInt32LSB18:
        word = static_cast<uint32_t>(v >> 6);
        break;
      case ASIOSTInt32LSB20:
        word = static_cast<uint32_t>(v >> 4);
        break;
      default:
        break;
    }
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(word >> (8 * i));
  }
  for (int i = 0; i < w; ++i) sample[i] = bigEndian(type) ? b[w - 1 - i] : b[i];
}

}  // namespace sampleconv
