// The engine's cross-thread hand-overs under load (run under ThreadSanitizer too): the event queue
// with two producers against the audio thread, the learned tap trigger replaced and discarded from
// two threads while it is read, and tempo requests from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "EngineRig.h"

using namespace enginetest;

namespace {

// A plug-in that only collects what effProcessEvents hands it.
struct Collector {
  AEffect effect{};
  std::vector<uint32_t> events;       // (status, data1, data2) in delivery order
  std::vector<uint32_t> blockCounts;  // events per delivering block
  static Collector* self(AEffect* e) { return reinterpret_cast<Collector*>(e); }
  static intptr_t dispatcher(AEffect* e, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
    if (opcode != effProcessEvents) return 0;
    auto* list = static_cast<VstEvents*>(ptr);
    for (int32_t i = 0; i < list->numEvents; ++i) {
      auto* m = reinterpret_cast<VstMidiEvent*>(list->events[i]);
      self(e)->events.push_back(uint32_t(uint8_t(m->midiData[0])) << 16 |
                                uint32_t(uint8_t(m->midiData[1])) << 8 | uint8_t(m->midiData[2]));
    }
    self(e)->blockCounts.push_back(uint32_t(list->numEvents));
    return 1;
  }
  static void process(AEffect*, float**, float**, int32_t) {}
  Collector() {
    effect.magic = kEffectMagic;
    effect.dispatcher = dispatcher;
    effect.processReplacing = process;
    effect.numInputs = effect.numOutputs = 2;
    events.reserve(1 << 20);
    blockCounts.reserve(1 << 20);
  }
};
static_assert(offsetof(Collector, effect) == 0);

// The engine around the collector, without a module.
struct Bench {
  plat::clock::ManualClock clock;
  plat::ui::HeadlessMessageBox boxes;
  Collector plugin;
  VLVSTHostLib lib;
  TestBackend wasapi{TestBackend::Kind::Streaming}, asio{TestBackend::Kind::Driver};
  VLAudioBase* backends[2] = {&wasapi, &asio};
  plat::mme::SimulatedMidi sim;
  plat::mme::Mme mme{{&sim}, clock};
  VLMMMidi midi{mme, clock};
  std::unique_ptr<plat::registry::Registry> registry = plat::registry::makeMemoryRegistry();
  HostSettings settings{*registry, "Collector", true};
  VLVSTHostInterface engine{clock, boxes};
  Bench() {
    lib.effect = &plugin.effect;
    engine.wire(&lib, backends, &midi, &settings);
    settings.audioOutputDevice = asio.addDevice(DeviceTypeASIO, false, "Out", 48000, 0, 64);
    EXPECT_TRUE(engine.startEngine());
  }
  ~Bench() {
    engine.stopEngine();
    lib.effect = nullptr;
  }
};

}  // namespace

TEST(EngineStress, TwoProducersAgainstTheAudioThreadDeliverEveryStoredEventOnceInOrder) {
  constexpr int kPerProducer = 60'000;
  Bench bench;
  // Phase 0 runs blocks flat out (few drops); phase 1 paces them so producers overflow the queue.
  for (int phase = 0; phase < 2; ++phase) {
    SCOPED_TRACE(phase);
    bench.plugin.events.clear();
    bench.plugin.blockCounts.clear();
    std::vector<uint16_t> stored[2];
    int dropped[2] = {0, 0};
    std::atomic<int> producersDone{0};
    auto producer = [&](int p) {
      stored[p].reserve(kPerProducer);
      for (int seq = 0; seq < kPerProducer; ++seq) {
        const uint16_t tag = uint16_t(seq & 0x3FFF);
        if (bench.engine.append(uint8_t(0x90 | p), uint8_t(tag & 0x7F), uint8_t(tag >> 7)))
          stored[p].push_back(tag);
        else
          ++dropped[p];
        if (phase == 0 && seq % 64 == 0) std::this_thread::yield();
      }
      producersDone.fetch_add(1);
    };
    std::thread audio([&] {
      // Two blocks after both producers finished flush what they left.
      for (int tail = 0; tail < 2;) {
        bench.asio.tick(64);
        if (producersDone.load() == 2) ++tail;
        if (phase == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::thread a(producer, 0), b(producer, 1);
    a.join();
    b.join();
    audio.join();

    std::vector<uint16_t> delivered[2];
    for (uint32_t w : bench.plugin.events) {
      const int p = int((w >> 16) & 0x0F);
      ASSERT_TRUE(p == 0 || p == 1);
      delivered[p].push_back(uint16_t(((w & 0xFF) << 7) | ((w >> 8) & 0x7F)));
    }
    for (int p = 0; p < 2; ++p) {
      EXPECT_EQ(delivered[p], stored[p]) << "producer " << p;
      EXPECT_EQ(int(stored[p].size()) + dropped[p], kPerProducer);
    }
    uint32_t full = 0;
    for (uint32_t n : bench.plugin.blockCounts) {
      ASSERT_LE(n, 256u);
      if (n == 256) ++full;
    }
    // An event is refused only while the queue is full, and a full queue is delivered whole.
    if (dropped[0] + dropped[1] > 0) {
      EXPECT_GT(full, 0u);
    }
    if (phase == 1) {
      EXPECT_GT(dropped[0] + dropped[1], 0) << "pacing should overflow the queue";
    }
  }
}

TEST(EngineStress, LearnedTapIsReplacedAndDiscardedWhileRead) {
  Bench bench;
  VLVSTHostInterface& e = bench.engine;
  MidiDeviceInfo device;
  device.in = true;
  auto* context = new VLVSTHostInterface::InputContext(&device, &e);
  std::atomic<bool> stop{false};

  // MIDI thread: arms learning itself now and then and sends messages that are learned or tapped.
  std::thread midiThread([&] {
    for (int i = 0; i < 4000; ++i) {
      if (i % 4 == 0) e.learnTapArmed = true;
      MidiMessage m = message(uint8_t(0x90 | (i & 3)), uint8_t(i % 3), 100);
      VLVSTHostInterface::onMidiInput(&m, context);
    }
    stop = true;
  });
  // User-interface thread: the Tempo dialog's button and timer.
  std::thread uiThread([&] {
    for (int i = 0; !stop.load(); ++i) {
      e.armLearnTap(i % 2 == 0);
      const int32_t trigger = e.learnedTrigger();
      EXPECT_TRUE(trigger == 0 || (trigger >> 8) == 0x90);
    }
  });
  // The plug-in asks for tempos from its own threads.
  std::thread plugA([&] {
    for (int i = 0; !stop.load(); ++i) VLVSTHostInterface::onPluginTempo(100.0 + i % 7, &e);
  });
  std::thread plugB([&] {
    for (int i = 0; !stop.load(); ++i) VLVSTHostInterface::onPluginTempo(140.0 + i % 5, &e);
  });
  midiThread.join();
  uiThread.join();
  plugA.join();
  plugB.join();
  e.drainWorker();
  MidiMessage close{};
  VLVSTHostInterface::onMidiInput(&close, context);
  EXPECT_GE(e.getTempo(), 100.0);
  EXPECT_EQ(bench.settings.tempo.load(), e.getTempo());
}
