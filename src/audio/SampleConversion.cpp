#include "audio/SampleConversion.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "platform/asio/Asio.h"

// The loops below are written so that the compiler vectorises them (the file is built with -O3);
// each one keeps the per-sample arithmetic of the reference exactly: separate multiply and add in
// single precision, truncating conversions, no reassociation.
namespace sampleconv {
namespace {

using namespace plat::asio;

constexpr float kIn16Scale = std::bit_cast<float>(0x3800007Fu);   // 3.05180401e-5
constexpr float kIn16Offset = std::bit_cast<float>(0x3780007Fu);  // 1.52590201e-5
constexpr float kIn24Scale = 0x1p-23f;
constexpr float kIn24Offset = 0x1p-24f;
constexpr float kClampL = std::bit_cast<float>(0x3F7FFFFEu);      // 1 - 2^-23
constexpr float kOut16Scale = std::bit_cast<float>(0x467FFF03u);  // 16383.7529296875
constexpr float kOut24Scale = 4194304.0f;

// NaN -> 0, beyond +-1 -> +-1; inside [-1, 1] the value is unchanged, so the formula's own
// results hold there. Written with comparisons that map onto compare-and-select instructions.
inline float sanitize(float x) noexcept {
  float c = x > 1.0f ? 1.0f : x;
  c = c < -1.0f ? -1.0f : c;
  return x == x ? c : 0.0f;
}
inline float twiceClamped(float x) noexcept {
  float s = sanitize(x);
  return std::fabs(s + kClampL) - std::fabs(s - kClampL);
}
inline int32_t out24(float x) noexcept { return static_cast<int32_t>(twiceClamped(x) * kOut24Scale - 0.5f); }
inline int16_t out16(float x) noexcept {
  return static_cast<int16_t>(static_cast<int32_t>(twiceClamped(x) * kOut16Scale - 0.5f));
}

inline uint32_t load32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store32(uint8_t* p, uint32_t v) noexcept { std::memcpy(p, &v, 4); }

void reverse2(uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    uint16_t v;
    std::memcpy(&v, p + 2 * i, 2);
    v = static_cast<uint16_t>((v >> 8) | (v << 8));
    std::memcpy(p + 2 * i, &v, 2);
  }
}
void reverse3(uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    uint8_t t = p[3 * i];
    p[3 * i] = p[3 * i + 2];
    p[3 * i + 2] = t;
  }
}
void reverse4(uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) store32(p + 4 * i, __builtin_bswap32(load32(p + 4 * i)));
}
void reverse8(uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    uint64_t v;
    std::memcpy(&v, p + 8 * i, 8);
    v = __builtin_bswap64(v);
    std::memcpy(p + 8 * i, &v, 8);
  }
}
void reverse(uint8_t* p, int width, size_t n) noexcept {
  switch (width) {
    case 2: reverse2(p, n); break;
    case 3: reverse3(p, n); break;
    case 4: reverse4(p, n); break;
    case 8: reverse8(p, n); break;
    default: break;
  }
}

// The little-endian partner of a big-endian type (MSB codes are 16 below their LSB partners).
inline int32_t littlePartner(int32_t type) noexcept {
  return (type >= ASIOSTInt16MSB && type <= ASIOSTFloat64MSB) || (type >= ASIOSTInt32MSB16 && type <= ASIOSTInt32MSB24)
             ? type + 16
             : type;
}

void in16(const uint8_t* p, float* out, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    int16_t s;
    std::memcpy(&s, p + 2 * i, 2);
    out[i] = static_cast<float>(s) * kIn16Scale + kIn16Offset;
  }
}
void in24(const uint8_t* p, float* out, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* q = p + 3 * i;
    // The three bytes land in the top of a word; the arithmetic shift sign-extends them.
    int32_t s = static_cast<int32_t>((uint32_t(q[0]) << 8) | (uint32_t(q[1]) << 16) | (uint32_t(q[2]) << 24)) >> 8;
    out[i] = static_cast<float>(s) * kIn24Scale + kIn24Offset;
  }
}
// A 32-bit word whose 24 significant bits are found by shifting left (shift < 0: right).
template <int Shift>
void in32(const uint8_t* p, float* out, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    int32_t s = static_cast<int32_t>(load32(p + 4 * i));
    int32_t v;
    if constexpr (Shift >= 0)
      v = static_cast<int32_t>(static_cast<uint32_t>(s) << Shift);
    else
      v = s >> -Shift;
    out[i] = static_cast<float>(v) * kIn24Scale + kIn24Offset;
  }
}
void inF64(const uint8_t* p, float* out, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    double d;
    std::memcpy(&d, p + 8 * i, 8);
    out[i] = static_cast<float>(d);
  }
}

void o16(const float* in, uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    int16_t v = out16(in[i]);
    std::memcpy(p + 2 * i, &v, 2);
  }
}
void o24(const float* in, uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    uint32_t v = static_cast<uint32_t>(out24(in[i]));
    p[3 * i] = static_cast<uint8_t>(v);
    p[3 * i + 1] = static_cast<uint8_t>(v >> 8);
    p[3 * i + 2] = static_cast<uint8_t>(v >> 16);
  }
}
template <int Shift>
void o32(const float* in, uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    int32_t v = out24(in[i]);
    int32_t w;
    if constexpr (Shift >= 0)
      w = static_cast<int32_t>(static_cast<uint32_t>(v) << Shift);
    else
      w = v >> -Shift;
    store32(p + 4 * i, static_cast<uint32_t>(w));
  }
}
void oF64(const float* in, uint8_t* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    double d = static_cast<double>(twiceClamped(in[i]) * 0.5f);
    std::memcpy(p + 8 * i, &d, 8);
  }
}

}  // namespace

bool isConvertible(int32_t type) noexcept { return sampleWidth(type) != 0; }

bool toFloat(int32_t type, void* driverBuffer, float* out, size_t frames) noexcept {
  int width = sampleWidth(type);
  if (width == 0) return false;
  auto* p = static_cast<uint8_t*>(driverBuffer);
  int32_t little = littlePartner(type);
  if (little != type) reverse(p, width, frames);
  switch (little) {
    case ASIOSTInt16LSB: in16(p, out, frames); break;
    case ASIOSTInt24LSB: in24(p, out, frames); break;
    case ASIOSTInt32LSB: in32<-8>(p, out, frames); break;
    case ASIOSTFloat32LSB: std::memcpy(out, p, frames * 4); break;
    case ASIOSTFloat64LSB: inF64(p, out, frames); break;
    case ASIOSTInt32LSB16: in32<8>(p, out, frames); break;
    case ASIOSTInt32LSB18: in32<6>(p, out, frames); break;
    case ASIOSTInt32LSB20: in32<4>(p, out, frames); break;
    case ASIOSTInt32LSB24: in32<0>(p, out, frames); break;
    default: return false;
  }
  return true;
}

bool fromFloat(int32_t type, const float* in, void* driverBuffer, size_t frames) noexcept {
  int width = sampleWidth(type);
  if (width == 0) return false;
  auto* p = static_cast<uint8_t*>(driverBuffer);
  int32_t little = littlePartner(type);
  switch (little) {
    case ASIOSTInt16LSB: o16(in, p, frames); break;
    case ASIOSTInt24LSB: o24(in, p, frames); break;
    case ASIOSTInt32LSB: o32<8>(in, p, frames); break;
    case ASIOSTFloat32LSB: std::memcpy(p, in, frames * 4); break;
    case ASIOSTFloat64LSB: oF64(in, p, frames); break;
    case ASIOSTInt32LSB16: o32<-8>(in, p, frames); break;
    case ASIOSTInt32LSB18: o32<-6>(in, p, frames); break;
    case ASIOSTInt32LSB20: o32<-4>(in, p, frames); break;
    case ASIOSTInt32LSB24: o32<0>(in, p, frames); break;
    default: return false;
  }
  if (little != type) reverse(p, width, frames);
  return true;
}

}  // namespace sampleconv
