// The engine's player and recorder control over real files: loading, the reader and writer
// choice by name, starting and rewinding the player, and arming the recorder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "audiofile/Fixtures.h"
#include "audiofile/VLAudioFileWAV.h"
#include "engine/EngineRig.h"

using enginetest::Rig;
using fixtures::Bytes;

namespace {

Bytes wav16(uint32_t rate, const std::vector<int16_t>& left, const std::vector<int16_t>& right) {
  Bytes samples;
  for (size_t i = 0; i < left.size(); ++i)
    samples.le16(static_cast<uint16_t>(left[i])).le16(static_cast<uint16_t>(right[i]));
  return fixtures::riff({fixtures::wavFmt(1, 2, rate, 4, 16), fixtures::chunk("data", samples)});
}

Bytes aiff16(std::initializer_list<uint8_t> rate, uint32_t frames) {
  Bytes samples;
  for (uint32_t i = 0; i < frames; ++i) samples.be16(i * 100).be16(i * 200);
  return fixtures::form("AIFF", {fixtures::chunk("COMM", fixtures::comm(2, frames, 16, rate), true),
                                 fixtures::chunk("SSND", fixtures::ssnd(samples), true)});
}

class PlayerControl : public testing::Test {
 protected:
  void SetUp() override {
    rig.build();
    rig.wire();
    ASSERT_TRUE(rig.startDriver(48000));
  }
  std::string file(const char* name, const Bytes& b) { return dir.write(name, b); }
  VLVSTHostInterface& e() { return *rig.engine; }

  Rig rig;
  fixtures::TempDir dir;
};

TEST_F(PlayerControl, LoadFillsTheArraysWithAGuardSampleAndKeepsThePlayerStopped) {
  const std::string path = file("a.wav", wav16(44100, {1000, 2000, 3000}, {-1000, -2000, -3000}));
  ASSERT_EQ(e().loadPlayerFile(path.c_str()), 3u);
  EXPECT_EQ(e().playerLength, 3u);
  EXPECT_EQ(e().playerState.load(), 0);
  ASSERT_NE(e().playerLeft, nullptr);
  EXPECT_EQ(std::vector<float>(e().playerLeft, e().playerLeft + 4),
            (std::vector<float>{1000 / 32768.0f, 2000 / 32768.0f, 3000 / 32768.0f, 1000 / 32768.0f}));
  EXPECT_EQ(e().playerRight[3], -1000 / 32768.0f);
  EXPECT_EQ(e().playerFileSampleRate(), 44100);
  ASSERT_NE(e().playerFile, nullptr);
  EXPECT_EQ(e().playerFile->fileKind, FileKind::WAV);
}

TEST_F(PlayerControl, EmptyOrBadFilesLeaveNoArraysAndPlayFails) {
  const std::string empty = file("empty.wav", wav16(44100, {}, {}));
  const std::string ok = file("ok.wav", wav16(44100, {1, 2}, {3, 4}));
  ASSERT_EQ(e().loadPlayerFile(ok.c_str()), 2u);
  for (const std::string& bad : {empty, dir.file("missing.wav"), file("junk.mp3", Bytes().ramp(300))}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(e().loadPlayerFile(bad.c_str()), 0u);
    EXPECT_EQ(e().playerLeft, nullptr);
    EXPECT_EQ(e().playerRight, nullptr);
    EXPECT_EQ(e().playerLength, 0u);
    EXPECT_NE(e().playerFile, nullptr);  // the failed reader stays
    EXPECT_FALSE(e().setPlayerState(1, false));
  }
  EXPECT_EQ(e().loadPlayerFile(nullptr), 0u);
}

TEST_F(PlayerControl, StartSetsTheIncrementFromTheFileRateAndStartsTheTransport) {
  std::vector<int16_t> ramp(16), zeros(16, 0);
  for (int i = 0; i < 16; ++i) ramp[i] = static_cast<int16_t>(i * 2000);
  const std::string path = file("a.wav", wav16(44100, ramp, zeros));
  ASSERT_EQ(e().loadPlayerFile(path.c_str()), 16u);
  e().playerFinished = true;
  e().playerPosition = 3.0;
  ASSERT_TRUE(e().setPlayerState(1, true));
  EXPECT_DOUBLE_EQ(e().playerIncrement, static_cast<double>(44100.0f / 48000.0f));
  EXPECT_NEAR(e().playerIncrement, 0.91875, 1e-7);
  EXPECT_EQ(e().playerPosition.load(), 0.0);
  EXPECT_FALSE(e().playerFinished.load());
  EXPECT_TRUE(e().playerLoop);
  EXPECT_TRUE(e().requestedPlaying.load());
  EXPECT_TRUE(e().transportChanged.load());
  ASSERT_TRUE(rig.block(8));
  EXPECT_EQ(e().playerPlayed.load(), 8u);
  EXPECT_NEAR(e().playerPosition.load(), 8 * 0.91875, 1e-5);
  // The plug-in heard the file, interpolated at 0.91875 frames per output frame.
  EXPECT_NEAR(rig.asio.buffers().left[1], 0.91875f * 2000 / 32768.0f, 1e-6);
  EXPECT_NEAR(rig.asio.buffers().left[7], 7 * 0.91875f * 2000 / 32768.0f, 1e-6);

  e().rewindPlayer();
  EXPECT_EQ(e().playerPosition.load(), 0.0);
  EXPECT_EQ(e().playerPlayed.load(), 0u);
  EXPECT_EQ(e().songPosition.load(), 0.0);
  EXPECT_EQ(e().playerState.load(), 1);

  ASSERT_TRUE(e().setPlayerState(0, true));
  EXPECT_FALSE(e().requestedPlaying.load());
  ASSERT_TRUE(e().setPlayerState(2, false));
  EXPECT_EQ(e().playerState.load(), 2);
  EXPECT_FALSE(e().setPlayerState(3, false));
}

TEST_F(PlayerControl, StartWaitsForABlockThatBeganBeforeAStop) {
  // A block that read "playing" just before a stop may still be stepping through the file with
  // the old loop flag and increment; a start right after the stop must not change them under it.
  const std::string path = file("a.wav", wav16(44100, {1, 2, 3}, {4, 5, 6}));
  ASSERT_EQ(e().loadPlayerFile(path.c_str()), 3u);
  ASSERT_TRUE(e().setPlayerState(1, false));
  ASSERT_TRUE(e().setPlayerState(0, false));
  e().inProcess = true;  // that block is still running
  const uint64_t slept = rig.manual.sleptMs.load();
  std::atomic<bool> started{false};
  std::thread ui([&] { started = e().setPlayerState(1, true); });
  for (int i = 0; i < 2000 && rig.manual.sleptMs.load() == slept && !started.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(started.load());
  EXPECT_FALSE(e().playerLoop);
  e().inProcess = false;
  ui.join();
  EXPECT_TRUE(started.load());
  EXPECT_TRUE(e().playerLoop);
  EXPECT_EQ(e().playerState.load(), 1);
}

TEST_F(PlayerControl, LoadingWhilePlayingResumesAtTheOldPositionAndIncrement) {
  const std::string a =
      file("a.wav", wav16(44100, std::vector<int16_t>(1000, 100), std::vector<int16_t>(1000, 100)));
  const std::string b = file("b.aiff", aiff16({0x40, 0x0D, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}, 2000));  // 32000 Hz
  ASSERT_EQ(e().loadPlayerFile(a.c_str()), 1000u);
  ASSERT_TRUE(e().setPlayerState(1, false));
  ASSERT_TRUE(rig.block(64));
  const double position = e().playerPosition.load();
  const double increment = e().playerIncrement;
  ASSERT_EQ(e().loadPlayerFile(b.c_str()), 2000u);
  EXPECT_EQ(e().playerState.load(), 1);
  EXPECT_EQ(e().playerPosition.load(), position);
  EXPECT_EQ(e().playerIncrement, increment);
  EXPECT_EQ(e().playerFileSampleRate(), 32000);
  EXPECT_EQ(e().playerFile->fileKind, FileKind::AIFF);
}

TEST_F(PlayerControl, AFileOfRateZeroStandsStill) {
  const std::string path =
      file("zero.aiff", aiff16({0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, 10));  // 1.0: rate 0
  ASSERT_EQ(e().loadPlayerFile(path.c_str()), 10u);
  EXPECT_EQ(e().playerFileSampleRate(), 0);
  ASSERT_TRUE(e().setPlayerState(1, true));
  EXPECT_EQ(e().playerIncrement, 0.0);
  ASSERT_TRUE(rig.block(16));
  EXPECT_EQ(e().playerPosition.load(), 0.0);
}

TEST_F(PlayerControl, ReaderIsChosenByTheLastCharacterInAnyCase) {
  struct Row {
    const char* name;
    int32_t kind;
  };
  const Row rows[] = {{"x.wav", FileKind::WAV},   {"x.WAV", FileKind::WAV},     {"x.aif", FileKind::AIFF},
                      {"x.AIFF", FileKind::AIFF}, {"x.mp3", FileKind::Decoder}, {"x.ogg", FileKind::Decoder},
                      {"", FileKind::Decoder}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(e().createReaderFor(r.name), 0u);
    ASSERT_NE(e().playerFile, nullptr);
    EXPECT_EQ(e().playerFile->fileKind, r.kind);
  }
  EXPECT_EQ(e().createReaderFor(nullptr), 0u);
}

TEST_F(PlayerControl, WriterIsChosenByTheLastCharacterWithoutCaseFolding) {
  struct Row {
    const char* name;
    bool saved;
    int32_t kind;
  };
  const Row rows[] = {{"take.wav", true, FileKind::WAV},
                      {"take.aiff", true, FileKind::AIFF},
                      {"take.aif", true, FileKind::AIFF},
                      {"take.WAV", false, 0},
                      {"take.mp3", false, 0},
                      {"no/such/folder/take.wav", false, FileKind::WAV}};
  VLAudioFileBase* slot = new VLAudioFileWAV();  // a writer from an earlier attempt is replaced
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(VLVSTHostInterface::createWriterFor(&slot, dir.file(r.name).c_str(), 100, 48000), r.saved);
    if (r.saved) {
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(slot->fileKind, r.kind);
      EXPECT_EQ(slot->writing, 1);
    }
  }
  delete slot;
  EXPECT_FALSE(VLVSTHostInterface::createWriterFor(nullptr, "x.wav", 1, 48000));
}

TEST_F(PlayerControl, RecorderCapacityIsCutAtFiveMinutes) {
  // Capacities of the maximum-length list at 48000 Hz and 120 BPM: a beat is 24000 frames.
  const uint32_t beat = 24000, rate = 48000, ceiling = 300 * rate;
  struct Row {
    const char* name;
    uint32_t requested, capacity;
  };
  const Row rows[] = {{"1 Bar", 4 * beat, 96000},
                      {"64 Bar", 256 * beat, 6144000},
                      {"4 min", 240 * rate, 11520000},
                      {"8 min", 480 * rate, ceiling},
                      {"16 min", 960 * rate, ceiling},
                      {"as much as allowed", 0, ceiling},
                      {"exactly five minutes", ceiling, ceiling}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    e().recorderFill = 7;
    ASSERT_TRUE(e().armRecorder(1, r.requested));
    EXPECT_EQ(e().recorderCapacity, r.capacity);
    EXPECT_EQ(e().recorderFill.load(), 0u);
    EXPECT_EQ(e().recorderState.load(), 1);
    ASSERT_NE(e().recorderLeft, nullptr);
    ASSERT_NE(e().recorderRight, nullptr);
  }
}

TEST_F(PlayerControl, RecorderRecordsUntilFullAndReleasesOnlyWhenStopped) {
  ASSERT_TRUE(e().armRecorder(2, 600));
  EXPECT_EQ(e().recorderState.load(), 2);
  ASSERT_TRUE(e().armRecorder(1, 600));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.block(256));
  EXPECT_EQ(e().recorderFill.load(), 600u);
  e().releaseRecorderBuffers();  // still recording: the arrays stay
  EXPECT_NE(e().recorderLeft, nullptr);
  ASSERT_TRUE(e().armRecorder(0, 0));
  EXPECT_EQ(e().recorderState.load(), 0);
  EXPECT_EQ(e().recorderFill.load(), 600u);  // the take is kept for saving
  e().releaseRecorderBuffers();
  EXPECT_EQ(e().recorderLeft, nullptr);
  EXPECT_EQ(e().recorderRight, nullptr);

  const std::string path = file("a.wav", wav16(48000, {1, 2}, {3, 4}));
  ASSERT_EQ(e().loadPlayerFile(path.c_str()), 2u);
  ASSERT_TRUE(e().setPlayerState(1, true));
  e().releasePlayerBuffers();  // still playing: the arrays stay
  EXPECT_NE(e().playerLeft, nullptr);
  ASSERT_TRUE(e().setPlayerState(0, true));
  e().releasePlayerBuffers();
  EXPECT_EQ(e().playerLeft, nullptr);
}

TEST(PlayerControlWithoutDevice, EverythingFailsWithoutAnOutputDevice) {
  Rig rig;
  rig.build();
  rig.wire();
  fixtures::TempDir dir;
  const std::string path = dir.write("a.wav", wav16(44100, {1, 2}, {3, 4}));
  EXPECT_EQ(rig.engine->loadPlayerFile(path.c_str()), 0u);
  EXPECT_FALSE(rig.engine->setPlayerState(1, false));
  EXPECT_FALSE(rig.engine->armRecorder(1, 0));
  EXPECT_EQ(rig.engine->playerFileSampleRate(), 0);
}

}  // namespace
