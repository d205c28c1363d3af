// VLMMMidi over simulated devices: enumeration, decoding, timing, close notifications, sending.
#include "midi/VLMMMidi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "midi/MidiTestSupport.h"
#include "platform/clock/Clock.h"
#include "platform/mme/Mme.h"
#include "platform/mme/SimulatedMidi.h"
#include "support/RtCounter.h"

using miditest::Received;
using plat::mme::Mme;
using plat::mme::SimulatedMidi;

namespace {

class VLMMMidiTest : public ::testing::Test {
 protected:
  void build() {
    mme = std::make_unique<Mme>(std::vector<plat::mme::MidiBacking*>{&sim}, clock);
    midi = std::make_unique<VLMMMidi>(*mme, clock);
  }
  void TearDown() override {
    midi.reset();
    mme.reset();
  }
  MidiDeviceInfo* device(const std::string& name, bool in) {
    for (auto& d : midi->devices)
      if (d->name == name && d->in == in) return d.get();
    return nullptr;
  }
  MidiDeviceInfo* mapper() { return midi->devices.empty() ? nullptr : midi->devices.back().get(); }
  bool inject(const std::string& input, uint32_t packed) {
    bool ok = sim.inject(input, packed);
    mme->flush();
    return ok;
  }
  void send(uint8_t status, uint8_t d1, uint8_t d2) {
    MidiMessage m{};
    m.status = status;
    m.data1 = d1;
    m.data2 = d2;
    midi->sendShortMessage(m);
  }

  // Callback contexts outlive the MIDI object, which notifies them when it closes.
  Received r, ra, rb, again;
  plat::clock::ManualClock clock;
  SimulatedMidi sim;
  std::unique_ptr<Mme> mme;
  std::unique_ptr<VLMMMidi> midi;
};

TEST_F(VLMMMidiTest, ListsInputsThenOutputsThenMapperWithFreshValues) {
  sim.addInput("Keys In");
  sim.addInput("Pads In");
  sim.addOutput("Synth Out");
  build();

  struct Expected {
    int32_t id;
    const char* name;
    bool in;
  } expected[] = {
      {0, "Keys In", true}, {1, "Pads In", true}, {0, "Synth Out", false}, {-1, "MIDI Mapper", false}};
  ASSERT_EQ(midi->devices.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const MidiDeviceInfo& d = *midi->devices[i];
    EXPECT_EQ(d.id, expected[i].id);
    EXPECT_EQ(d.type, 1);
    EXPECT_EQ(d.name, expected[i].name);
    EXPECT_EQ(d.in, expected[i].in);
    EXPECT_EQ(d.active, expected[i].in);
    EXPECT_FALSE(d.sync);
    EXPECT_FALSE(d.syncWhilePlaying);
    EXPECT_EQ(d.delay, 0);
    EXPECT_FALSE(d.filterCCMessages);
    EXPECT_FALSE(d.filterProgramChanges);
    EXPECT_EQ(d.channel, 0);
    EXPECT_EQ(d.keyboardRangeLeft, 0);
    EXPECT_EQ(d.keyboardRangeRight, 127);
  }
  EXPECT_FALSE(midi->closed);
  EXPECT_EQ(midi->message.status, 0);
  EXPECT_EQ(midi->message.deltaMs, 0.0);
}

TEST_F(VLMMMidiTest, WithoutDevicesOnlyTheMapperIsListedAndWithoutMapperNothing) {
  build();
  ASSERT_EQ(midi->devices.size(), 1u);
  EXPECT_EQ(midi->devices[0]->id, -1);
  EXPECT_FALSE(midi->devices[0]->in);

  midi.reset();
  sim.setMapper(false);
  midi = std::make_unique<VLMMMidi>(*mme, clock);
  EXPECT_TRUE(midi->devices.empty());
}

TEST_F(VLMMMidiTest, DeviceWhoseCapabilitiesFailIsLeftOutAndOthersKeepTheirIndex) {
  sim.addInput("Broken In").capsFails = true;
  sim.addInput("Good In");
  sim.addOutput("Broken Out").capsFails = true;
  sim.addOutput("Good Out");
  build();
  ASSERT_EQ(midi->devices.size(), 3u);
  EXPECT_EQ(midi->devices[0]->name, "Good In");
  EXPECT_EQ(midi->devices[0]->id, 1);
  EXPECT_EQ(midi->devices[1]->name, "Good Out");
  EXPECT_EQ(midi->devices[1]->id, 1);

  // The index is what opens it.
  ASSERT_TRUE(midi->open(midi->devices[0].get(), nullptr, &Received::callback, &r));
  EXPECT_TRUE(sim.inputOpen("Good In"));
  EXPECT_FALSE(sim.inputOpen("Broken In"));
}

TEST_F(VLMMMidiTest, OpenWithBothNullFailsAndLeavesClosedSet) {
  build();
  midi->close();
  EXPECT_TRUE(midi->closed);
  EXPECT_FALSE(midi->open(nullptr, nullptr, &Received::callback, nullptr));
  EXPECT_TRUE(midi->closed);
}

TEST_F(VLMMMidiTest, DecodesInputMessages) {
  sim.addInput("In");
  build();
  ASSERT_TRUE(midi->open(device("In", true), nullptr, &Received::callback, &r));

  struct Case {
    uint32_t packed;
    uint8_t status, statusHigh, channel, data1, data2;
  } cases[] = {
      {0x00643C93, 0x90, 0x90, 3, 60, 100},      // note-on, channel 4
      {0x000000F8, 0xF8, 0xF0, 8, 0, 0},         // clock
      {0x00007FE0, 0xE0, 0xE0, 0, 0x7F, 0},      // pitch bend
      {0x00FFBCBF, 0xB0, 0xB0, 15, 0x3C, 0x7F},  // data bytes with the high bit set are masked
      {0x000000FF, 0xFF, 0xF0, 15, 0, 0},
  };
  for (const auto& c : cases) ASSERT_TRUE(sim.inject("In", c.packed));
  mme->flush();
  ASSERT_EQ(r.messages.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const MidiMessage& m = r.messages[i];
    EXPECT_EQ(m.status, cases[i].status);
    EXPECT_EQ(m.statusHigh, cases[i].statusHigh);
    EXPECT_EQ(m.channel, cases[i].channel);
    EXPECT_EQ(m.data1, cases[i].data1);
    EXPECT_EQ(m.data2, cases[i].data2);
  }
}

// The manual clock starts at 0, so the first message arrives at counter 0: that must still count
// as a reading, or the second message would claim to be the first.
TEST_F(VLMMMidiTest, DeltaMsAcrossInputsAndAcrossCloseAndOpen) {
  sim.addInput("A");
  sim.addInput("B");
  build();
  ASSERT_TRUE(midi->open(device("A", true), nullptr, &Received::callback, &ra));
  ASSERT_TRUE(midi->open(device("B", true), nullptr, &Received::callback, &rb));

  ASSERT_TRUE(inject("A", 0x00643C90));
  clock.advanceMs(10);
  ASSERT_TRUE(inject("B", 0x00003C80));
  clock.advanceMs(2.5);
  ASSERT_TRUE(inject("B", 0x00003C80));
  ASSERT_EQ(ra.messages.size(), 1u);
  ASSERT_EQ(rb.messages.size(), 2u);
  EXPECT_EQ(ra.messages[0].deltaMs, 0.0);
  EXPECT_NEAR(rb.messages[0].deltaMs, 10.0, 1e-9);
  EXPECT_NEAR(rb.messages[1].deltaMs, 2.5, 1e-9);

  midi->close();
  clock.advanceMs(7);
  ASSERT_TRUE(midi->open(device("A", true), nullptr, &Received::callback, &again));
  clock.advanceMs(3);
  ASSERT_TRUE(inject("A", 0x00643C90));
  ASSERT_EQ(again.messages.size(), 1u);
  EXPECT_NEAR(again.messages[0].deltaMs, 10.0, 1e-9);
}

TEST_F(VLMMMidiTest, CloseDeliversExactlyOneCloseNotificationPerInputAfterItsData) {
  sim.addInput("A");
  sim.addInput("B");
  build();
  ASSERT_TRUE(midi->open(device("A", true), nullptr, &Received::callback, &ra));
  ASSERT_TRUE(midi->open(device("B", true), nullptr, &Received::callback, &rb));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(sim.inject("A", 0x90, uint8_t(i), 1));
    ASSERT_TRUE(sim.inject("B", 0x80, uint8_t(i), 0));
  }
  midi->close();  // no flush: close itself delivers what had arrived
  EXPECT_TRUE(midi->closed);
  for (Received* r : {&ra, &rb}) {
    EXPECT_EQ(r->messages.size(), 5u);
    EXPECT_EQ(r->closes, 1);
    EXPECT_FALSE(r->dataAfterClose);
  }
  EXPECT_EQ(midi->message.status, 0);
  EXPECT_EQ(midi->message.statusHigh, 0);
  EXPECT_EQ(midi->message.data1, 4);  // the other fields keep the last message

  // Nothing is open any more; a second close notifies nobody again.
  EXPECT_FALSE(sim.inject("A", 0x90, 1, 1));
  midi->close();
  EXPECT_EQ(ra.closes, 1);
  EXPECT_EQ(rb.closes, 1);
}

TEST_F(VLMMMidiTest, DestructorClosesInputsWithTheirNotificationAndTheOutput) {
  sim.addInput("In");
  sim.addOutput("Out");
  build();
  ASSERT_TRUE(midi->open(device("In", true), nullptr, &Received::callback, &r));
  ASSERT_TRUE(midi->open(nullptr, device("Out", false), nullptr, nullptr));
  EXPECT_EQ(sim.openOutputs("Out"), 1);
  midi.reset();
  EXPECT_EQ(r.closes, 1);
  EXPECT_FALSE(sim.inputOpen("In"));
  EXPECT_EQ(sim.openOutputs("Out"), 0);
}

TEST_F(VLMMMidiTest, SendShortMessagePacksAndIsSilentWhenClosedOrWithoutOutput) {
  sim.addOutput("Out");
  build();
  send(0x90, 60, 100);  // nothing open yet
  ASSERT_TRUE(midi->open(nullptr, device("Out", false), nullptr, nullptr));
  send(0x90, 60, 100);
  send(0xC5, 7, 0);
  midi->close();
  send(0x80, 60, 0);
  EXPECT_EQ(sim.sent("Out"), (std::vector<uint32_t>{0x00643C90, 0x000007C5}));
  EXPECT_EQ(sim.openOutputs("Out"), 0);
}

TEST_F(VLMMMidiTest, MapperEntryOpensTheMapper) {
  sim.addOutput("Out");
  build();
  ASSERT_EQ(mapper()->id, -1);
  ASSERT_TRUE(midi->open(nullptr, mapper(), nullptr, nullptr));
  EXPECT_EQ(sim.openMappers(), 1);
  send(0xB0, 123, 0);
  EXPECT_EQ(sim.sentToMapper(), std::vector<uint32_t>{0x00007BB0});
  EXPECT_TRUE(sim.sent("Out").empty());
}

TEST_F(VLMMMidiTest, OpeningAnotherOutputClosesThePreviousOne) {
  sim.addOutput("One");
  sim.addOutput("Two");
  build();
  ASSERT_TRUE(midi->open(nullptr, device("One", false), nullptr, nullptr));
  ASSERT_TRUE(midi->open(nullptr, device("Two", false), nullptr, nullptr));
  EXPECT_EQ(sim.openOutputs("One"), 0);
  EXPECT_EQ(sim.openOutputs("Two"), 1);
}

// An input that opens but does not start is closed again: the device is free for the next try,
// the caller's callback hears nothing (its context stays the caller's) and the context record of
// this object is freed (the sanitizer build would report the leak).
TEST_F(VLMMMidiTest, FailuresReportFalseAndLeaveNothingOpen) {
  auto& in = sim.addInput("In");
  auto& out = sim.addOutput("Out");
  build();

  in.startFails = true;
  EXPECT_FALSE(midi->open(device("In", true), nullptr, &Received::callback, &r));
  EXPECT_FALSE(sim.inputOpen("In"));
  in.startFails = false;
  in.openFails = true;
  EXPECT_FALSE(midi->open(device("In", true), device("Out", false), &Received::callback, &r));
  EXPECT_EQ(sim.openOutputs("Out"), 0);  // the output is not attempted after a failed input
  in.openFails = false;
  out.openFails = true;
  EXPECT_FALSE(midi->open(nullptr, device("Out", false), nullptr, nullptr));
  send(0x90, 1, 1);
  EXPECT_TRUE(r.messages.empty());
  EXPECT_EQ(r.closes, 0);

  // A device id that does not exist (a stale record) fails too.
  MidiDeviceInfo stale = *device("In", true);
  stale.id = 7;
  EXPECT_FALSE(midi->open(&stale, nullptr, &Received::callback, &r));

  ASSERT_TRUE(midi->open(device("In", true), nullptr, &Received::callback, &r));
  ASSERT_TRUE(inject("In", 0x00403C90));
  midi->close();
  EXPECT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.closes, 1);
}

// The delivery thread runs the host's input handler, which measures each message's arrival on
// it: between messages that thread neither allocates nor takes a lock, so no allocator or lock
// delay gets into the times MIDI clock sync and the learned tap read.
TEST_F(VLMMMidiTest, InputDeliveryNeitherAllocatesNorLocks) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  sim.addInput("In");
  build();
  struct Counted {
    std::atomic<int> delivered{0};
    static bool callback(MidiMessage* m, void* context) {
      if (m->status == 0 && m->statusHigh == 0) return true;
      rt::armThisThread(true);  // the delivery thread stays armed from its first message on
      static_cast<Counted*>(context)->delivered.fetch_add(1);
      return true;
    }
  };
  static Counted counted;  // outlives the MIDI object, which notifies it when it closes
  ASSERT_TRUE(midi->open(device("In", true), nullptr, &Counted::callback, &counted));
  ASSERT_TRUE(sim.inject("In", 0x90, 60, 100));
  while (counted.delivered.load() < 1) std::this_thread::yield();
  // Let the delivery thread finish the pass of the first message and wait for the next one.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  rt::resetCounts();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(sim.inject("In", 0x90, uint8_t(i & 0x7F), 100));
    while (counted.delivered.load() < i + 2) std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const rt::Counts c = rt::counts();
  EXPECT_EQ(c.allocations, 0u);
  EXPECT_EQ(c.frees, 0u);
  EXPECT_EQ(c.locks, 0u);
}

}  // namespace
