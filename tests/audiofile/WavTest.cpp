// The WAV reader's chunk walk and layout table, the shared block reader and the 16-bit writer,
// over byte images built here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "Fixtures.h"
#include "audiofile/VLAudioFileWAV.h"

using fixtures::Bytes;
using fixtures::chunk;
using fixtures::riff;
using fixtures::wavFmt;

namespace {

struct Arrays {
  explicit Arrays(size_t n) : left(n, 0.0f), right(n, 0.0f) {}
  ChannelBufferPair pair() { return {left.data(), right.data()}; }
  std::vector<float> left, right;
};

Bytes canonical16(uint32_t frames) {
  Bytes samples;
  for (uint32_t i = 0; i < frames; ++i)
    samples.le16(i * 300).le16(static_cast<uint32_t>(-static_cast<int32_t>(i) * 300));
  return riff({wavFmt(1, 2, 44100, 4, 16), chunk("data", samples)});
}

TEST(WavReader, CanonicalStereo16ReadsEveryFrameScaledBy32768) {
  const Bytes file = canonical16(100);
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 100u);
  EXPECT_EQ(wav.sampleFormat, SampleFormat::Stereo16);
  EXPECT_EQ(wav.sampleRate, 44100);
  EXPECT_EQ(wav.dataOffset, 44);
  EXPECT_EQ(wav.dataBytes, 400u);
  Arrays a(100);
  ASSERT_TRUE(wav.readAll(a.pair()));
  for (int i : {0, 1, 50, 99}) {
    EXPECT_EQ(a.left[i], static_cast<int16_t>(i * 300) / 32768.0f) << i;
    EXPECT_EQ(a.right[i], static_cast<int16_t>(-i * 300) / 32768.0f) << i;
  }
}

struct AlignRow {
  uint16_t align, channels, tag, bits;
  uint32_t format;  // 0: refused
  bool opened;      // openRead returns the frame count
};

TEST(WavReader, BlockAlignmentTable) {
  const AlignRow rows[] = {
      {1, 1, 1, 8, SampleFormat::Mono8, true},
      {2, 1, 1, 16, SampleFormat::Mono16, true},
      {2, 2, 1, 8, SampleFormat::Stereo8, true},
      {3, 1, 1, 24, SampleFormat::Mono24, true},
      {4, 1, 1, 32, SampleFormat::Mono32, true},
      {4, 1, 0xFFFE, 32, SampleFormat::Mono32, true},
      {4, 1, 3, 32, SampleFormat::MonoFloat32, true},
      {4, 2, 1, 16, SampleFormat::Stereo16, true},
      {4, 2, 0xFFFE, 16, SampleFormat::Stereo16, true},
      {6, 2, 0xFFFE, 24, SampleFormat::Stereo24, true},
      {8, 2, 1, 32, SampleFormat::Stereo32, true},
      {8, 2, 3, 32, SampleFormat::StereoFloat32, true},
      {8, 1, 3, 64, SampleFormat::MonoFloat64, true},
      {8, 1, 1, 64, SampleFormat::Mono64, true},
      {8, 1, 0xFFFE, 64, 0, false},
      {8, 2, 0xFFFE, 32, 0, false},
      {16, 2, 1, 64, SampleFormat::Stereo64, true},
      {16, 2, 3, 64, SampleFormat::StereoFloat64, true},
      {16, 2, 0xFFFE, 64, 0, false},
      {5, 1, 1, 40, 0, false},
      {12, 2, 1, 48, 0, false},
  };
  for (const AlignRow& r : rows) {
    SCOPED_TRACE(testing::Message() << "align " << r.align << " channels " << r.channels << " tag " << r.tag);
    const Bytes file =
        riff({wavFmt(r.tag, r.channels, 48000, r.align, r.bits), chunk("data", Bytes().ramp(96))});
    VLAudioFileWAV wav;
    const uint32_t frames = wav.openReadMemory(file.data(), file.size());
    EXPECT_EQ(frames, r.opened ? 96u / r.align : 0u);
    EXPECT_EQ(wav.sampleFormat, r.format);
    if (r.opened) {
      EXPECT_NE(wav.file, nullptr);
    }
  }
}

TEST(WavReader, OneChannelAlignment8IsOneDoubleNotAStereoFrame) {
  Bytes samples;
  for (double d : {0.25, -0.5, 0.1}) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    samples.le32(static_cast<uint32_t>(u)).le32(static_cast<uint32_t>(u >> 32));
  }
  const Bytes file = riff({wavFmt(3, 1, 48000, 8, 64), chunk("data", samples)});
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 3u);
  Arrays a(3);
  ASSERT_TRUE(wav.readAll(a.pair()));
  EXPECT_EQ(a.left, (std::vector<float>{0.25f, -0.5f, static_cast<float>(0.1)}));
  EXPECT_EQ(a.right, a.left);
}

TEST(WavReader, ChunkWalk) {
  const Bytes fmt = wavFmt(1, 2, 44100, 4, 16);
  const Bytes data = chunk("data", Bytes().ramp(16));
  struct Row {
    const char* name;
    Bytes file;
    uint32_t frames;
  };
  Bytes longFmt;
  longFmt.str("fmt ").le32(18).le16(1).le16(2).le32(44100).le32(176400).le16(4).le16(16).le16(
      0);  // 2 extra bytes
  const Row rows[] = {
      {"odd chunk and pad byte before data", riff({fmt, chunk("odd ", Bytes().ramp(5)), data}), 4},
      {"LIST between fmt and data",
       riff({fmt, chunk("LIST", Bytes().str("INFOISFT").le32(4).str("vl!")), data}), 4},
      {"other prefix than RIFF", riff({fmt, data}, "JUNK"), 4},
      {"longer fmt chunk", riff({longFmt, data}), 4},
      {"data before fmt", riff({data, fmt}), 0},
      {"no data chunk", riff({fmt, chunk("LIST", Bytes().ramp(8))}), 0},
      {"three channels", riff({wavFmt(1, 3, 44100, 6, 16), data}), 0},
      {"truncated fmt", Bytes(riff({})).str("fmt ").le32(16).ramp(10), 0},
      {"shorter than the RIFF header", Bytes().str("RIFF").le32(4), 0},
      {"data chunk beyond the end of the file", riff({fmt, Bytes().str("data").le32(4000).ramp(16)}), 0},
      {"chunk size far beyond the file", riff({fmt, Bytes().str("huge").le32(0xFFFFFFF0u), data}), 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    VLAudioFileWAV wav;
    EXPECT_EQ(wav.openReadMemory(r.file.data(), r.file.size()), r.frames);
    if (r.frames == 0) {
      EXPECT_EQ(wav.file, nullptr);
    }
  }
}

TEST(WavReader, MoreFramesThanTheFrameCountHoldsAreRefused) {
  // 8-bit mono data of 2^31 + 2^28 bytes: one frame per byte, more than a signed 32-bit count.
  // The file is sparse, so it takes no room on disk.
  fixtures::TempDir dir;
  const uint32_t dataBytes = 0x90000000u;
  const Bytes header = riff({wavFmt(1, 1, 44100, 1, 8), Bytes().str("data").le32(dataBytes)});
  const std::string path = dir.write("long.wav", header);
  std::filesystem::resize_file(path, header.size() + dataBytes);
  VLAudioFileWAV wav;
  EXPECT_EQ(wav.openRead(path.c_str()), 0u);
  EXPECT_EQ(wav.file, nullptr);
}

TEST(WavReader, EightBitIsRecentredAndReadInOneBlockAndATail) {
  // 1500 unsigned samples: one 1024-byte block and a 476-byte tail.
  Bytes samples;
  for (int i = 0; i < 1500; ++i) samples.u8(static_cast<uint8_t>(i % 251));
  const Bytes file = riff({wavFmt(1, 1, 8000, 1, 8), chunk("data", samples)});
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 1500u);
  Arrays a(1500);
  ASSERT_TRUE(wav.readAll(a.pair()));
  for (int i : {0, 128, 1023, 1024, 1499}) {
    const float expected = static_cast<float>((i % 251) - 128) / 256.0f;
    EXPECT_EQ(a.left[i], expected) << i;
    EXPECT_EQ(a.right[i], expected) << i;
  }
}

TEST(WavReader, TwentyFourBitStereoInWholeBlocks) {
  // 972 x 3 bytes: 486 frames in three 162-frame blocks, nothing left for a tail.
  Bytes samples;
  for (int i = 0; i < 486; ++i) {
    const int32_t l = i * 1000 - 200000, r = -i * 77;
    samples.u8(l).u8(l >> 8).u8(l >> 16).u8(r).u8(r >> 8).u8(r >> 16);
  }
  ASSERT_EQ(samples.size(), 972u * 3);
  const Bytes file = riff({wavFmt(1, 2, 96000, 6, 24), chunk("data", samples)});
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 486u);
  Arrays a(486);
  ASSERT_TRUE(wav.readAll(a.pair()));
  for (int i : {0, 161, 162, 323, 324, 485}) {
    EXPECT_EQ(a.left[i], static_cast<float>((i * 1000 - 200000) / 8388608.0)) << i;
    EXPECT_EQ(a.right[i], static_cast<float>((-i * 77) / 8388608.0)) << i;
  }
}

TEST(WavReader, OddDataLengthConvertsWholeFramesOnly) {
  Bytes samples = Bytes().le16(1000).le16(2000).le16(3000).le16(4000).raw({0x11, 0x22, 0x33});
  const Bytes file = riff({wavFmt(1, 2, 44100, 4, 16), chunk("data", samples)});
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 2u);
  Arrays a(3);
  ASSERT_TRUE(wav.readAll(a.pair()));
  EXPECT_EQ(a.left, (std::vector<float>{1000 / 32768.0f, 3000 / 32768.0f, 0.0f}));
  EXPECT_EQ(a.right, (std::vector<float>{2000 / 32768.0f, 4000 / 32768.0f, 0.0f}));
}

TEST(WavReader, EveryFrameReadsWholeWhateverBitDepthTheHeaderDeclares) {
  // The declared depth need not match the container: 20-bit samples in three bytes, 24-bit samples
  // in four-byte words or, oddly, in doubles. Over several blocks no unit may be split or skipped.
  struct Row {
    const char* name;
    uint16_t tag, channels, align, bits;
  };
  const Row rows[] = {
      {"20 bits in 3 bytes, mono", 1, 1, 3, 20},
      {"20 bits in 3 bytes, stereo", 1, 2, 6, 20},
      {"24 bits in 4-byte words, stereo", 1, 2, 8, 24},
      {"24 bits declared on doubles, stereo", 3, 2, 16, 24},
  };
  // A 24-bit value per frame and channel; every layout below carries it exactly.
  auto value = [](uint32_t frame, uint32_t channel) {
    return static_cast<int32_t>((frame * 7919u + channel * 104729u) % 16777216u) - 8388608;
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const uint32_t frames = 4000u / r.align;  // about four blocks
    const uint32_t bytes = r.align / r.channels;
    Bytes samples;
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < r.channels; ++c) {
        const int32_t v = value(f, c);
        if (bytes == 3) {
          samples.u8(v).u8(v >> 8).u8(v >> 16);
        } else if (bytes == 4) {
          samples.le32(static_cast<uint32_t>(v) << 8);
        } else {
          const double d = v / 8388608.0;
          uint64_t u;
          std::memcpy(&u, &d, 8);
          samples.le32(static_cast<uint32_t>(u)).le32(static_cast<uint32_t>(u >> 32));
        }
      }
    }
    const Bytes file = riff({wavFmt(r.tag, r.channels, 44100, r.align, r.bits), chunk("data", samples)});
    VLAudioFileWAV wav;
    ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), frames);
    Arrays a(frames);
    ASSERT_TRUE(wav.readAll(a.pair()));
    uint32_t wrong = 0;
    for (uint32_t f = 0; f < frames; ++f) {
      const float left = static_cast<float>(value(f, 0) / 8388608.0);
      const float right = r.channels == 2 ? static_cast<float>(value(f, 1) / 8388608.0) : left;
      if (a.left[f] != left || a.right[f] != right) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
  }
}

TEST(WavReader, SixtyFourBitIntegersReadAsSilence) {
  const Bytes file = riff({wavFmt(1, 2, 44100, 16, 64), chunk("data", Bytes().fill(64, 0x40))});
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 4u);
  Arrays a(4);
  std::fill(a.left.begin(), a.left.end(), 9.0f);
  ASSERT_TRUE(wav.readAll(a.pair()));
  EXPECT_EQ(a.left, std::vector<float>(4, 0.0f));
}

TEST(WavReader, ReadAllFailsOnMissingStreamArraysOrShortData) {
  fixtures::TempDir dir;
  const Bytes file = canonical16(20000);  // larger than the stream's buffer
  const std::string path = dir.write("short.wav", file);
  VLAudioFileWAV wav;
  Arrays a(20000);
  EXPECT_FALSE(wav.readAll(a.pair()));  // no stream
  ASSERT_EQ(wav.openRead(path.c_str()), 20000u);
  EXPECT_FALSE(wav.readAll({a.left.data(), nullptr}));
  // The file loses its end after it was opened: the blocks before the short read stay converted.
  std::filesystem::resize_file(path, 44 + 40000);
  EXPECT_FALSE(wav.readAll(a.pair()));
  EXPECT_EQ(a.left[9000], static_cast<int16_t>(9000 * 300) / 32768.0f);
  EXPECT_EQ(a.left[15000], 0.0f);
  EXPECT_EQ(VLAudioFileWAV().openRead(dir.file("missing.wav").c_str()), 0u);
}

TEST(WavReader, CloseResetsTheFields) {
  const Bytes file = canonical16(10);
  VLAudioFileWAV wav;
  ASSERT_EQ(wav.openReadMemory(file.data(), file.size()), 10u);
  wav.close();
  EXPECT_EQ(wav.file, nullptr);
  EXPECT_EQ(wav.frameCount, 0);
  EXPECT_EQ(wav.dataOffset, 0);
  EXPECT_EQ(wav.bitsPerSample, 0);
  EXPECT_EQ(wav.sampleRate, 44100);
  wav.close();  // nothing open: nothing happens
}

TEST(WavWriter, GoldenHeaderFor1000FramesAt48000) {
  fixtures::TempDir dir;
  VLAudioFileWAV wav;
  ASSERT_TRUE(wav.openWrite(dir.file("h.wav").c_str(), 1000, 48000));
  EXPECT_EQ(wav.writing, 1);
  wav.close();
  const Bytes golden = Bytes()
                           .str("RIFF")
                           .le32(4036)
                           .str("WAVE")  // RIFF header
                           .str("fmt ")
                           .le32(16)  // fmt chunk header
                           .le16(1)
                           .le16(2)
                           .le32(48000)
                           .le32(192000)
                           .le16(4)
                           .le16(16)  // PCM, 2 ch, 16 bit
                           .str("data")
                           .le32(4000);  // data chunk header
  EXPECT_EQ(fixtures::TempDir::read(dir.file("h.wav")), golden.v);
}

TEST(WavWriter, SamplesAreClampedTruncatedAndInterleaved) {
  fixtures::TempDir dir;
  std::vector<float> left{0.5f, -1.0f, 1.5f, -2.0f, NAN, 0.99999f};
  std::vector<float> right{-0.5f, 1.0f, -1.5f, 2.0f, -0.0001f, -0.99999f};
  VLAudioFileWAV wav;
  ASSERT_TRUE(wav.openWrite(dir.file("s.wav").c_str(), 6, 44100));
  ASSERT_TRUE(wav.writeFrames16({left.data(), right.data()}, 6, true));
  EXPECT_EQ(wav.file, nullptr);
  const std::vector<uint8_t> bytes = fixtures::TempDir::read(dir.file("s.wav"));
  ASSERT_EQ(bytes.size(), 44u + 24u);
  std::vector<int16_t> got(12);
  std::memcpy(got.data(), bytes.data() + 44, 24);
  EXPECT_EQ(got, (std::vector<int16_t>{16383, -16383, -32767, 32767, 32767, -32767, -32767, 32767, 0, -3,
                                       32766, -32766}));
}

TEST(WavWriter, LongTakesGoInChunksAndZeroFramesWriteNothing) {
  fixtures::TempDir dir;
  std::vector<float> left(1000), right(1000);
  for (int i = 0; i < 1000; ++i) left[i] = right[i] = static_cast<float>(i) / 1000.0f;
  VLAudioFileWAV wav;
  ASSERT_TRUE(wav.openWrite(dir.file("l.wav").c_str(), 1000, 44100));
  ASSERT_TRUE(wav.writeFrames16({left.data(), right.data()}, 0, false));
  ASSERT_TRUE(wav.writeFrames16({left.data(), right.data()}, 1000, false));
  EXPECT_NE(wav.file, nullptr);  // stays open without closeAfter
  wav.close();
  const std::vector<uint8_t> bytes = fixtures::TempDir::read(dir.file("l.wav"));
  ASSERT_EQ(bytes.size(), 44u + 4000u);
  int16_t last;
  std::memcpy(&last, bytes.data() + 44 + 999 * 4, 2);
  EXPECT_EQ(last, static_cast<int16_t>(0.999f * 32767.0f));
}

TEST(WavWriter, FailuresReportFalseAndClose) {
  fixtures::TempDir dir;
  std::vector<float> s(300, 0.25f);
  VLAudioFileWAV noDir;
  EXPECT_FALSE(noDir.openWrite(dir.file("no/such/folder.wav").c_str(), 10, 44100));
  EXPECT_FALSE(noDir.writeFrames16({s.data(), s.data()}, 10, false));  // no stream
  // A full device takes the buffered header but fails the first flushed chunk.
  VLAudioFileWAV full;
  if (full.openWrite("/dev/full", 300, 44100)) {
    EXPECT_FALSE(full.writeFrames16({s.data(), s.data()}, 300, false));
    EXPECT_EQ(full.file, nullptr);
  }
  // Without frames the buffered header is all there is to save, and closing is what writes it.
  VLAudioFileWAV headerOnly;
  if (headerOnly.openWrite("/dev/full", 0, 44100)) {
    EXPECT_FALSE(headerOnly.writeFrames16({s.data(), s.data()}, 0, true));
    EXPECT_EQ(headerOnly.file, nullptr);
  }
  VLAudioFileWAV tooLong;
  EXPECT_FALSE(tooLong.openWrite(dir.file("big.wav").c_str(), 0x40000000u, 44100));
  EXPECT_EQ(tooLong.file, nullptr);
}

}  // namespace
