// Tempo, play state and song position: requests from the user interface, MIDI clock, the plug-in
// and the start-up rule, applied by the block cycle.
#include <gtest/gtest.h>

#include <cmath>

#include "EngineRig.h"
#include "engine/TransportMath.h"

using namespace enginetest;

namespace {

struct SyncInput {
  MidiDeviceInfo device;
  VLVSTHostInterface::InputContext* context;
  explicit SyncInput(VLVSTHostInterface& e) : context(new VLVSTHostInterface::InputContext(&device, &e)) {
    device.in = true;
    device.sync = true;
  }
  ~SyncInput() {
    MidiMessage close{};
    VLVSTHostInterface::onMidiInput(&close, context);  // frees the context
  }
  void send(uint8_t status) {
    MidiMessage m = message(status, 0, 0);
    VLVSTHostInterface::onMidiInput(&m, context);
  }
};

// 25 clocks `periodMs` apart: 24 measured intervals.
void sendClocks(Rig& rig, SyncInput& input, double periodMs, int clocks = 25) {
  for (int i = 0; i < clocks; ++i) {
    input.send(0xF8);
    rig.manual.advanceMs(periodMs);
  }
}

}  // namespace

TEST(Transport, MidiClockTempoIsRoundedToOneDecimal) {
  struct Case {
    double periodMs;
    double expected;
  } cases[] = {{20.8333, 120.0}, {21.0, 119.0}, {25.0, 100.0}, {10.0, 250.0}, {100.0, 25.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.periodMs);
    Rig rig;
    rig.build();
    rig.wire();
    rig.engine->tempo = 90.0;
    SyncInput input(*rig.engine);
    sendClocks(rig, input, c.periodMs, 24);
    EXPECT_EQ(rig.engine->getTempo(), 90.0) << "only 23 intervals so far";
    sendClocks(rig, input, c.periodMs, 1);
    EXPECT_EQ(rig.engine->getTempo(), c.expected);
    EXPECT_EQ(rig.settings->tempo.load(), c.expected);
    EXPECT_DOUBLE_EQ(rig.engine->syncPosition.load(), 25 * engine::kClockStep);
  }
}

TEST(Transport, ClockStepsAreTheSinglePrecisionValues) {
  EXPECT_EQ(engine::kClockStep, 0.0416666679084301);
  EXPECT_EQ(engine::kFreewheelStep, 0.010416666977107525);
}

TEST(Transport, TapGapsInMillisecondsNeverOverflow) {
  constexpr int64_t ns = 1'000'000'000;  // the system clock's counter frequency
  struct Case {
    int64_t ticks, frequency;
    uint32_t ms;
  };
  const Case cases[] = {
      {500 * 1'000'000 + 999'999, ns, 500},  // truncated, as the product-then-divide form gives
      {1333, 1000, 1333},
      {int64_t{108} * 86'400 * ns, ns, UINT32_MAX},  // ticks * 1000 would have overflowed
      {int64_t{40} * 86'400 * ns, ns, 3'456'000'000u},
      {INT64_MAX, ns, UINT32_MAX},
      {-1, ns, UINT32_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(engine::elapsedMs(c.ticks, c.frequency), c.ms) << c.ticks;
}

TEST(Transport, ClocksWhilePlayingMoveOnlyThePositionUnlessSyncWhilePlaying) {
  for (bool whilePlaying : {false, true}) {
    SCOPED_TRACE(whilePlaying);
    Rig rig;
    rig.build();
    rig.wire();
    ASSERT_TRUE(rig.startDriver());
    rig.engine->setPlaying(true);
    ASSERT_TRUE(rig.block(32));
    ASSERT_TRUE(rig.engine->isPlaying());
    SyncInput input(*rig.engine);
    input.device.syncWhilePlaying = whilePlaying;
    sendClocks(rig, input, 21.0);
    EXPECT_EQ(rig.engine->getTempo(), whilePlaying ? 119.0 : 120.0);
    EXPECT_DOUBLE_EQ(rig.engine->syncPosition.load(), 25 * engine::kClockStep);
  }
}

TEST(Transport, OtherMessagesBetweenClocksDoNotShortenThePeriod) {
  Rig rig;
  rig.build();
  rig.wire();
  SyncInput input(*rig.engine);
  for (int i = 0; i < 25; ++i) {
    input.send(0xF8);
    rig.manual.advanceMs(10.5);
    MidiMessage note = message(0x90, 60, 100, 10.5);
    VLVSTHostInterface::onMidiInput(&note, input.context);
    rig.manual.advanceMs(10.5);
  }
  EXPECT_EQ(rig.engine->getTempo(), 119.0);
}

TEST(Transport, ClocksResumingAfterAPauseAreTimedFromTheStartOrContinue) {
  for (uint8_t resume : {uint8_t(0xFA), uint8_t(0xFB)}) {
    SCOPED_TRACE(int(resume));
    Rig rig;
    rig.build();
    rig.wire();
    SyncInput input(*rig.engine);
    input.device.syncWhilePlaying = true;
    sendClocks(rig, input, 20.8333);
    ASSERT_EQ(rig.engine->getTempo(), 120.0);
    // The source stops, sends nothing for five seconds, then resumes at 100 BPM.
    input.send(0xFC);
    rig.manual.advanceMs(5000);
    input.send(resume);
    rig.manual.advanceMs(25.0);
    sendClocks(rig, input, 25.0, 24);
    EXPECT_EQ(rig.engine->getTempo(), 100.0);
  }
}

TEST(Transport, StartWithDelayHandsThePositionAndThenFreewheels) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  rig.engine->syncActive = true;
  ASSERT_TRUE(rig.block(32));
  SyncInput input(*rig.engine);
  input.device.delay = 100;
  rig.engine->songPosition = 3.0;
  input.send(0xFA);
  EXPECT_DOUBLE_EQ(rig.engine->syncPosition.load(), 0.2);
  EXPECT_DOUBLE_EQ(rig.engine->lastSyncPosition.load(), -0.8);
  EXPECT_EQ(rig.engine->songPosition.load(), 0.0);
  EXPECT_TRUE(rig.engine->requestedPlaying.load());
  EXPECT_TRUE(rig.engine->transportChanged.load());

  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.2);
  EXPECT_TRUE(rig.state().lastTime.flags & kVstTransportPlaying);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.2 + engine::kFreewheelStep);
  ASSERT_TRUE(rig.block(32));  // the offset does not accumulate
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.2 + engine::kFreewheelStep);
  input.send(0xF8);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.2 + engine::kClockStep);

  // A negative position (negative delay) leaves the plug-in's position alone.
  input.device.delay = -1000;
  input.send(0xFA);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.2 + engine::kClockStep);

  input.send(0xFC);
  EXPECT_FALSE(rig.engine->requestedPlaying.load());
  ASSERT_TRUE(rig.block(32));
  EXPECT_FALSE(rig.state().lastTime.flags & kVstTransportPlaying);
}

TEST(Transport, SystemMessagesFromInputsWithoutSyncAreIgnored) {
  Rig rig;
  rig.build();
  rig.wire();
  SyncInput input(*rig.engine);
  input.device.sync = false;
  input.send(0xFA);
  sendClocks(rig, input, 21.0);
  EXPECT_FALSE(rig.engine->requestedPlaying.load());
  EXPECT_EQ(rig.engine->syncPosition.load(), 0.0);
  EXPECT_EQ(rig.engine->getTempo(), 120.0);
}

TEST(Transport, SetPlayingRaisesTheFlagOnlyForAChange) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  ASSERT_TRUE(rig.block(32));
  rig.engine->setPlaying(true);
  EXPECT_TRUE(rig.engine->transportChanged.load());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.block(32));
  EXPECT_FALSE(rig.engine->transportChanged.load());
  rig.engine->setPlaying(true);
  EXPECT_FALSE(rig.engine->transportChanged.load());
  EXPECT_TRUE(rig.engine->requestedPlaying.load());

  // Stopping keeps the position running; starting puts it back to 0 at the next block.
  const double before = rig.state().lastTime.ppqPos;
  EXPECT_GT(before, 0.0);
  rig.engine->setPlaying(false);
  ASSERT_TRUE(rig.block(32));
  EXPECT_GT(rig.state().lastTime.ppqPos, before);
  rig.engine->setPlaying(true);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.ppqPos, 0.0);
}

TEST(Transport, VendorTransportStartIsOverwrittenByTheNextHostChange) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  ASSERT_TRUE(rig.block(32));
  rig.probe.config().transportStartInProcess = 1;
  ASSERT_TRUE(rig.block(32));
  EXPECT_TRUE(rig.timeInfo().flags & kVstTransportPlaying);
  EXPECT_FALSE(rig.engine->requestedPlaying.load());
  // The host's own stop request differs from what the time info shows: it is applied.
  rig.engine->setPlaying(false);
  ASSERT_TRUE(rig.block(32));
  EXPECT_FALSE(rig.timeInfo().flags & kVstTransportPlaying);
}

TEST(Transport, SetTempoIsAppliedAtTheNextBlock) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000));
  ASSERT_TRUE(rig.block(32));
  rig.engine->setTempo(90.0);
  EXPECT_EQ(rig.engine->getTempo(), 90.0);
  EXPECT_EQ(rig.timeInfo().tempo, 120.0);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.tempo, 90.0);
  EXPECT_DOUBLE_EQ(rig.engine->beatsPerSample, 90.0 / 60.0 / 48000.0);
  EXPECT_FALSE(rig.engine->tempoChanged.load());
}

TEST(Transport, SetTempoGivesUpAfter52BusyAttempts) {
  Rig rig;
  rig.build();
  rig.wire();
  rig.engine->inProcess = true;
  rig.engine->tempoChanged = true;
  rig.engine->setTempo(95.0);
  EXPECT_EQ(rig.manual.sleptMs.load(), 52u * 5u);
  EXPECT_EQ(rig.engine->getTempo(), 120.0);
  // Not busy: at once, without sleeping.
  rig.engine->inProcess = false;
  rig.engine->setTempo(95.0);
  EXPECT_EQ(rig.manual.sleptMs.load(), 52u * 5u);
  EXPECT_EQ(rig.engine->getTempo(), 95.0);
}

TEST(Transport, PluginTempoRequestFromInsideProcessIsAppliedAndSaved) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  ASSERT_TRUE(rig.block(32));
  rig.probe.config().tempoInProcess = 133.25f;
  rig.probe.config().tempoRequestInProcess = 1;
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().tempoAnswer, 1);
  rig.engine->drainWorker();
  EXPECT_EQ(rig.engine->getTempo(), 133.25);
  EXPECT_EQ(rig.settings->tempo.load(), 133.25);
  // Saved: a fresh settings object over the same registry reads it back.
  HostSettings reread(*rig.registry, "Probe", false);
  reread.load(rig.backends);
  EXPECT_EQ(reread.tempo.load(), 133.25);
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().lastTime.tempo, 133.25);
  // Requests no tempo can be are answered but change nothing: a NaN would stop the song position
  // from ever being a number again, zero or less would freeze it or run it backwards.
  for (float bad : {std::nanf(""), 0.0f, -90.0f, INFINITY}) {
    rig.probe.config().tempoInProcess = bad;
    rig.probe.config().tempoRequestInProcess = 1;
    ASSERT_TRUE(rig.block(32));
    rig.engine->drainWorker();
    EXPECT_EQ(rig.engine->getTempo(), 133.25) << bad;
    EXPECT_EQ(rig.settings->tempo.load(), 133.25) << bad;
  }
}

TEST(Transport, StartupRuleComparesTheWholeName) {
  struct Case {
    const char* name;
    bool syncInput;
    bool plays;
  } cases[] = {
      {"Orvelle", false, true},  {"Quintara", false, true},   {"Orvelle ", false, false},
      {"orvelle", false, false}, {"Quintara2", false, false}, {"Probe", false, false},
      {"Orvelle", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.build();
    rig.wire();
    if (c.syncInput) {
      auto record = std::make_unique<MidiDeviceInfo>();
      record->in = true;
      record->active = true;
      record->sync = true;
      rig.settings->midiDevices.push_back(std::move(record));
    }
    rig.engine->applyStartupRule(c.name);
    EXPECT_EQ(rig.engine->requestedPlaying.load(), c.plays);
  }
}
