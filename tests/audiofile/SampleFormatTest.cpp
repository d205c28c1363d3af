// The conversion of every sample layout to float.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audiofile/SampleFormat.h"

namespace {

struct Row {
  const char* name;
  audiofile::SampleLayout layout;
  std::vector<uint8_t> bytes;  // one unit
  float left, right;
};

std::vector<uint8_t> floatBytes(float f, bool reversed) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &f, 4);
  if (reversed) std::reverse(b.begin(), b.end());
  return b;
}
std::vector<uint8_t> doubleBytes(double d, bool reversed) {
  std::vector<uint8_t> b(8);
  std::memcpy(b.data(), &d, 8);
  if (reversed) std::reverse(b.begin(), b.end());
  return b;
}
std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SampleFormat, ConversionTable) {
  using SF = SampleFormat;
  const Row rows[] = {
      {"mono8 signed", {SF::Mono8, false, false}, {0x80}, -0.5f, -0.5f},
      {"mono8 signed max", {SF::Mono8, false, false}, {0x7F}, 127 / 256.0f, 127 / 256.0f},
      {"mono8 unsigned zero", {SF::Mono8, false, true}, {0x80}, 0.0f, 0.0f},
      {"mono8 unsigned min", {SF::Mono8, false, true}, {0x00}, -0.5f, -0.5f},
      {"stereo8", {SF::Stereo8, false, false}, {0x40, 0xC0}, 0.25f, -0.25f},
      {"mono16 le", {SF::Mono16, false, false}, {0x00, 0x80}, -1.0f, -1.0f},
      {"mono16 be", {SF::Mono16, true, false}, {0x40, 0x00}, 0.5f, 0.5f},
      {"stereo16 le", {SF::Stereo16, false, false}, {0xFF, 0x7F, 0x01, 0x00}, 32767 / 32768.0f, 1 / 32768.0f},
      {"mono24 le negative", {SF::Mono24, false, false}, {0x00, 0x00, 0x80}, -1.0f, -1.0f},
      {"mono24 be",
       {SF::Mono24, true, false},
       {0x40, 0x00, 0x01},
       static_cast<float>(0x400001 / 8388608.0),
       static_cast<float>(0x400001 / 8388608.0)},
      {"stereo24 le",
       {SF::Stereo24, false, false},
       {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x40},
       static_cast<float>(-1 / 8388608.0),
       0.5f},
      {"mono32 le", {SF::Mono32, false, false}, {0x00, 0x00, 0x00, 0x80}, -1.0f, -1.0f},
      {"stereo32 be",
       {SF::Stereo32, true, false},
       {0x40, 0, 0, 0, 0x00, 0, 0, 0x01},
       0.5f,
       static_cast<float>(1 / 2147483648.0)},
      {"monofloat32 le", {SF::MonoFloat32, false, false}, floatBytes(-0.125f, false), -0.125f, -0.125f},
      {"stereofloat32 be",
       {SF::StereoFloat32, true, false},
       cat(floatBytes(1.5f, true), floatBytes(-2.0f, true)),
       1.5f,
       -2.0f},
      {"monofloat64 le",
       {SF::MonoFloat64, false, false},
       doubleBytes(0.1, false),
       static_cast<float>(0.1),
       static_cast<float>(0.1)},
      {"stereofloat64 be",
       {SF::StereoFloat64, true, false},
       cat(doubleBytes(0.3, true), doubleBytes(-0.7, true)),
       static_cast<float>(0.3),
       static_cast<float>(-0.7)},
      {"mono64 is silence", {SF::Mono64, false, false}, {1, 2, 3, 4, 5, 6, 7, 0x40}, 0.0f, 0.0f},
      {"stereo64 is silence", {SF::Stereo64, true, false}, std::vector<uint8_t>(16, 0x40), 0.0f, 0.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(r.bytes.size(), audiofile::unitBytes(r.layout.code));
    float left = 9.0f, right = 9.0f;
    audiofile::convertUnits(r.layout, r.bytes.data(), 1, &left, &right);
    EXPECT_EQ(left, r.left);
    EXPECT_EQ(right, r.right);
  }
  EXPECT_EQ(audiofile::unitBytes(0), 0u);
  EXPECT_EQ(audiofile::unitBytes(15), 0u);
}

}  // namespace
