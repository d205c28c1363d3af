#include "audio/SampleConversion.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/asio/Asio.h"

using namespace plat::asio;
using sampleconv::fromFloat;
using sampleconv::fromFloatReference;
using sampleconv::toFloat;
using sampleconv::toFloatReference;

namespace {

const int32_t kAllTypes[] = {ASIOSTInt16MSB,   ASIOSTInt24MSB,   ASIOSTInt32MSB,   ASIOSTFloat32MSB,
                             ASIOSTFloat64MSB, ASIOSTInt32MSB16, ASIOSTInt32MSB18, ASIOSTInt32MSB20,
                             ASIOSTInt32MSB24, ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,
                             ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16, ASIOSTInt32LSB18,
                             ASIOSTInt32LSB20, ASIOSTInt32LSB24};

bool isBig(int32_t t) {
  return t < 16;
}

// The little-endian integer value of one written sample (after undoing big-endian order).
int64_t writtenValue(int32_t type, const uint8_t* p) {
  int w = sampleWidth(type);
  uint64_t v = 0;
  for (int i = 0; i < w; ++i) v |= uint64_t(isBig(type) ? p[w - 1 - i] : p[i]) << (8 * i);
  int bits = 8 * w;
  if (v & (uint64_t(1) << (bits - 1))) return int64_t(v) - (int64_t(1) << bits);
  return int64_t(v);
}

float floatOf(uint32_t bits) {
  return std::bit_cast<float>(bits);
}

// Both builds of the loops where the processor runs both: the baseline and the AVX-512 one.
std::vector<bool> loopBuilds() {
  std::vector<bool> builds{false};
  if (sampleconv::wideLoopsAvailable()) builds.push_back(true);
  return builds;
}
struct LoopBuild {
  explicit LoopBuild(bool wide) { sampleconv::allowWideLoops(wide); }
  ~LoopBuild() { sampleconv::allowWideLoops(true); }
};

}  // namespace

TEST(SampleConversion, ConstantsHaveTheirBitPatterns) {
  // Int16 in: s * A + B; s = 0 gives B itself, so both constants show in the results.
  int16_t zero = 0;
  float out = 0;
  ASSERT_TRUE(toFloat(ASIOSTInt16LSB, &zero, &out, 1));
  EXPECT_EQ(std::bit_cast<uint32_t>(out), 0x3780007Fu);
  int16_t one = 1;
  ASSERT_TRUE(toFloat(ASIOSTInt16LSB, &one, &out, 1));
  EXPECT_EQ(out, floatOf(0x3800007Fu) + floatOf(0x3780007Fu));
  int16_t extremes[2] = {32767, -32768};
  float ex[2];
  ASSERT_TRUE(toFloat(ASIOSTInt16LSB, extremes, ex, 2));
  EXPECT_NEAR(ex[0], 1.0f, 1e-6);
  EXPECT_NEAR(ex[1], -1.0f, 1e-6);
  // Int24 in: s * 2^-23 + 2^-24.
  uint8_t i24[6] = {0, 0, 0, 0xFF, 0xFF, 0x7F};
  ASSERT_TRUE(toFloat(ASIOSTInt24LSB, i24, ex, 2));
  EXPECT_EQ(ex[0], 0x1p-24f);
  EXPECT_EQ(ex[1], 8388607.0f * 0x1p-23f + 0x1p-24f);
}

// +1.0, -1.0 and 0.0 through every integer output type; the values the constants are chosen for.
TEST(SampleConversion, FullScaleAndZeroOutputs) {
  struct Case {
    int32_t type;
    int64_t plus, minus;
  };
  const Case cases[] = {
      {ASIOSTInt16LSB, 32767, -32768},           {ASIOSTInt16MSB, 32767, -32768},
      {ASIOSTInt24LSB, 8388606, -8388607},       {ASIOSTInt24MSB, 8388606, -8388607},
      {ASIOSTInt32LSB, 0x7FFFFE00, -0x7FFFFF00}, {ASIOSTInt32MSB, 0x7FFFFE00, -0x7FFFFF00},
      {ASIOSTInt32LSB16, 32767, -32768},         {ASIOSTInt32MSB16, 32767, -32768},
      {ASIOSTInt32LSB18, 131071, -131072},       {ASIOSTInt32MSB18, 131071, -131072},
      {ASIOSTInt32LSB20, 524287, -524288},       {ASIOSTInt32MSB20, 524287, -524288},
      {ASIOSTInt32LSB24, 8388606, -8388607},     {ASIOSTInt32MSB24, 8388606, -8388607},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const float in[3] = {1.0f, -1.0f, 0.0f};
    uint8_t buf[24];
    ASSERT_TRUE(fromFloat(c.type, in, buf, 3));
    int w = sampleWidth(c.type);
    EXPECT_EQ(writtenValue(c.type, buf), c.plus);
    EXPECT_EQ(writtenValue(c.type, buf + w), c.minus);
    EXPECT_EQ(writtenValue(c.type, buf + 2 * w), 0);
  }
}

// What the formula leaves undefined or gets wrong: NaN is 0, infinities and samples far beyond
// full scale are the extreme of their sign (the formula alone gives NaN for infinities and 0 or a
// silence for samples of 2^24 and more).
TEST(SampleConversion, NaNInfinityAndOverrangeAreDefined) {
  for (bool wide : loopBuilds()) {
    SCOPED_TRACE(wide ? "AVX-512 loops" : "baseline loops");
    LoopBuild build(wide);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float in[] = {nan, -nan, inf, -inf, 1e30f, -1e30f, 1.5f, 3.0e7f};
    const int n = sizeof(in) / sizeof(in[0]);
    for (int32_t type : {ASIOSTInt16LSB, ASIOSTInt24MSB, ASIOSTInt32LSB, ASIOSTInt32LSB20}) {
      SCOPED_TRACE(type);
      uint8_t buf[8 * 8];
      uint8_t one[8];
      ASSERT_TRUE(fromFloat(type, in, buf, n));
      int w = sampleWidth(type);
      const float plusOne = 1.0f, minusOne = -1.0f;
      fromFloat(type, &plusOne, one, 1);
      int64_t top = writtenValue(type, one);
      fromFloat(type, &minusOne, one, 1);
      int64_t bottom = writtenValue(type, one);
      EXPECT_EQ(writtenValue(type, buf), 0);
      EXPECT_EQ(writtenValue(type, buf + w), 0);
      EXPECT_EQ(writtenValue(type, buf + 2 * w), top);
      EXPECT_EQ(writtenValue(type, buf + 3 * w), bottom);
      EXPECT_EQ(writtenValue(type, buf + 4 * w), top);
      EXPECT_EQ(writtenValue(type, buf + 5 * w), bottom);
      EXPECT_EQ(writtenValue(type, buf + 6 * w), top);
      EXPECT_EQ(writtenValue(type, buf + 7 * w), top);
    }
    // Float64 carries the clamped value; Float32 is copied bit for bit, NaN included.
    double d[4];
    const float f4[4] = {nan, inf, -inf, 0.25f};
    ASSERT_TRUE(fromFloat(ASIOSTFloat64LSB, f4, d, 4));
    EXPECT_EQ(d[0], 0.0);
    EXPECT_EQ(d[1], double(floatOf(0x3F7FFFFEu)));
    EXPECT_EQ(d[2], -double(floatOf(0x3F7FFFFEu)));
    EXPECT_EQ(d[3], 0.25);
    float f[4];
    ASSERT_TRUE(fromFloat(ASIOSTFloat32LSB, f4, f, 4));
    EXPECT_EQ(std::memcmp(f, f4, sizeof f), 0);
  }
}

TEST(SampleConversion, BigEndianByteOrder) {
  // Output Int24MSB: three bytes, high byte first. 0.5 -> trunc(2*0.5*4194304 - 0.5) = 4194303.
  const float half = 0.5f;
  uint8_t b[3];
  ASSERT_TRUE(fromFloat(ASIOSTInt24MSB, &half, b, 1));
  EXPECT_EQ(b[0], 0x3F);
  EXPECT_EQ(b[1], 0xFF);
  EXPECT_EQ(b[2], 0xFF);
  // Input of a big-endian type reverses the driver's buffer in place, then reads little-endian.
  uint8_t in16[4] = {0x12, 0x34, 0x80, 0x00};
  float out[2];
  ASSERT_TRUE(toFloat(ASIOSTInt16MSB, in16, out, 2));
  const uint8_t reversed[4] = {0x34, 0x12, 0x00, 0x80};
  EXPECT_EQ(std::memcmp(in16, reversed, 4), 0);
  EXPECT_EQ(out[0], float(0x1234) * floatOf(0x3800007Fu) + floatOf(0x3780007Fu));
  EXPECT_EQ(out[1], -32768.0f * floatOf(0x3800007Fu) + floatOf(0x3780007Fu));
  uint8_t f64[8];
  double d = -0.375;
  std::memcpy(f64, &d, 8);
  std::reverse(f64, f64 + 8);
  ASSERT_TRUE(toFloat(ASIOSTFloat64MSB, f64, out, 1));
  EXPECT_EQ(out[0], -0.375f);
  float x = 0.75f;
  uint32_t w;
  ASSERT_TRUE(fromFloat(ASIOSTFloat32MSB, &x, &w, 1));
  EXPECT_EQ(w, __builtin_bswap32(std::bit_cast<uint32_t>(x)));
}

TEST(SampleConversion, TypesOutsideTheTablesAreNotConverted) {
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  float f[2] = {0.5f, 0.5f};
  for (int32_t type : {5, 7, 12, 15, 21, 23, 28, ASIOSTDSDInt8LSB1, ASIOSTDSDInt8NER8, -1}) {
    EXPECT_FALSE(sampleconv::isConvertible(type));
    EXPECT_FALSE(toFloat(type, buf, f, 2));
    EXPECT_FALSE(fromFloat(type, f, buf, 2));
  }
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(f[0], 0.5f);
}

// The vectorised loops against the per-sample oracle.
TEST(SampleConversion, InputFastPathMatchesReferenceOverEveryInt16) {
  for (bool wide : loopBuilds()) {
    SCOPED_TRACE(wide ? "AVX-512 loops" : "baseline loops");
    LoopBuild build(wide);
    std::vector<uint8_t> raw(65536 * 2);
    for (uint32_t v = 0; v < 65536; ++v) {
      raw[2 * v] = uint8_t(v);
      raw[2 * v + 1] = uint8_t(v >> 8);
    }
    for (int32_t type : {ASIOSTInt16LSB, ASIOSTInt16MSB}) {
      std::vector<uint8_t> buf = raw;
      std::vector<float> out(65536);
      ASSERT_TRUE(toFloat(type, buf.data(), out.data(), out.size()));
      if (isBig(type)) {  // reversed in place in the driver's buffer
        for (size_t b = 0; b < raw.size(); b += 2)
          ASSERT_TRUE(buf[b] == raw[b + 1] && buf[b + 1] == raw[b]) << b;
      }
      for (uint32_t v = 0; v < 65536; ++v) {
        float ref = toFloatReference(type, &raw[2 * v]);
        ASSERT_EQ(std::bit_cast<uint32_t>(out[v]), std::bit_cast<uint32_t>(ref)) << type << " " << v;
      }
    }
  }
}

TEST(SampleConversion, InputFastPathMatchesReferenceOverEveryInt24) {
  for (bool wide : loopBuilds()) {
    SCOPED_TRACE(wide ? "AVX-512 loops" : "baseline loops");
    LoopBuild build(wide);
    const size_t n = size_t(1) << 24;
    std::vector<uint8_t> raw(n * 3);
    for (uint32_t v = 0; v < n; ++v) {
      raw[3 * v] = uint8_t(v);
      raw[3 * v + 1] = uint8_t(v >> 8);
      raw[3 * v + 2] = uint8_t(v >> 16);
    }
    std::vector<float> out(n);
    for (int32_t type : {ASIOSTInt24LSB, ASIOSTInt24MSB}) {
      std::vector<uint8_t> buf = raw;
      ASSERT_TRUE(toFloat(type, buf.data(), out.data(), n));
      if (isBig(type)) {  // reversed in place in the driver's buffer
        for (size_t b = 0; b < raw.size(); b += 3)
          ASSERT_TRUE(buf[b] == raw[b + 2] && buf[b + 2] == raw[b]) << b;
      }
      for (uint32_t v = 0; v < n; ++v) {
        float ref = toFloatReference(type, &raw[3 * v]);
        ASSERT_EQ(std::bit_cast<uint32_t>(out[v]), std::bit_cast<uint32_t>(ref)) << type << " " << v;
      }
    }
    // The 32-bit containers over the same values, placed where each type keeps its bits.
    std::vector<uint8_t> words(n * 4);
    for (int32_t type :
         {ASIOSTInt32LSB, ASIOSTInt32LSB24, ASIOSTInt32MSB20, ASIOSTInt32LSB16, ASIOSTInt32MSB18}) {
      int shift = type == ASIOSTInt32LSB ? 8 : 0;
      for (uint32_t v = 0; v < n; ++v) {
        uint32_t w = (v << shift) | (shift ? (v & 0xFF) : (v & 0xFF000000u));  // noise in unused bits
        for (int i = 0; i < 4; ++i) words[4 * v + i] = uint8_t(w >> (8 * (isBig(type) ? 3 - i : i)));
      }
      std::vector<uint8_t> buf = words;
      ASSERT_TRUE(toFloat(type, buf.data(), out.data(), n));
      for (uint32_t v = 0; v < n; v += 7) {
        float ref = toFloatReference(type, &words[4 * v]);
        ASSERT_EQ(std::bit_cast<uint32_t>(out[v]), std::bit_cast<uint32_t>(ref)) << type << " " << v;
      }
    }
  }
}

TEST(SampleConversion, FastPathsMatchReferenceOverAFloatSweep) {
  for (bool wide : loopBuilds()) {
    SCOPED_TRACE(wide ? "AVX-512 loops" : "baseline loops");
    LoopBuild build(wide);
    std::vector<float> xs;
    const float inf = std::numeric_limits<float>::infinity();
    for (float x : {0.0f,
                    -0.0f,
                    1.0f,
                    -1.0f,
                    0.5f,
                    -0.5f,
                    inf,
                    -inf,
                    std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::denorm_min(),
                    -std::numeric_limits<float>::denorm_min(),
                    std::numeric_limits<float>::min(),
                    std::numeric_limits<float>::max(),
                    -std::numeric_limits<float>::max(),
                    std::nextafter(1.0f, 2.0f),
                    std::nextafter(1.0f, 0.0f),
                    std::nextafter(-1.0f, -2.0f),
                    floatOf(0x3F7FFFFEu),
                    1.0f / 65535,
                    -1.0f / 65535})
      xs.push_back(x);
    // Every 4099th bit pattern covers all exponents (denormals, NaN payloads, both signs)...
    for (uint64_t b = 0; b < (uint64_t(1) << 32); b += 4099) xs.push_back(floatOf(uint32_t(b)));
    // ...and a dense walk around full scale, where rounding decides the last code.
    for (uint32_t b = 0x3F7F0000u; b < 0x3F810000u; ++b) {
      xs.push_back(floatOf(b));
      xs.push_back(-floatOf(b));
    }
    for (int32_t type : kAllTypes) {
      SCOPED_TRACE(type);
      int w = sampleWidth(type);
      std::vector<uint8_t> fast(xs.size() * w), ref(w);
      ASSERT_TRUE(fromFloat(type, xs.data(), fast.data(), xs.size()));
      for (size_t i = 0; i < xs.size(); ++i) {
        fromFloatReference(type, xs[i], ref.data());
        ASSERT_EQ(std::memcmp(&fast[i * w], ref.data(), w), 0) << "x bits " << std::bit_cast<uint32_t>(xs[i]);
      }
      // And back: the input side of the same bytes.
      std::vector<float> back(xs.size());
      std::vector<uint8_t> bytes = fast;
      ASSERT_TRUE(toFloat(type, bytes.data(), back.data(), xs.size()));
      for (size_t i = 0; i < xs.size(); ++i) {
        float r = toFloatReference(type, &fast[i * w]);
        ASSERT_EQ(std::bit_cast<uint32_t>(back[i]), std::bit_cast<uint32_t>(r)) << i;
      }
    }
  }
}

// Every length from 0 to 19, so each vector loop's tail and its last-sample handling are covered,
// and nothing beyond `frames` samples is read or written.
TEST(SampleConversion, ShortLengthsTouchExactlyTheirSamples) {
  for (bool wide : loopBuilds()) {
    SCOPED_TRACE(wide ? "AVX-512 loops" : "baseline loops");
    LoopBuild build(wide);
    for (int32_t type : kAllTypes) {
      const int w = sampleWidth(type);
      for (size_t n = 0; n < 20; ++n) {
        SCOPED_TRACE(testing::Message() << type << " n=" << n);
        std::vector<float> xs(n + 1, 7.0f), back(n + 1, 7.0f);
        for (size_t i = 0; i < n; ++i) xs[i] = float(int(i) - 9) / 9.5f;
        std::vector<uint8_t> bytes((n + 1) * w, 0xEE);
        ASSERT_TRUE(fromFloat(type, xs.data(), bytes.data(), n));
        for (size_t i = 0; i < n; ++i) {
          std::vector<uint8_t> ref(w);
          fromFloatReference(type, xs[i], ref.data());
          ASSERT_EQ(std::memcmp(&bytes[i * w], ref.data(), w), 0) << i;
        }
        for (int k = 0; k < w; ++k) ASSERT_EQ(bytes[n * w + k], 0xEE);
        std::vector<uint8_t> original = bytes;
        ASSERT_TRUE(toFloat(type, bytes.data(), back.data(), n));
        for (size_t i = 0; i < n; ++i)
          ASSERT_EQ(std::bit_cast<uint32_t>(back[i]),
                    std::bit_cast<uint32_t>(toFloatReference(type, &original[i * w])));
        EXPECT_EQ(back[n], 7.0f);
        for (int k = 0; k < w; ++k) ASSERT_EQ(bytes[n * w + k], 0xEE);
      }
    }
  }
}
