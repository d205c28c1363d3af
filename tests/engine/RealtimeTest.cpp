// Real-time safety of the block cycle, proved by counting: while the audio thread is armed, every
// allocation, free and mutex lock it makes is counted. The probe's own process routine allocates
// and locks nothing, so every count would be the engine's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "EngineRig.h"
#include "support/RtCounter.h"

using namespace enginetest;

TEST(EngineRealtime, HundredThousandBlocksWithEverythingRunningAllocateAndLockNothing) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  constexpr int kBlocks = 100'000;
  constexpr uint32_t kFrames = 48;  // 1 ms at 48 kHz: one MIDI message per block is MIDI at 1 kHz

  Rig rig({.systemClock = true});
  rig.build();
  rig.settings->tempoTab = 0x9024;  // note 36 taps
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, true, kFrames));
  VLVSTHostInterface& e = *rig.engine;

  // A looping player and a recorder that fills up part-way through.
  e.playerLeft = new float[4097];
  e.playerRight = new float[4097];
  for (int i = 0; i <= 4096; ++i) e.playerLeft[i] = e.playerRight[i] = float(i % 64) / 64.0f;
  e.playerLength = 4096;
  e.playerIncrement = 0.91875;
  e.playerLoop = true;
  e.recorderLeft = new float[1'000'000];
  e.recorderRight = new float[1'000'000];
  e.recorderCapacity = 1'000'000;
  e.playerState = 2;
  e.recorderState = 2;  // both start at the first block with events
  e.syncActive = true;

  // The audio thread runs as fast as it can but not ahead of the MIDI thread, which sends one
  // message per block (waiting there only spins; the arming counts the engine's calls).
  std::atomic<int> blocksDone{0};
  std::atomic<int> midiSent{0};
  std::atomic<bool> audioFailed{false};
  std::thread audio([&] {
    rt::Scope armed;
    for (int i = 0; i < kBlocks; ++i) {
      while (midiSent.load() < i) {
      }
      if (!rig.block(kFrames)) audioFailed = true;
      blocksDone.store(i + 1);
    }
  });

  // MIDI input thread: one message per block, notes, controllers, clock and a tap now and then.
  std::thread midiThread([&] {
    MidiDeviceInfo device;
    device.in = true;
    device.sync = true;
    device.syncWhilePlaying = true;
    auto* context = new VLVSTHostInterface::InputContext(&device, &e);
    int sent = 0;
    for (int seen = 0; seen < kBlocks;) {
      const int now = blocksDone.load();
      if (now == seen) {
        std::this_thread::yield();
        continue;
      }
      seen = now;
      MidiMessage m;
      switch (sent++ % 8) {
        case 0:
          m = message(0x90, 60, 100);
          break;
        case 1:
          m = message(0x80, 60, 0);
          break;
        case 2:
          m = message(0xB0, 1, uint8_t(sent & 0x7F));
          break;
        case 3:
          m = message(0xF8, 0, 0);
          break;
        case 4:
          m = message(0xE0, 0, 64);
          break;
        case 5:
          m = message(0xF8, 0, 0);
          break;
        case 6:
          m = message((sent / 8) % 100 == 0 ? 0x90 : 0xA0, 36, 90);
          break;  // a tap now and then
        default:
          m = message(0xD0, 20, 0);
          break;
      }
      VLVSTHostInterface::onMidiInput(&m, context);
      midiSent.store(seen);
    }
    MidiMessage close{};
    VLVSTHostInterface::onMidiInput(&close, context);
  });

  // User-interface thread: tempo and transport requests, keyboard notes, plug-in requests that
  // run inside its process routine (tempo through 'VLEx', time info reads on every block).
  int round = 0;
  for (int seen = 0; seen < kBlocks; seen = blocksDone.load()) {
    if (seen < round * 500) {
      std::this_thread::yield();
      continue;
    }
    ++round;
    e.setTempo(90.0 + round % 60);
    e.setPlaying(round % 2 == 0);
    e.computerKeyboardNote('D', true);
    e.computerKeyboardNote('D', false);
    if (round % 5 == 0) {
      rig.probe.config().tempoInProcess = 100.0f + float(round % 40);
      rig.probe.config().tempoRequestInProcess = 1;
    }
    if (round % 7 == 0) e.startPlayerAndRecorder = true;
  }
  audio.join();
  midiThread.join();
  e.drainWorker();

  const rt::Counts counts = rt::counts();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);
  EXPECT_FALSE(audioFailed.load());
  // Everything did run.
  EXPECT_EQ(e.playerState.load(), 1);
  EXPECT_EQ(e.recorderFill.load(), 1'000'000u);
  EXPECT_GT(rig.state().processEventsCalls, 1000u);
  EXPECT_GT(rig.state().midiCount.load(), uint32_t(kBlocks / 2));
  EXPECT_GT(e.playerPlayed.load(), 1'000'000u);
  EXPECT_GT(round, 150);
  EXPECT_NE(e.getTempo(), 120.0);
}
