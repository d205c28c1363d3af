// The MP3 decoder's own work over a scripted codec: the codec search, tag handling, frame-header
// checks, the Layer-3 format record it hands over, and the PCM conversion.
#include <gtest/gtest.h>

#include <vector>

#include "Fixtures.h"
#include "audiofile/VLAudioFileDecoder.h"
#include "platform/acm/SimAcm.h"

using fixtures::Bytes;
using plat::acm::SimAcm;

namespace {

// A frame header and filler up to `size` bytes (the scripted codec does not look inside).
Bytes mp3(uint8_t h1, uint8_t h2, uint8_t h3, size_t size = 600) {
  Bytes b;
  b.raw({0xFF, h1, h2, h3});
  b.ramp(size - 4, 7);
  return b;
}
const Bytes kMpeg1 = mp3(0xFB, 0x90, 0x00);  // MPEG-1 Layer III, 128 kbit/s, 44100 Hz, no padding, stereo

struct Arrays {
  explicit Arrays(size_t n) : left(n, 0.0f), right(n, 0.0f) {}
  ChannelBufferPair pair() { return {left.data(), right.data()}; }
  std::vector<float> left, right;
};

TEST(Decoder, ReportsStereo16AtTheStreamsRateAndConvertsThePcm) {
  SimAcm acm;
  acm.pcmFrames = 300;
  VLAudioFileDecoder dec(acm);
  EXPECT_EQ(dec.fileKind, FileKind::Decoder);
  ASSERT_EQ(dec.openReadMemory(kMpeg1.data(), kMpeg1.size()), 300u);
  EXPECT_EQ(dec.sampleRate, 44100);
  EXPECT_EQ(dec.channels, 2);
  EXPECT_EQ(dec.sampleFormat, SampleFormat::Stereo16);
  EXPECT_EQ(dec.frameCount, 0);
  EXPECT_EQ(dec.file, nullptr);
  Arrays a(300);
  ASSERT_TRUE(dec.readAll(a.pair()));
  for (uint32_t i : {0u, 1u, 299u}) {
    EXPECT_EQ(a.left[i], static_cast<float>(SimAcm::sample(i, 0) / 32768.0));
    EXPECT_EQ(a.right[i], static_cast<float>(SimAcm::sample(i, 1) / 32768.0));
  }
  // The count came from the first decode, and readAll converted that same decode.
  EXPECT_EQ(acm.conversions, 1);
  EXPECT_EQ(acm.openStreams, 0);
  EXPECT_EQ(acm.preparedHeaders, 0);
  EXPECT_EQ(acm.openDrivers, 0);
  EXPECT_FALSE(dec.openWrite("/tmp/x.mp3", 1, 44100));
  EXPECT_FALSE(dec.writeHeader(1, 44100));
}

TEST(Decoder, MonoStreamFillsBothArrays) {
  SimAcm acm;
  acm.pcmFrames = 50;
  const Bytes file = mp3(0xFB, 0x90, 0xC4);
  VLAudioFileDecoder dec(acm);
  ASSERT_EQ(dec.openReadMemory(file.data(), file.size()), 50u);
  EXPECT_EQ(acm.lastSource.wfx.channels, 1);
  Arrays a(50);
  ASSERT_TRUE(dec.readAll(a.pair()));
  EXPECT_EQ(a.left[49], static_cast<float>(SimAcm::sample(49, 0) / 32768.0));
  EXPECT_EQ(a.right, a.left);
}

TEST(Decoder, LayerThreeFormatRecord) {
  struct Row {
    uint8_t h1, h2, h3;
    uint16_t channels;
    uint32_t rate, avgBytes, flags;
    uint16_t blockSize;
  };
  const Row rows[] = {
      {0xFB, 0x90, 0x00, 2, 44100, 128 * 128, 2, 417},  // 128 kbit/s, 44100 Hz
      {0xFB, 0x92, 0xC0, 1, 44100, 128 * 128, 1, 418},  // padded, single channel
      {0xFB, 0xB4, 0x40, 2, 48000, 192 * 128, 2, 576},  // 192 kbit/s, 48000 Hz, joint stereo
      {0xFB, 0xE8, 0x80, 2, 32000, 320 * 128, 2, 1440}, {0xFB, 0x10, 0x00, 2, 44100, 32 * 128, 2, 104},
      {0xF3, 0x80, 0x00, 2, 22050, 64 * 128, 2, 417},  // MPEG-2 tables
      {0xF3, 0x14, 0xC0, 1, 24000, 8 * 128, 2, 48},     {0xF3, 0xE8, 0x00, 2, 16000, 160 * 128, 2, 1440},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << int(r.h1) << " " << int(r.h2) << " " << int(r.h3));
    SimAcm acm;
    const Bytes file = mp3(r.h1, r.h2, r.h3);
    VLAudioFileDecoder dec(acm);
    ASSERT_EQ(dec.openReadMemory(file.data(), file.size()), 1000u);
    const auto& f = acm.lastSource;
    EXPECT_EQ(f.wfx.formatTag, 85);
    EXPECT_EQ(f.wfx.channels, r.channels);
    EXPECT_EQ(f.wfx.samplesPerSec, r.rate);
    EXPECT_EQ(f.wfx.avgBytesPerSec, r.avgBytes);
    EXPECT_EQ(f.wfx.blockAlign, 1);
    EXPECT_EQ(f.wfx.bitsPerSample, 0);
    EXPECT_EQ(f.wfx.extraSize, 12);
    EXPECT_EQ(f.id, 1);
    EXPECT_EQ(f.flags, r.flags);
    EXPECT_EQ(f.blockSize, r.blockSize);
    EXPECT_EQ(f.framesPerBlock, 1);
    EXPECT_EQ(f.codecDelay, 1393);
    EXPECT_EQ(dec.sampleRate, static_cast<int32_t>(r.rate));  // the stream's own rate
  }
}

TEST(Decoder, RefusedInputs) {
  Bytes id3TooLarge = Bytes().str("ID3").raw({3, 0, 0, 0, 0, 0x10, 0}).append(kMpeg1);
  Bytes junkFirst = Bytes().raw({0x00, 0x00}).append(kMpeg1);
  struct Row {
    const char* name;
    Bytes file;
  };
  const Row rows[] = {
      {"first byte not 0xFF", junkFirst},
      {"second byte below 0xE0", mp3(0xDB, 0x90, 0x00)},
      {"MPEG-2.5", mp3(0xE3, 0x90, 0x00)},
      {"reserved version", mp3(0xEB, 0x90, 0x00)},
      {"Layer II", mp3(0xFD, 0x90, 0x00)},
      {"Layer I", mp3(0xFF, 0x90, 0x00)},
      {"free-format bit rate", mp3(0xFB, 0x00, 0x00)},
      {"bit rate index 15", mp3(0xFB, 0xF0, 0x00)},
      {"sampling-rate index 3", mp3(0xFB, 0x9C, 0x00)},
      {"shorter than 128 bytes", mp3(0xFB, 0x90, 0x00, 127)},
      {"ID3v2 size beyond the file", id3TooLarge},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SimAcm acm;
    VLAudioFileDecoder dec(acm);
    EXPECT_EQ(dec.openReadMemory(r.file.data(), r.file.size()), 0u);
    EXPECT_EQ(acm.conversions, 0);
  }
}

TEST(Decoder, Tags) {
  // ID3v2 of synch-safe size 00 00 02 01 (257 bytes): the data starts at byte 267.
  Bytes id3;
  id3.str("ID3").raw({4, 0, 0, 0x00, 0x00, 0x02, 0x01}).fill(257, 0x20);
  Bytes trailing;
  trailing.str("TAG").fill(125, 0x41);
  struct Row {
    const char* name;
    Bytes file;
    size_t from, length;  // the bytes handed to the codec
  };
  const Row rows[] = {
      {"ID3v2 only", Bytes(id3).append(kMpeg1), 267, kMpeg1.size()},
      {"ID3v2 and trailing TAG keeps the TAG", Bytes(id3).append(kMpeg1).append(trailing), 267,
       kMpeg1.size() + 128},
      {"trailing TAG only", Bytes(kMpeg1).append(trailing), 0, kMpeg1.size()},
      {"no tags", kMpeg1, 0, kMpeg1.size()},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SimAcm acm;
    VLAudioFileDecoder dec(acm);
    ASSERT_EQ(dec.openReadMemory(r.file.data(), r.file.size()), 1000u);
    EXPECT_EQ(acm.lastSourceBytes,
              std::vector<uint8_t>(r.file.v.begin() + r.from, r.file.v.begin() + r.from + r.length));
  }
}

TEST(Decoder, CodecSearch) {
  using plat::acm::SimDriver;
  struct Row {
    const char* name;
    std::vector<SimDriver> drivers;
    bool found;
  };
  SimDriver pcmOnly;
  pcmOnly.tags = {1, 2};
  SimDriver notACodec;
  notACodec.support = plat::acm::kSupportConverter;
  SimDriver brokenDetails, brokenOpen;
  brokenDetails.failDetails = true;
  brokenOpen.failOpen = true;
  const Row rows[] = {
      {"one codec", {SimDriver{}}, true},
      {"no drivers", {}, false},
      {"only PCM tags", {pcmOnly}, false},
      {"tag 85 on a driver without the codec flag", {notACodec}, false},
      {"failing drivers are passed over", {brokenDetails, brokenOpen, pcmOnly, SimDriver{}}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SimAcm acm;
    acm.drivers = r.drivers;
    VLAudioFileDecoder dec(acm);
    EXPECT_EQ(dec.openReadMemory(kMpeg1.data(), kMpeg1.size()) != 0, r.found);
    EXPECT_EQ(dec.codecFound, r.found ? 1 : 0);
    EXPECT_EQ(acm.openDrivers, 0);
  }
}

TEST(Decoder, CodecFailuresReleaseEverything) {
  struct Row {
    const char* name;
    void (*script)(SimAcm&);
  };
  const Row rows[] = {
      {"suggest", [](SimAcm& a) { a.failSuggest = true; }},
      {"stream open", [](SimAcm& a) { a.failStreamOpen = true; }},
      {"size", [](SimAcm& a) { a.failSize = true; }},
      {"prepare", [](SimAcm& a) { a.failPrepare = true; }},
      {"convert", [](SimAcm& a) { a.failConvert = true; }},
      {"no whole frame", [](SimAcm& a) { a.pcmFrames = 0; }},
      {"suggests three channels", [](SimAcm& a) { a.suggestChannels = 3; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SimAcm acm;
    r.script(acm);
    VLAudioFileDecoder dec(acm);
    EXPECT_EQ(dec.openReadMemory(kMpeg1.data(), kMpeg1.size()), 0u);
    EXPECT_EQ(acm.openStreams, 0);
    EXPECT_EQ(acm.preparedHeaders, 0);
  }
}

TEST(Decoder, FromDiskASecondReadAllDecodesAgainWithinTheFirstCount) {
  fixtures::TempDir dir;
  const std::string path = dir.write("a.mp3", kMpeg1);
  SimAcm acm;
  acm.pcmFrames = 64;
  VLAudioFileDecoder dec(acm);
  EXPECT_EQ(dec.openRead(nullptr), 0u);
  ASSERT_EQ(dec.openRead(path.c_str()), 64u);
  EXPECT_EQ(dec.path, path);
  Arrays first(64), second(64);
  ASSERT_TRUE(dec.readAll(first.pair()));
  EXPECT_EQ(acm.conversions, 1);
  acm.pcmFrames = 100;  // the file now decodes longer: the caller's arrays still hold only 64
  ASSERT_TRUE(dec.readAll(second.pair()));
  EXPECT_EQ(acm.conversions, 2);
  EXPECT_EQ(first.left, second.left);
  EXPECT_FALSE(dec.readAll({nullptr, second.right.data()}));
  VLAudioFileDecoder missing(acm);
  EXPECT_EQ(missing.openRead(dir.file("none.mp3").c_str()), 0u);
  EXPECT_EQ(missing.openRead(""), 0u);
}

}  // namespace
