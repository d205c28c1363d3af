#pragma once
// The heaviest block workload the engine meets, for the real-time safety checks: MIDI input at
// 1 kHz (notes, controllers, clock, taps), tempo and transport changes from the user-interface
// thread, keyboard notes, plug-in tempo requests from inside its process routine, a looping
// player and a recorder that fills up part-way. The audio thread holds an `AudioScope` (the
// check's arming) for as long as it runs blocks.
#include <atomic>
#include <thread>

#include "EngineRig.h"

namespace enginetest {

// What the workload did, to show that everything it meant to exercise ran.
struct WorkloadOutcome {
  bool audioFailed = false;
  int playerState = 0;
  uint32_t recorderFill = 0;
  uint32_t processEventsCalls = 0;
  uint32_t midiReceived = 0;
  uint32_t playerPlayed = 0;
  int rounds = 0;
  double tempo = 0.0;

  bool everythingRan(int blocks) const {
    return !audioFailed && playerState == 1 && recorderFill == 1'000'000u && processEventsCalls > 1000u &&
           midiReceived > uint32_t(blocks / 2) && playerPlayed > 1'000'000u && rounds > 150 && tempo != 120.0;
  }
};

template <class AudioScope>
WorkloadOutcome runEverythingWorkload(int blocks) {
  constexpr uint32_t kFrames = 48;  // 1 ms at 48 kHz: one MIDI message per block is MIDI at 1 kHz

  Rig rig({.systemClock = true});
  rig.build();
  rig.settings->tempoTab = 0x9024;  // note 36 taps
  rig.wire();
  if (!rig.startDriver(48000, true, kFrames)) {
    WorkloadOutcome notStarted;
    notStarted.audioFailed = true;
    return notStarted;
  }
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
    AudioScope scope;
    for (int i = 0; i < blocks; ++i) {
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
    for (int seen = 0; seen < blocks;) {
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
  for (int seen = 0; seen < blocks; seen = blocksDone.load()) {
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

  WorkloadOutcome o;
  o.audioFailed = audioFailed.load();
  o.playerState = e.playerState.load();
  o.recorderFill = e.recorderFill.load();
  o.processEventsCalls = rig.state().processEventsCalls;
  o.midiReceived = rig.state().midiCount.load();
  o.playerPlayed = e.playerPlayed.load();
  o.rounds = round;
  o.tempo = e.getTempo();
  return o;
}

}  // namespace enginetest
