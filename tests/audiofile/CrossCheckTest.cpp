// Our readers against independent tools: sox writes (and lame encodes) files in each format,
// our classes read them, and sox's own decode of the same file is the oracle. Our written files
// go the other way: sox reads them back sample by sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "audiofile/VLAudioFileAIFF.h"
#include "audiofile/VLAudioFileDecoder.h"
#include "audiofile/VLAudioFileWAV.h"

namespace {

bool run(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str()) == 0;
}

std::vector<uint8_t> readBytes(const std::string& path) {
  return fixtures::TempDir::read(path);
}

template <typename T>
std::vector<T> readRaw(const std::string& path) {
  const std::vector<uint8_t> bytes = readBytes(path);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

// sox's decode of `path` as interleaved float32 with the file's own channel count.
std::vector<float> soxDecode(const fixtures::TempDir& dir, const std::string& path) {
  const std::string raw = dir.file("oracle.f32");
  if (!run("sox '" + path + "' -t f32 '" + raw + "'")) return {};
  return readRaw<float>(raw);
}

struct Decoded {
  uint32_t frames = 0;
  int32_t rate = 0;
  std::vector<float> left, right;
};

Decoded readWith(VLAudioFileBase& reader, const std::string& path) {
  Decoded d;
  d.frames = reader.openRead(path.c_str());
  d.rate = reader.sampleRate;
  d.left.assign(d.frames, 0.0f);
  d.right.assign(d.frames, 0.0f);
  if (d.frames == 0 || !reader.readAll({d.left.data(), d.right.data()})) d.frames = 0;
  return d;
}

std::unique_ptr<VLAudioFileBase> readerFor(const std::string& ext) {
  if (ext == "wav") return std::make_unique<VLAudioFileWAV>();
  if (ext == "mp3") return std::make_unique<VLAudioFileDecoder>();
  return std::make_unique<VLAudioFileAIFF>();
}

class CrossCheck : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(run("sox --version >/dev/null")) << "sox is installed by scripts/install-deps";
  }
  // A repeatable test signal: a tone on the left, pink noise on the right (or their sum in mono).
  std::string source(int rate, int channels, const char* bits = "-b 24") {
    const std::string path =
        dir.file("src-" + std::to_string(rate) + "-" + std::to_string(channels) + ".wav");
    const std::string synth = channels == 2 ? "synth 0.6 sine 441 pinknoise" : "synth 0.6 sine 441";
    EXPECT_TRUE(run("sox -R -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " " + bits +
                    " '" + path + "' " + synth + " gain -3"));
    return path;
  }
  fixtures::TempDir dir;
};

struct PcmRow {
  const char* name;
  const char* soxArgs;  // output options, including the type
  const char* ext;
  int channels;
  float scale;      // ours = scale x sox's
  float tolerance;  // 0: identical
};

TEST_F(CrossCheck, UncompressedFilesMatchSoxSampleBySample) {
  const PcmRow rows[] = {
      {"WAV u8 mono", "-b 8 -e unsigned -t wav", "wav", 1, 0.5f, 0},
      {"WAV u8 stereo", "-b 8 -e unsigned -t wav", "wav", 2, 0.5f, 0},
      {"WAV s16 mono", "-b 16 -t wav", "wav", 1, 1, 0},
      {"WAV s16 stereo", "-b 16 -t wav", "wav", 2, 1, 0},
      {"WAV s24 mono (extensible)", "-b 24 -t wav", "wav", 1, 1, 0},
      {"WAV s24 stereo (extensible)", "-b 24 -t wav", "wav", 2, 1, 0},
      {"WAV s32 mono (extensible)", "-b 32 -e signed -t wav", "wav", 1, 1, 0},
      {"WAV s32 stereo", "-b 32 -e signed -t wavpcm", "wav", 2, 1, 0},
      {"WAV f32 mono", "-b 32 -e floating-point -t wav", "wav", 1, 1, 1e-6f},
      {"WAV f32 stereo", "-b 32 -e floating-point -t wav", "wav", 2, 1, 1e-6f},
      {"WAV f64 mono", "-b 64 -e floating-point -t wav", "wav", 1, 1, 1e-6f},
      {"WAV f64 stereo", "-b 64 -e floating-point -t wav", "wav", 2, 1, 1e-6f},
      {"AIFF s8 mono", "-b 8 -t aiff", "aiff", 1, 1.0f / 2, 0},
      {"AIFF s8 stereo", "-b 8 -t aiff", "aiff", 2, 1.0f / 2, 0},
      {"AIFF s16 stereo", "-b 16 -t aiff", "aiff", 2, 1, 0},
      {"AIFF s24 mono", "-b 24 -t aiff", "aiff", 1, 1, 0},
      {"AIFF s24 stereo", "-b 24 -t aiff", "aiff", 2, 1, 0},
      {"AIFF s32 stereo", "-b 32 -t aiff", "aiff", 2, 1, 0},
      {"AIFF-C NONE s16 mono", "-b 16 -t aifc", "aifc", 1, 1, 0},
      {"AIFF-C fl32 stereo", "-b 32 -e floating-point -t aifc", "aifc", 2, 1, 1e-6f},
      {"AIFF-C fl64 mono", "-b 64 -e floating-point -t aifc", "aifc", 1, 1, 1e-6f},
      {"AIFF-C fl64 stereo", "-b 64 -e floating-point -t aifc", "aifc", 2, 1, 1e-6f},
  };
  for (const PcmRow& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = dir.file(std::string("x.") + r.ext);
    ASSERT_TRUE(run("sox '" + source(44100, r.channels) + "' " + r.soxArgs + " '" + path + "'"));
    const std::vector<float> oracle = soxDecode(dir, path);
    const Decoded ours = readWith(*readerFor(r.ext), path);
    ASSERT_GT(ours.frames, 0u);
    EXPECT_EQ(ours.rate, 44100);
    ASSERT_EQ(oracle.size(), static_cast<size_t>(ours.frames) * r.channels);
    int mismatches = 0;
    for (uint32_t i = 0; i < ours.frames; ++i) {
      const float l = oracle[i * r.channels] * r.scale;
      const float rr = r.channels == 2 ? oracle[i * 2 + 1] * r.scale : l;
      if (std::fabs(ours.left[i] - l) > r.tolerance || std::fabs(ours.right[i] - rr) > r.tolerance) {
        if (++mismatches <= 3) {
          ADD_FAILURE() << "frame " << i << ": " << ours.left[i] << "/" << ours.right[i] << " vs " << l << "/"
                        << rr;
        }
      }
    }
  }
}

TEST_F(CrossCheck, ThirtyTwoBitStereoWithTheExtensibleTagIsRefused) {
  // sox marks 32-bit stereo as extensible; at alignment 8 only the plain PCM and float tags are read.
  const std::string path = dir.file("ext32.wav");
  ASSERT_TRUE(run("sox '" + source(44100, 2) + "' -b 32 -e signed -t wav '" + path + "'"));
  EXPECT_EQ(VLAudioFileWAV().openRead(path.c_str()), 0u);
}

TEST_F(CrossCheck, SowtAiffcMatchesSoxsReading) {
  // sox reads "sowt" but does not write it: turn its big-endian AIFF-C into the little-endian form
  // by hand, and let sox say what the result means.
  const std::string none = dir.file("n.aifc"), sowt = dir.file("s.aifc");
  ASSERT_TRUE(run("sox '" + source(44100, 2) + "' -b 16 -t aifc '" + none + "'"));
  std::vector<uint8_t> bytes = readBytes(none);
  VLAudioFileAIFF probe;
  ASSERT_GT(probe.openRead(none.c_str()), 0u);
  const size_t start = static_cast<size_t>(probe.dataOffset), end = start + probe.dataBytes;
  bool typed = false;
  for (size_t i = 12; i + 4 <= start && !typed; ++i) {
    if (std::memcmp(&bytes[i], "NONE", 4) == 0) {
      std::memcpy(&bytes[i], "sowt", 4);
      typed = true;
    }
  }
  ASSERT_TRUE(typed);
  for (size_t i = start; i + 1 < end; i += 2) std::swap(bytes[i], bytes[i + 1]);
  fixtures::Bytes out;
  out.v = bytes;
  dir.write("s.aifc", out);
  const std::vector<float> oracle = soxDecode(dir, sowt);
  VLAudioFileAIFF reader;
  const Decoded ours = readWith(reader, sowt);
  EXPECT_EQ(reader.bigEndian, 0);
  ASSERT_EQ(oracle.size(), ours.frames * 2u);
  for (uint32_t i = 0; i < ours.frames; i += 97) {
    ASSERT_EQ(ours.left[i], oracle[2 * i]) << i;
    ASSERT_EQ(ours.right[i], oracle[2 * i + 1]) << i;
  }
}

struct Mp3Row {
  const char* name;
  int rate, channels;
  const char* lameArgs;
};

// The lag at which `ours` best matches `oracle` (decoders differ in the encoder delay they trim).
int bestLag(const std::vector<float>& ours, const std::vector<float>& oracle, int channels, int maxLag) {
  int best = 0;
  double bestError = 1e30;
  const size_t window = 4096;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double error = 0;
    for (size_t i = 2000; i < 2000 + window && (i + lag) * channels < oracle.size() && i < ours.size(); ++i)
      error += std::fabs(ours[i] - oracle[(i + lag) * channels]);
    if (error < bestError) {
      bestError = error;
      best = lag;
    }
  }
  return best;
}

TEST_F(CrossCheck, Mp3MatchesSoxsDecodeAtTheStreamsRate) {
  const Mp3Row rows[] = {
      {"MPEG-1 44100 Hz 128 kbit/s stereo", 44100, 2, "-b 128"},
      {"MPEG-1 48000 Hz 192 kbit/s stereo", 48000, 2, "-b 192"},
      {"MPEG-1 32000 Hz 320 kbit/s stereo", 32000, 2, "-b 320"},
      {"MPEG-1 44100 Hz 96 kbit/s mono", 44100, 1, "-m m -b 96"},
      {"MPEG-1 44100 Hz VBR stereo", 44100, 2, "-V 2"},
      {"MPEG-2 22050 Hz 64 kbit/s stereo", 22050, 2, "-b 64"},
      {"MPEG-2 24000 Hz 160 kbit/s stereo", 24000, 2, "-b 160"},
      {"MPEG-2 16000 Hz 32 kbit/s mono", 16000, 1, "-m m -b 32"},
  };
  for (const Mp3Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string mp3 = dir.file("x.mp3");
    ASSERT_TRUE(run("lame --quiet " + std::string(r.lameArgs) + " '" + source(r.rate, r.channels, "-b 16") +
                    "' '" + mp3 + "'"));
    const std::vector<float> oracle = soxDecode(dir, mp3);
    ASSERT_FALSE(oracle.empty());
    VLAudioFileDecoder decoder;
    const Decoded ours = readWith(decoder, mp3);
    ASSERT_GT(ours.frames, 0u);
    EXPECT_EQ(ours.rate, r.rate);  // the stream's own rate, so it plays at its true speed
    const size_t oracleFrames = oracle.size() / r.channels;
    // 0.6 s of source; the decoders may keep the encoder's delay and padding (at most a few frames).
    EXPECT_GE(ours.frames, static_cast<uint32_t>(r.rate * 0.6) - 2);
    EXPECT_LE(ours.frames, oracleFrames + 1152);
    const int lag = bestLag(ours.left, oracle, r.channels, 3000);
    double worst = 0, sumSquares = 0;
    size_t n = 0;
    for (size_t i = 0; i < ours.frames && (i + lag) < oracleFrames; ++i) {
      const double dl = ours.left[i] - oracle[(i + lag) * r.channels];
      const double dr = ours.right[i] - oracle[(i + lag) * r.channels + (r.channels - 1)];
      worst = std::max({worst, std::fabs(dl), std::fabs(dr)});
      sumSquares += dl * dl + dr * dr;
      n += 2;
    }
    // Both decoders round to the same 16-bit grid: half a step apart at most.
    EXPECT_LT(worst, 1e-4) << "lag " << lag;
    EXPECT_LT(std::sqrt(sumSquares / n), 1e-5) << "lag " << lag;
    if (r.channels == 1) {
      EXPECT_EQ(ours.left, ours.right);
    }
  }
}

int16_t expected16(float v) {
  if (v > 1.0f) return 32767;
  if (v < -1.0f) return -32767;
  return static_cast<int16_t>(v * 32767.0f);
}

TEST_F(CrossCheck, SoxReadsOurWrittenFilesBackIdentically) {
  const uint32_t frames = 3000;  // several 256-frame chunks and a partial one
  std::vector<float> left(frames), right(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    left[i] = std::sin(i * 0.01f) * 1.3f;  // beyond full scale at the peaks: clamped
    right[i] = (static_cast<float>(i % 200) - 100.0f) / 99.0f;
  }
  for (const char* name : {"take.wav", "take.aiff"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<VLAudioFileBase> writer = readerFor(std::string(name).substr(5));
    const std::string path = dir.file(name);
    ASSERT_TRUE(writer->openWrite(path.c_str(), frames, 48000));
    ASSERT_TRUE(writer->writeFrames16({left.data(), right.data()}, frames, true));
    const std::string raw = dir.file("back.s16");
    ASSERT_TRUE(run("sox '" + path + "' -t s16 -L '" + raw + "'"));
    const std::vector<int16_t> back = readRaw<int16_t>(raw);
    ASSERT_EQ(back.size(), frames * 2u);
    for (uint32_t i = 0; i < frames; ++i) {
      ASSERT_EQ(back[2 * i], expected16(left[i])) << i;
      ASSERT_EQ(back[2 * i + 1], expected16(right[i])) << i;
    }
    FILE* rate = popen(("sox --i -r '" + path + "'").c_str(), "r");
    ASSERT_NE(rate, nullptr);
    int r = 0;
    EXPECT_EQ(std::fscanf(rate, "%d", &r), 1);
    pclose(rate);
    EXPECT_EQ(r, 48000);
  }
}

}  // namespace
