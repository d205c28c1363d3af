// The block cycle and the device start and stop, against the probe plug-in and test backends.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "EngineRig.h"
#include "engine/TransportMath.h"

using namespace enginetest;

namespace {

// Loads the player arrays as the player control would: `samples` plus the guard sample.
void loadPlayer(VLVSTHostInterface& e, const std::vector<float>& samples, double increment, bool loop) {
  const uint32_t n = static_cast<uint32_t>(samples.size());
  e.playerLeft = new float[n + 1];
  e.playerRight = new float[n + 1];
  for (uint32_t i = 0; i < n; ++i) {
    e.playerLeft[i] = samples[i];
    e.playerRight[i] = -samples[i];
  }
  e.playerLeft[n] = samples[0];
  e.playerRight[n] = -samples[0];
  e.playerLength = n;
  e.playerIncrement = increment;
  e.playerLoop = loop;
  e.playerPosition = 0;
  e.playerFinished = false;
  e.playerState = 1;
}

std::vector<float> left(Rig& rig, uint32_t frames) {
  return std::vector<float>(rig.asio.buffers().left, rig.asio.buffers().left + frames);
}

// Makes the streaming device stall for `ms` milliseconds and returns once its stream is inside the
// stall.
void stallStreamingDevice(Rig& rig, int ms) {
  rig.wasapi.pauseMs = ms;
  for (int i = 0; i < 2000 && !rig.wasapi.pausing.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(rig.wasapi.pausing.load());
}

// After a stop, the streaming device runs no more blocks.
void expectNoMoreStreamedBlocks(Rig& rig) {
  const int blocks = rig.wasapi.streamedBlocks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(rig.wasapi.streamedBlocks.load(), blocks);
}

}  // namespace

// What the plug-in gets as input when the player is not feeding it.
TEST(EngineCycle, InputSelection) {
  struct Case {
    const char* name;
    bool synth;
    bool inputDevice;
    bool mute;
    float expected;
  } cases[] = {
      {"effect with input", false, true, false, 0.25f},
      {"effect without input device", false, false, false, 0.0f},
      {"effect with muted input", false, true, true, 0.0f},
      {"synth keeps the buffer", true, false, false, 0.25f},
      {"synth ignores muting", true, true, true, 0.25f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig({.synth = c.synth});
    rig.build();
    rig.wire();
    rig.engine->muteDeviceInput = c.mute;
    ASSERT_TRUE(rig.startDriver(48000, c.inputDevice));
    ASSERT_TRUE(rig.block(64));
    for (float v : left(rig, 64)) ASSERT_EQ(v, c.expected);
    EXPECT_EQ(rig.asio.buffers().right[63], c.expected);
  }
}

TEST(EngineCycle, PlayerAtTheEndOfANonLoopingFileGivesSilenceAndKeepsCounting) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  rig.probe.config().gain = 1.0f;
  loadPlayer(*rig.engine, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 1.0, false);
  ASSERT_TRUE(rig.block(16));
  std::vector<float> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(left(rig, 16), expected);
  EXPECT_EQ(rig.asio.buffers().right[9], -10.0f);
  EXPECT_EQ(rig.asio.buffers().right[10], 0.0f);
  EXPECT_TRUE(rig.engine->playerFinished.load());
  EXPECT_EQ(rig.engine->playerPlayed.load(), 16u);

  ASSERT_TRUE(rig.block(16));
  EXPECT_EQ(left(rig, 16), std::vector<float>(16, 0.0f));
  EXPECT_EQ(rig.engine->playerPlayed.load(), 32u);
  EXPECT_EQ(rig.engine->playerState.load(), 1);
}

TEST(EngineCycle, LoopingPlayerWrapsAtTheExactFrame) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  loadPlayer(*rig.engine, {1, 2, 3, 4, 5}, 1.0, true);
  ASSERT_TRUE(rig.block(12));
  EXPECT_EQ(left(rig, 12), (std::vector<float>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 1, 2}));
  EXPECT_FALSE(rig.engine->playerFinished.load());
  // The next block goes on where this one stopped.
  ASSERT_TRUE(rig.block(4));
  EXPECT_EQ(left(rig, 4), (std::vector<float>{3, 4, 5, 1}));
}

TEST(EngineCycle, InterpolationAtTheLastFrameReadsTheGuardSample) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  // Half speed: frames land on 0, 0.5, 1, ... 3.5; at 3.5 the step to the guard (= sample 0).
  loadPlayer(*rig.engine, {8, 2, 4, 6}, 0.5, true);
  ASSERT_TRUE(rig.block(8));
  EXPECT_EQ(left(rig, 8), (std::vector<float>{8, 5, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(rig.asio.buffers().right[7], -7.0f);
}

TEST(EngineCycle, InterpolationStaysBetweenNeighboursFarIntoALongFile) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  // Over six minutes at 44100 Hz; only the samples read are written, so the pages stay unused.
  const uint32_t n = (1u << 24) + 16;
  VLVSTHostInterface& e = *rig.engine;
  e.playerLeft = new float[n + 1];
  e.playerRight = new float[n + 1];
  e.playerLength = n;
  e.playerIncrement = 0.0;
  e.playerLoop = false;
  e.playerFinished = false;
  e.playerState = 1;
  for (double p : {1000.25, 5'000'000.3, 16'777'217.25}) {
    SCOPED_TRACE(p);
    const uint32_t k = static_cast<uint32_t>(p);
    e.playerLeft[k] = e.playerRight[k] = 0.0f;
    e.playerLeft[k + 1] = e.playerRight[k + 1] = 1.0f;
    e.playerPosition = p;
    ASSERT_TRUE(rig.block(1));
    EXPECT_NEAR(rig.asio.buffers().left[0], p - k, 1e-6);
    EXPECT_NEAR(rig.asio.buffers().right[0], p - k, 1e-6);
  }
}

TEST(EngineCycle, UserRewindDuringABlockIsNotOverwritten) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  loadPlayer(*rig.engine, std::vector<float>(100, 1.0f), 1.0, true);
  ASSERT_TRUE(rig.block(16));
  EXPECT_EQ(rig.engine->playerPosition.load(), 16.0);
  rig.engine->playerPosition = 0;  // a rewind between blocks
  ASSERT_TRUE(rig.block(16));
  EXPECT_EQ(rig.engine->playerPosition.load(), 16.0);
}

TEST(EngineCycle, RecorderStopsGrowingWhenFull) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, true, 512));
  rig.engine->recorderLeft = new float[1000];
  rig.engine->recorderRight = new float[1000];
  rig.engine->recorderCapacity = 1000;
  rig.engine->recorderState = 1;
  const uint32_t expectedFill[] = {512, 1000, 1000};
  for (uint32_t fill : expectedFill) {
    rig.asio.inputValue = static_cast<float>(fill) / 1000.0f;
    ASSERT_TRUE(rig.block(512));
    EXPECT_EQ(rig.engine->recorderFill.load(), fill);
  }
  EXPECT_EQ(rig.engine->recorderLeft[0], 0.512f);
  EXPECT_EQ(rig.engine->recorderRight[511], 0.512f);
  EXPECT_EQ(rig.engine->recorderLeft[512], 1.0f);
  EXPECT_EQ(rig.engine->recorderLeft[999], 1.0f);
  EXPECT_EQ(rig.engine->recorderState.load(), 1);
}

TEST(EngineCycle, FirstBlockWritesTheStoppedState) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  rig.timeInfo().flags |= kVstTransportPlaying;
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.timeInfo().flags & kVstTransportPlaying, 0);
  EXPECT_EQ(rig.state().lastTime.flags & kVstTransportPlaying, 0);
  EXPECT_FALSE(rig.engine->transportChanged.load());
}

TEST(EngineCycle, CpuLoadIsFirstConsultedAtThe101stBlock) {
  Rig rig;
  rig.build();
  rig.wire();
  rig.manual.advanceMs(1000);
  rig.manual.setTimes({0, 1000, 1000}, {0, 0});
  ASSERT_TRUE(rig.startDriver());  // the meter's reference sample
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(rig.block(32));
  rig.engine->drainWorker();
  EXPECT_EQ(rig.engine->cpuLoad.load(), 0);
  // 101st block, 100 ms after the reference: too early for a second sample.
  rig.manual.advanceMs(100);
  ASSERT_TRUE(rig.block(32));
  rig.engine->drainWorker();
  EXPECT_EQ(rig.engine->cpuLoad.load(), -1);
  // 101 blocks later and 300 ms on: the process used 2000 of 8000 units, a quarter.
  rig.manual.advanceMs(300);
  rig.manual.setTimes({0, 5000, 5000}, {1000, 1000});
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(rig.block(32));
  rig.engine->drainWorker();
  EXPECT_EQ(rig.engine->cpuLoad.load(), -1);
  ASSERT_TRUE(rig.block(32));
  rig.engine->drainWorker();
  EXPECT_EQ(rig.engine->cpuLoad.load(), 25);
}

TEST(EngineCycle, StopRequestIsAcknowledgedWithoutTouchingTheBuffers) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  float l[8], r[8];
  for (int i = 0; i < 8; ++i) l[i] = r[i] = 0.7f;
  ChannelBufferPair pair{l, r};
  loadPlayer(*rig.engine, {1, 2, 3}, 1.0, true);
  const uint32_t processCalls = rig.state().processCalls.load();
  rig.engine->stopRequest = true;
  EXPECT_FALSE(VLVSTHostInterface::processBlock(&pair, &pair, 8, rig.engine.get()));
  EXPECT_FALSE(rig.engine->stopRequest.load());
  EXPECT_EQ(rig.state().processCalls.load(), processCalls);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(l[i] == 0.7f && r[i] == 0.7f);
  EXPECT_EQ(rig.engine->playerPosition.load(), 0.0);
  EXPECT_FALSE(rig.engine->inProcess.load());
}

TEST(EngineCycle, NullInputChannelsAreTheOutputChannels) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  float l[4] = {1, 1, 1, 1}, r[4] = {1, 1, 1, 1};
  ChannelBufferPair in{nullptr, nullptr}, out{l, r};
  loadPlayer(*rig.engine, {0.5f, 0.5f}, 1.0, true);
  EXPECT_TRUE(VLVSTHostInterface::processBlock(&in, &out, 4, rig.engine.get()));
  EXPECT_EQ(in.left, l);
  EXPECT_EQ(in.right, r);
  EXPECT_EQ(l[3], 0.5f);
}

TEST(EngineCycle, EventsReachThePluginAtTheNextBlockWithDeltaZero) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  ASSERT_TRUE(rig.block(32));  // the first block has nothing to deliver
  EXPECT_EQ(rig.state().processEventsCalls, 0u);
  ASSERT_TRUE(rig.engine->append(0x90, 60, 100));
  ASSERT_TRUE(rig.engine->append(0x80, 60, 0));
  EXPECT_EQ(rig.state().midiCount.load(), 0u);
  ASSERT_TRUE(rig.block(32));
  ASSERT_EQ(rig.state().processEventsCalls, 1u);
  ASSERT_EQ(receivedMidi(rig.state()), (std::vector<uint32_t>{word(0x90, 60, 100), word(0x80, 60, 0)}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rig.state().midi[i].deltaFrames, 0);
    EXPECT_EQ(rig.state().midi[i].flags, kVstMidiEventIsRealtime);
  }
  // Nothing new: no call. Then one event goes out with the block after it, alone.
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().processEventsCalls, 1u);
  ASSERT_TRUE(rig.engine->append(0xB0, 7, 90));
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().processEventsCalls, 2u);
  EXPECT_EQ(rig.state().midi[2].batch, 2u);
  EXPECT_EQ(receivedMidi(rig.state()).back(), word(0xB0, 7, 90));
}

TEST(EngineCycle, EventBufferLayoutAndOverflow) {
  EventBuffer buffer;
  ASSERT_NE(buffer.events, nullptr);
  EXPECT_EQ(reinterpret_cast<char*>(buffer.pool) - reinterpret_cast<char*>(buffer.events), 16 + 257 * 8);
  for (uint32_t i = 0; i < 256; ++i) {
    ASSERT_EQ(buffer.eventPointers()[i], reinterpret_cast<VstEvent*>(&buffer.pool[i]));
    ASSERT_EQ(buffer.pool[i].type, kVstMidiType);
    ASSERT_EQ(buffer.pool[i].byteSize, 32);
    ASSERT_EQ(buffer.pool[i].flags, kVstMidiEventIsRealtime);
    ASSERT_EQ(buffer.pool[i].noteLength, 0);
  }
  EXPECT_EQ(buffer.eventPointers()[256], nullptr);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(buffer.append(0x90, uint8_t(i & 0x7F), 1));
  EXPECT_FALSE(buffer.append(0x90, 1, 1));
  EXPECT_EQ(buffer.count, 256u);
  EXPECT_EQ(buffer.pool[255].midiData[1], 127);
  EXPECT_EQ(buffer.pool[255].midiData[3], 0);
}

TEST(EngineCycle, FirstBlockWithEventsStartsArmedPlayerAndRecorder) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, false));
  loadPlayer(*rig.engine, {1, 2, 3, 4}, 1.0, true);
  rig.engine->playerState = 2;
  rig.engine->recorderLeft = new float[1024];
  rig.engine->recorderRight = new float[1024];
  rig.engine->recorderCapacity = 1024;
  rig.engine->recorderState = 2;
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.engine->playerState.load(), 2);
  EXPECT_EQ(rig.engine->recorderState.load(), 2);
  EXPECT_EQ(rig.engine->recorderFill.load(), 0u);
  EXPECT_EQ(left(rig, 1)[0], 0.0f);  // an armed player does not feed the input

  ASSERT_TRUE(rig.engine->append(0x90, 60, 1));
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.engine->playerState.load(), 1);
  EXPECT_EQ(rig.engine->recorderState.load(), 1);
  EXPECT_EQ(left(rig, 4), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(rig.engine->recorderFill.load(), 32u);
  // The song position restarted at this block.
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.0);
  EXPECT_DOUBLE_EQ(rig.engine->songPosition.load(), 32 * rig.engine->beatsPerSample);
}

TEST(EngineCycle, StartPlayerAndRecorderStartsBothInOneBlock) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.block(64));
  loadPlayer(*rig.engine, {1, 2}, 1.0, true);
  rig.engine->playerState = 2;
  rig.engine->recorderLeft = new float[64];
  rig.engine->recorderRight = new float[64];
  rig.engine->recorderCapacity = 64;
  rig.engine->recorderState = 2;
  rig.engine->startPlayerAndRecorder = true;
  ASSERT_TRUE(rig.block(64));
  EXPECT_EQ(rig.engine->playerState.load(), 1);
  EXPECT_EQ(rig.engine->recorderState.load(), 1);
  EXPECT_FALSE(rig.engine->startPlayerAndRecorder.load());
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.0);
  EXPECT_EQ(rig.engine->recorderLeft[1], 2.0f);
}

TEST(EngineCycle, AStaleStartPlayerAndRecorderLeavesWhatWasStoppedStopped) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  ASSERT_TRUE(rig.block(64));
  // Play raised the flag while no block ran; the user then stopped the recorder, and the player's
  // arrays are being replaced (state 0 while that happens).
  loadPlayer(*rig.engine, {1, 2}, 1.0, true);
  rig.engine->playerState = 0;
  rig.engine->recorderState = 0;
  rig.engine->startPlayerAndRecorder = true;
  ASSERT_TRUE(rig.block(64));
  EXPECT_EQ(rig.engine->playerState.load(), 0);
  EXPECT_EQ(rig.engine->recorderState.load(), 0);
  EXPECT_FALSE(rig.engine->startPlayerAndRecorder.load());
  // One armed and one stopped: only the armed one starts.
  rig.engine->playerState = 2;
  rig.engine->startPlayerAndRecorder = true;
  ASSERT_TRUE(rig.block(64));
  EXPECT_EQ(rig.engine->playerState.load(), 1);
  EXPECT_EQ(rig.engine->recorderState.load(), 0);
}

TEST(EngineCycle, SongPositionAdvancesByFramesTimesBeatsPerSample) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000));
  EXPECT_DOUBLE_EQ(rig.engine->beatsPerSample, engine::beatsPerSampleFor(48000, 120));
  ASSERT_TRUE(rig.block(256));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.0);
  ASSERT_TRUE(rig.block(256));
  EXPECT_DOUBLE_EQ(rig.state().lastTime.ppqPos, 256.0 / 24000.0);
  ASSERT_TRUE(rig.block(100));
  EXPECT_DOUBLE_EQ(rig.state().lastTime.ppqPos, 512.0 / 24000.0);
  EXPECT_DOUBLE_EQ(rig.engine->songPosition.load(), 612.0 / 24000.0);
}

// ---------------------------------------------------------------------------------------------
// startEngine and stopEngine

TEST(EngineStart, TellsThePluginBlockSizeRateAndMainsAndRegistersTheTempoHandler) {
  Rig rig;
  rig.build();
  rig.wire();
  rig.engine->songPosition = 5;
  rig.engine->syncPosition = 3;
  rig.timeInfo().ppqPos = 7;
  ASSERT_TRUE(rig.startDriver(44100.5, true, 128));
  EXPECT_EQ(rig.state().blockSize, 128);
  EXPECT_EQ(rig.state().sampleRate, 44100.5f);
  EXPECT_EQ(rig.state().mainsOn, 1);
  EXPECT_EQ(rig.timeInfo().sampleRate, static_cast<double>(44100.5f));
  EXPECT_EQ(rig.timeInfo().tempo, 120.0);
  EXPECT_EQ(rig.timeInfo().ppqPos, 0.0);
  EXPECT_EQ(rig.engine->songPosition.load(), 0.0);
  EXPECT_EQ(rig.engine->syncPosition.load(), 0.0);
  EXPECT_EQ(rig.lib.hostContext.tempoHandler.load(), &VLVSTHostInterface::onPluginTempo);
  EXPECT_TRUE(rig.engine->running.load());
  EXPECT_EQ(rig.asio.opens.load(), 2);
  EXPECT_FALSE(rig.asio.lastProbeOnly);
  EXPECT_TRUE(rig.boxes.shown.empty());
  // Stop: the driver is stopped and the engine no longer runs.
  rig.engine->stopEngine();
  EXPECT_EQ(rig.asio.stops.load(), 1);
  EXPECT_FALSE(rig.engine->running.load());
}

TEST(EngineStart, FailsWithoutWiringOrOutput) {
  Rig rig;
  rig.build();
  EXPECT_FALSE(rig.engine->startEngine());
  rig.wire();
  EXPECT_FALSE(rig.engine->startEngine());
  EXPECT_EQ(rig.asio.starts.load(), 0);
  EXPECT_TRUE(rig.boxes.shown.empty());
  // A failing driver start.
  rig.asio.startResult = false;
  EXPECT_FALSE(rig.startDriver());
  EXPECT_FALSE(rig.engine->running.load());
  // An output of no backend's type.
  rig.settings->audioOutputDevice->type = DeviceTypeMIDI;
  rig.settings->audioInputDevice = nullptr;
  rig.asio.startResult = true;
  EXPECT_FALSE(rig.engine->startEngine());
}

TEST(EngineStart, WarnsAnEffectWithoutInputDevice) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, false));
  ASSERT_EQ(rig.boxes.shown.size(), 1u);
  EXPECT_EQ(rig.boxes.shown[0].text, "No input device available.\r\nOnly the audio player will work.");
  EXPECT_EQ(rig.boxes.shown[0].caption, "Warning");
  EXPECT_EQ(rig.boxes.shown[0].buttons, plat::ui::Buttons::Ok);
  EXPECT_EQ(rig.boxes.shown[0].owner, nullptr);

  // A synth, or an effect without inputs, is not warned and loses its input device.
  for (auto [synth, inputs] : {std::pair{true, 2}, std::pair{false, 0}}) {
    Rig other({.synth = synth, .numInputs = inputs});
    other.build();
    other.wire();
    ASSERT_TRUE(other.startDriver(48000, true));
    EXPECT_TRUE(other.boxes.shown.empty());
    EXPECT_EQ(other.settings->audioInputDevice, nullptr);
    EXPECT_EQ(other.asio.startedInput, nullptr);
  }
}

TEST(EngineStart, RefusesMismatchedInputAndOutput) {
  const std::string rates = "Different sample rates for input and output device not supported!\r\n";
  struct Case {
    AudioDeviceType type;
    double inRate;
    uint16_t inBits;
    std::string text;
  } cases[] = {
      {DeviceTypeASIO, 44100, 0, rates + "Please correct and restart Application."},
      {DeviceTypeWASAPIShared, 44100, 16,
       rates + "Automatic adjustment failed.\r\nPlease check your Audio device settings!"},
      {DeviceTypeWASAPIExclusive, 44100, 16,
       rates + "Automatic adjustment failed.\r\nPlease check your Audio device settings!"},
      {DeviceTypeWASAPIShared, 48000, 32,
       "Different bit rates for input and output device not supported!\r\nPlease correct and restart "
       "Application."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Rig rig;
    rig.build();
    rig.wire();
    TestBackend& backend = c.type == DeviceTypeASIO ? rig.asio : rig.wasapi;
    rig.settings->audioOutputDevice = backend.addDevice(c.type, false, "Out", 48000, 16);
    rig.settings->audioInputDevice = backend.addDevice(c.type, true, "In", c.inRate, c.inBits);
    EXPECT_FALSE(rig.engine->startEngine());
    ASSERT_EQ(rig.boxes.shown.size(), 1u);
    EXPECT_EQ(rig.boxes.shown[0].text, c.text);
    EXPECT_EQ(rig.boxes.shown[0].caption, "Error");
    EXPECT_EQ(backend.starts.load(), 0);
    EXPECT_EQ(rig.state().mainsOn, 0);
  }
}

TEST(EngineStart, StreamingBackendRunsOnTheEngineThreadAndStopsByHandshake) {
  Rig rig({.systemClock = true});
  rig.build();
  rig.wire();
  rig.settings->audioOutputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIShared, false, "Out", 48000, 32);
  rig.settings->audioInputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIShared, true, "In", 48000, 32);
  ASSERT_TRUE(rig.engine->startEngine());
  EXPECT_TRUE(rig.engine->running.load());
  EXPECT_GT(rig.wasapi.streamedBlocks.load(), 0);
  rig.engine->stopEngine();
  EXPECT_FALSE(rig.engine->running.load());
  EXPECT_FALSE(rig.engine->stopRequest.load());
  expectNoMoreStreamedBlocks(rig);
  // And again: every start re-sends the setup and starts a fresh stream.
  ASSERT_TRUE(rig.engine->startEngine());
  EXPECT_EQ(rig.wasapi.starts.load(), 2);
  EXPECT_EQ(rig.probe.callsOf(effMainsChanged), 2u);
}

TEST(EngineStart, RestartWhileTheOldStreamStillWindsDown) {
  Rig rig({.systemClock = true});
  rig.build();
  rig.wire();
  rig.settings->audioOutputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIShared, false, "Out", 48000, 32);
  ASSERT_TRUE(rig.engine->startEngine());
  // The stream acknowledges the stop at once but takes longer than both stop handshakes to end.
  rig.wasapi.windDownMs = 800;
  rig.engine->stopEngine();
  ASSERT_TRUE(rig.engine->running.load()) << "the old stream should still be winding down";
  EXPECT_TRUE(rig.engine->startEngine());
  EXPECT_EQ(rig.wasapi.starts.load(), 2);
  EXPECT_TRUE(rig.engine->running.load());
  // The new stream answers a stop: blocks end and the flag follows.
  rig.wasapi.windDownMs = 0;
  rig.engine->stopEngine();
  EXPECT_FALSE(rig.engine->running.load());
  expectNoMoreStreamedBlocks(rig);
}

TEST(EngineStart, AStreamThatStalledThroughTheStopHandshakesIsStillStoppedByTheRestart) {
  Rig rig({.systemClock = true});
  rig.build();
  rig.wire();
  rig.settings->audioOutputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIShared, false, "Out", 48000, 32);
  ASSERT_TRUE(rig.engine->startEngine());
  // The device stalls for longer than the stop and the restart's own stop wait, then streams on.
  ASSERT_NO_FATAL_FAILURE(stallStreamingDevice(rig, 900));
  rig.engine->stopEngine();
  ASSERT_TRUE(rig.engine->running.load()) << "the stalled stream should have missed the handshake";
  // Should the restart wait for a stream that is never asked again, this withdraws the stream
  // after a while so that the test ends.
  std::atomic<bool> started{false}, rescued{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 4000 && !started.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!started.load()) {
      rescued = true;
      rig.engine->stopRequest = true;
    }
  });
  const bool restarted = rig.engine->startEngine();
  started = true;
  watchdog.join();
  EXPECT_FALSE(rescued.load()) << "the restart waited for a stream nobody asked to stop";
  EXPECT_TRUE(restarted);
  EXPECT_EQ(rig.wasapi.starts.load(), 2);
  rig.engine->stopEngine();
  EXPECT_FALSE(rig.engine->running.load());
}

TEST(EngineStart, SwitchingToTheDriverEndsAStreamThatStalledThroughTheStop) {
  Rig rig({.systemClock = true});
  rig.build();
  rig.wire();
  rig.settings->audioOutputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIShared, false, "Out", 48000, 32);
  ASSERT_TRUE(rig.engine->startEngine());
  ASSERT_NO_FATAL_FAILURE(stallStreamingDevice(rig, 400));
  rig.engine->stopEngine();  // times out: the device is stalled
  // The Audio Settings dialog applies the driver.
  rig.settings->audioOutputDevice = rig.asio.addDevice(DeviceTypeASIO, false, "Driver Out", 48000);
  EXPECT_TRUE(rig.engine->startEngine());
  EXPECT_EQ(rig.asio.starts.load(), 1);
  const int blocks = rig.wasapi.streamedBlocks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const bool streamedOn = rig.wasapi.streamedBlocks.load() != blocks;
  EXPECT_FALSE(streamedOn) << "the old stream still runs the block cycle beside the driver";
  // Should it, withdraw it here so that the engine can be destroyed.
  if (streamedOn) {
    rig.engine->stopRequest = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST(EngineStart, StreamEndingWithinHalfASecondIsAFailedStart) {
  Rig rig({.systemClock = true});
  rig.build();
  rig.wire();
  rig.wasapi.endAfterBlocks = 3;
  rig.settings->audioOutputDevice = rig.wasapi.addDevice(DeviceTypeWASAPIExclusive, false, "Out", 48000, 32);
  EXPECT_FALSE(rig.engine->startEngine());
  EXPECT_FALSE(rig.engine->running.load());
}

TEST(EngineStart, APlayingPlayerIsStoppedAndRestartedFromTheBeginning) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, false));
  loadPlayer(*rig.engine, {1, 2, 3, 4, 5, 6, 7, 8}, 1.0, true);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.block(3));
  EXPECT_EQ(rig.engine->playerPosition.load(), 1.0);  // 9 frames into an 8-frame loop
  ASSERT_TRUE(rig.engine->startEngine());
  EXPECT_EQ(rig.engine->playerState.load(), 1);
  EXPECT_EQ(rig.engine->playerPosition.load(), 0.0);
  EXPECT_EQ(rig.engine->playerPlayed.load(), 0u);
  EXPECT_TRUE(rig.engine->requestedPlaying.load());
  // The restart reads the first frame again (the step comes from the file, of which there is none
  // here, so the player stands on it).
  ASSERT_TRUE(rig.block(3));
  EXPECT_EQ(left(rig, 1)[0], 1.0f);
  EXPECT_TRUE(rig.timeInfo().flags & kVstTransportPlaying);
}
