// The AIFF reader's chunk walk, bit-depth table and compression types, the 80-bit rate, and the
// 16-bit big-endian writer.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Fixtures.h"
#include "audiofile/VLAudioFileAIFF.h"

using fixtures::Bytes;
using fixtures::chunk;
using fixtures::comm;
using fixtures::form;
using fixtures::kRate44100;
using fixtures::ssnd;

namespace {

struct Arrays {
  explicit Arrays(size_t n) : left(n, 0.0f), right(n, 0.0f) {}
  ChannelBufferPair pair() { return {left.data(), right.data()}; }
  std::vector<float> left, right;
};

Bytes commChunk(const Bytes& body) {
  return chunk("COMM", body, true);
}
Bytes ssndChunk(const Bytes& body) {
  return chunk("SSND", body, true);
}

TEST(AiffReader, PlainStereo16ReadsMostSignificantByteFirst) {
  const Bytes samples = Bytes().be16(0x1234).be16(0xFF00).be16(0x7FFF).be16(0x8000);
  const Bytes file = form("AIFF", {commChunk(comm(2, 2, 16, kRate44100)), ssndChunk(ssnd(samples))});
  VLAudioFileAIFF aiff;
  ASSERT_EQ(aiff.openReadMemory(file.data(), file.size()), 2u);
  EXPECT_EQ(aiff.sampleFormat, SampleFormat::Stereo16);
  EXPECT_EQ(aiff.sampleRate, 44100);
  EXPECT_EQ(aiff.dataBytes, 8u);
  EXPECT_EQ(aiff.fileKind, FileKind::AIFF);
  Arrays a(2);
  ASSERT_TRUE(aiff.readAll(a.pair()));
  EXPECT_EQ(a.left, (std::vector<float>{0x1234 / 32768.0f, 32767 / 32768.0f}));
  EXPECT_EQ(a.right, (std::vector<float>{-256 / 32768.0f, -1.0f}));
}

struct DepthRow {
  int16_t bits, channels;
  const char* compression;  // nullptr: plain AIFF
  uint32_t format;          // 0: refused
  uint32_t bytesPerFrame;
};

TEST(AiffReader, BitDepthTable) {
  const DepthRow rows[] = {
      {8, 1, nullptr, SampleFormat::Mono8, 1},
      {8, 2, nullptr, SampleFormat::Stereo8, 2},
      {16, 1, nullptr, SampleFormat::Mono16, 2},
      {16, 2, "NONE", SampleFormat::Stereo16, 4},
      {24, 1, nullptr, SampleFormat::Mono24, 3},
      {24, 2, nullptr, SampleFormat::Stereo24, 6},
      {32, 1, nullptr, SampleFormat::Mono32, 4},
      {32, 2, nullptr, SampleFormat::Stereo32, 8},
      {32, 1, "fl32", SampleFormat::MonoFloat32, 4},
      {32, 2, "fl32", SampleFormat::StereoFloat32, 8},
      {16, 2, "fl32", SampleFormat::Stereo16, 4},
      {64, 1, nullptr, SampleFormat::Mono64, 8},
      {64, 2, nullptr, SampleFormat::Stereo64, 16},
      {64, 1, "fl64", SampleFormat::MonoFloat64, 8},
      {64, 2, "fl64", SampleFormat::StereoFloat64, 16},
      {32, 2, "fl64", SampleFormat::Stereo32, 8},
      {12, 2, nullptr, 0, 0},
      {0, 2, nullptr, 0, 0},
      {16, 3, nullptr, 0, 0},
      {16, 0, nullptr, 0, 0},
  };
  for (const DepthRow& r : rows) {
    SCOPED_TRACE(testing::Message() << r.bits << " bits, " << r.channels << " channels, "
                                    << (r.compression ? r.compression : "AIFF"));
    const uint32_t frames = 10;
    const Bytes file = form(r.compression ? "AIFC" : "AIFF",
                            {commChunk(comm(r.channels, frames, r.bits, kRate44100, r.compression)),
                             ssndChunk(ssnd(Bytes().ramp(frames * 16)))});
    VLAudioFileAIFF aiff;
    EXPECT_EQ(aiff.openReadMemory(file.data(), file.size()), r.format ? frames : 0u);
    if (r.format != 0) {
      EXPECT_EQ(aiff.sampleFormat, r.format);
      EXPECT_EQ(aiff.dataBytes, frames * r.bytesPerFrame);
    } else {
      EXPECT_EQ(aiff.file, nullptr);
    }
  }
}

TEST(AiffReader, CompressionTypesAreCaseSensitive) {
  struct Row {
    const char* type;
    bool accepted;
  };
  const Row rows[] = {{"NONE", true},  {"sowt", true},  {"fl32", true},  {"fl64", true},  {"FL32", false},
                      {"twos", false}, {"in24", false}, {"ima4", false}, {"ulaw", false}, {"alaw", false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.type);
    const Bytes file =
        form("AIFC", {commChunk(comm(2, 4, 16, kRate44100, r.type)), ssndChunk(ssnd(Bytes().ramp(16)))});
    VLAudioFileAIFF aiff;
    EXPECT_EQ(aiff.openReadMemory(file.data(), file.size()), r.accepted ? 4u : 0u);
  }
  // A plain AIFF form never has a compression type read, whatever its COMM chunk holds.
  const Bytes plain =
      form("AIFF", {commChunk(comm(2, 4, 16, kRate44100, "ulaw")), ssndChunk(ssnd(Bytes().ramp(16)))});
  EXPECT_EQ(VLAudioFileAIFF().openReadMemory(plain.data(), plain.size()), 4u);
}

TEST(AiffReader, SowtIsLittleEndian) {
  const Bytes file = form("AIFC", {commChunk(comm(1, 2, 16, kRate44100, "sowt")),
                                   ssndChunk(ssnd(Bytes().le16(0x1234).le16(0xFFFE)))});
  VLAudioFileAIFF aiff;
  ASSERT_EQ(aiff.openReadMemory(file.data(), file.size()), 2u);
  EXPECT_EQ(aiff.bigEndian, 0);
  Arrays a(2);
  ASSERT_TRUE(aiff.readAll(a.pair()));
  EXPECT_EQ(a.left, (std::vector<float>{0x1234 / 32768.0f, -2 / 32768.0f}));
  EXPECT_EQ(a.right, a.left);
}

TEST(AiffReader, ChunkWalk) {
  const Bytes samples = Bytes().be16(0x0102).be16(0x0304).be16(0x0506).be16(0x0708);
  Bytes oddComm = comm(2, 2, 16, kRate44100);
  oddComm.u8(0x55);  // 19 bytes, followed by a pad byte
  struct Row {
    const char* name;
    Bytes file;
    uint32_t frames;
    float firstLeft;
  };
  const Row rows[] = {
      {"SSND offset 8", form("AIFF", {commChunk(comm(2, 2, 16, kRate44100)), ssndChunk(ssnd(samples, 8))}), 2,
       0x0102 / 32768.0f},
      {"odd COMM and pad byte", form("AIFF", {commChunk(oddComm), ssndChunk(ssnd(samples))}), 2,
       0x0102 / 32768.0f},
      {"other chunk first",
       form("AIFF", {chunk("ANNO", Bytes().str("abc"), true), commChunk(comm(2, 2, 16, kRate44100)),
                     ssndChunk(ssnd(samples))}),
       2, 0x0102 / 32768.0f},
      {"SSND before COMM", form("AIFF", {ssndChunk(ssnd(samples)), commChunk(comm(2, 2, 16, kRate44100))}), 0,
       0},
      {"no SSND", form("AIFF", {commChunk(comm(2, 2, 16, kRate44100))}), 0, 0},
      {"frames beyond the file",
       form("AIFF", {commChunk(comm(2, 3, 16, kRate44100)), ssndChunk(ssnd(samples))}), 0, 0},
      {"huge frame count",
       form("AIFF", {commChunk(comm(2, 0xFFFFFFF0u, 16, kRate44100)), ssndChunk(ssnd(samples))}), 0, 0},
      {"SSND offset beyond the file",
       form("AIFF", {commChunk(comm(2, 2, 16, kRate44100)),
                     ssndChunk(Bytes().be32(0xFFFFFF00u).be32(0).append(samples))}),
       0, 0},
      {"truncated COMM", Bytes(form("AIFF", {})).str("COMM").be32(18).raw({0, 2, 0, 0}), 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    VLAudioFileAIFF aiff;
    ASSERT_EQ(aiff.openReadMemory(r.file.data(), r.file.size()), r.frames);
    if (r.frames == 0) {
      EXPECT_EQ(aiff.file, nullptr);
      continue;
    }
    Arrays a(r.frames);
    ASSERT_TRUE(aiff.readAll(a.pair()));
    EXPECT_EQ(a.left[0], r.firstLeft);
    EXPECT_EQ(a.right[1], 0x0708 / 32768.0f);
  }
}

TEST(AiffReader, ZeroFramesReturnsZeroButKeepsTheStream) {
  const Bytes file = form("AIFF", {commChunk(comm(2, 0, 16, kRate44100)), ssndChunk(ssnd(Bytes()))});
  VLAudioFileAIFF aiff;
  EXPECT_EQ(aiff.openReadMemory(file.data(), file.size()), 0u);
  EXPECT_NE(aiff.file, nullptr);
}

TEST(AiffRate, DecodeTable) {
  struct Row {
    std::array<uint8_t, 10> bytes;
    int32_t rate;
  };
  const Row rows[] = {
      {{0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 44100},
      {{0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 48000},
      {{0x40, 0x0D, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}, 32000},
      {{0x40, 0x0F, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 96000},
      {{0x40, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 0}, 2},
      {{0x40, 0x0E, 0xAC, 0x44, 0x80, 0, 0, 0, 0, 0}, 44100},  // 44100.5: the fraction is dropped
      {{0x40, 0x1C, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0}, 0x3FFFFFFF},
      {{0x3F, 0xFF, 0x80, 0x00, 0, 0, 0, 0, 0, 0}, 0},  // 1.0
      {{0xC0, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 0},  // negative
      {{0x40, 0x1D, 0x80, 0x00, 0, 0, 0, 0, 0, 0}, 0},  // 2^30
      {{0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0}, 0},
  };
  for (const Row& r : rows) EXPECT_EQ(VLAudioFileAIFF::decodeExtended80(r.bytes.data()), r.rate) << r.rate;
}

TEST(AiffRate, EncodeTableAndRoundTrip) {
  struct Row {
    uint32_t rate;
    std::array<uint8_t, 10> bytes;
  };
  const Row rows[] = {
      {44100, {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
      {48000, {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
      {32000, {0x40, 0x0D, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}},
      {1, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {0, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {2, {0x40, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {1u << 30, {0x40, 0x1D, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Row& r : rows) {
    std::array<uint8_t, 10> out{};
    VLAudioFileAIFF::encodeExtended80(r.rate, out.data());
    EXPECT_EQ(out, r.bytes) << r.rate;
  }
  for (uint32_t rate : {2u, 3u, 8000u, 11025u, 22050u, 44100u, 88200u, 192000u, 1234567u, (1u << 30) - 1}) {
    std::array<uint8_t, 10> out{};
    VLAudioFileAIFF::encodeExtended80(rate, out.data());
    EXPECT_EQ(VLAudioFileAIFF::decodeExtended80(out.data()), static_cast<int32_t>(rate));
  }
}

TEST(AiffWriter, GoldenHeaderAndBigEndianSamples) {
  fixtures::TempDir dir;
  VLAudioFileAIFF aiff;
  ASSERT_TRUE(aiff.openWrite(dir.file("h.aiff").c_str(), 1000, 44100));
  aiff.close();
  const Bytes golden = Bytes()
                           .str("FORM")
                           .be32(4046)
                           .str("AIFF")  // FORM header
                           .str("COMM")
                           .be32(18)
                           .be16(2)
                           .be32(1000)
                           .be16(16)                                         // COMM: 2 ch, 16 bit
                           .raw({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0})  // 44100 Hz
                           .str("SSND")
                           .be32(4008)
                           .be32(0)
                           .be32(0);  // SSND, offset, block
  EXPECT_EQ(fixtures::TempDir::read(dir.file("h.aiff")), golden.v);

  std::vector<float> left{0.5f, -2.0f}, right{-1.0f, 1.5f};
  VLAudioFileAIFF take;
  ASSERT_TRUE(take.openWrite(dir.file("t.aiff").c_str(), 2, 48000));
  ASSERT_TRUE(take.writeFrames16({left.data(), right.data()}, 2, true));
  const std::vector<uint8_t> bytes = fixtures::TempDir::read(dir.file("t.aiff"));
  ASSERT_EQ(bytes.size(), 54u + 8u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 54, bytes.end()),
            (std::vector<uint8_t>{0x3F, 0xFF, 0x80, 0x01, 0x80, 0x01, 0x7F, 0xFF}));
  // And the reader takes its own file back.
  VLAudioFileAIFF back;
  ASSERT_EQ(back.openRead(dir.file("t.aiff").c_str()), 2u);
  EXPECT_EQ(back.sampleRate, 48000);
}

}  // namespace
