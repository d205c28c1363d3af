// Open and close while messages arrive on two inputs and the plug-in's thread sends: every message
// a device took reaches its callback before that input's one close notification, the caller's
// context is freed on that notification as the engine does, and sends race with close safely.
// Run under ThreadSanitizer by the test script.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "midi/VLMMMidi.h"
#include "platform/mme/Mme.h"
#include "platform/mme/SimulatedMidi.h"

namespace {

struct Counters {
  std::atomic<long> delivered{0};
  std::atomic<long> closes{0};
  std::atomic<long> lateData{0};
};

struct Context {
  Counters* counters;
  bool closed = false;
};

bool onInput(MidiMessage* m, void* context) {
  auto* ctx = static_cast<Context*>(context);
  if (m->status == 0 && m->statusHigh == 0) {
    ctx->counters->closes.fetch_add(1);
    delete ctx;  // no reference after the close notification
    return true;
  }
  if (m->statusHigh != 0x90) ctx->counters->lateData.fetch_add(1);  // garbage in the record
  ctx->counters->delivered.fetch_add(1);
  return true;
}

TEST(MidiConcurrency, OpenAndCloseWhileMessagesArriveAndTheOutputIsUsed) {
  plat::mme::SimulatedMidi sim;
  sim.addInput("A");
  sim.addInput("B");
  sim.addOutput("Out");
  plat::mme::Mme mme({&sim});
  VLMMMidi midi(mme, plat::clock::systemClock());
  MidiDeviceInfo* a = midi.devices[0].get();
  MidiDeviceInfo* b = midi.devices[1].get();
  MidiDeviceInfo* out = midi.devices[2].get();

  Counters counters;
  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0};
  std::vector<std::thread> threads;
  for (const char* name : {"A", "B"}) {
    threads.emplace_back([&, name] {
      for (uint32_t i = 0; !stop.load(); ++i)
        if (sim.inject(name, 0x90, uint8_t(i & 0x7F), 100)) accepted.fetch_add(1);
    });
  }
  threads.emplace_back([&] {
    MidiMessage m{};
    m.status = 0x80;
    while (!stop.load()) midi.sendShortMessage(m);
  });

  long opens = 0;
  for (int round = 0; round < 200; ++round) {
    for (MidiDeviceInfo* input : {a, b}) {
      auto* ctx = new Context{&counters};
      if (midi.open(input, nullptr, &onInput, ctx))
        ++opens;
      else
        delete ctx;
    }
    EXPECT_TRUE(midi.open(nullptr, out, nullptr, nullptr));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    midi.close();
  }
  stop.store(true);
  for (auto& t : threads) t.join();

  EXPECT_EQ(opens, 400);
  EXPECT_EQ(counters.closes.load(), opens);
  EXPECT_EQ(counters.delivered.load(), accepted.load());
  EXPECT_EQ(counters.lateData.load(), 0);
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(sim.openOutputs("Out"), 0);
}

}  // namespace
