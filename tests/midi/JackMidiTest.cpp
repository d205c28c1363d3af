// The JACK MIDI backing against a real server (dummy backend, started by the test): a test client's
// MIDI output reaches the host's input callback, the host's messages reach the test client's MIDI
// input, the mapper is a host port others connect to, and the process callback neither allocates
// nor locks.
#include "platform/mme/JackMidi.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/VLMMMidi.h"
#include "platform/mme/Mme.h"
#include "platform/mme/ShortMessage.h"
#include "platform/mme/SpscRing.h"
#include "support/JackServer.h"
#include "support/RtCounter.h"

using namespace plat::mme;

namespace {

// A JACK client of the test with one MIDI output ("out") and one MIDI input ("in").
class TestClient {
 public:
  ~TestClient() {
    if (client_) jack_client_close(client_);
  }
  bool open() {
    client_ = jack_client_open("miditest", JackNoStartServer, nullptr);
    if (!client_) return false;
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &TestClient::process, this);
    return out_ && in_ && jack_activate(client_) == 0;
  }
  std::string port(const char* p) const { return std::string(jack_get_client_name(client_)) + ":" + p; }
  jack_client_t* client() const { return client_; }
  bool send(uint32_t packed) { return toSend_.push(packed); }
  // Waits up to 5 s for the next message on "in"; 0 when none came.
  uint32_t receive() {
    uint32_t packed = 0;
    for (int i = 0; i < 500; ++i) {
      if (received_.pop(packed)) return packed;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto& self = *static_cast<TestClient*>(arg);
    void* out = jack_port_get_buffer(self.out_, frames);
    jack_midi_clear_buffer(out);
    uint32_t packed;
    while (self.toSend_.pop(packed)) {
      uint8_t bytes[3];
      jack_midi_event_write(out, 0, bytes, unpackShortMessage(packed, bytes));
    }
    void* in = jack_port_get_buffer(self.in_, frames);
    for (uint32_t i = 0, n = jack_midi_get_event_count(in); i < n; ++i) {
      jack_midi_event_t e;
      if (jack_midi_event_get(&e, in, i) == 0 && packShortMessage(e.buffer, e.size, packed))
        self.received_.push(packed);
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  SpscRing<uint32_t, 256> toSend_;
  SpscRing<uint32_t, 256> received_;
};

// The host's callback context; the test thread reads what the delivery thread wrote.
struct Inbox {
  std::mutex mutex;
  std::vector<MidiMessage> messages;
  int closes = 0;
  static bool callback(MidiMessage* m, void* context) {
    auto* self = static_cast<Inbox*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (m->status == 0 && m->statusHigh == 0)
      ++self->closes;
    else
      self->messages.push_back(*m);
    return true;
  }
  bool waitFor(size_t count) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (messages.size() >= count) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

MidiDeviceInfo* find(VLMMMidi& midi, const std::string& name, bool in) {
  for (auto& d : midi.devices)
    if (d->name == name && d->in == in) return d.get();
  return nullptr;
}

class JackMidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.start(48000, 256)) GTEST_SKIP() << "no JACK server could be started (jackd missing?)";
    ASSERT_TRUE(peer.open());
  }
  testsupport::JackServer server;
  TestClient peer;
};

TEST_F(JackMidiTest, MessagesTravelBothWaysAndTheMapperIsAPortOthersConnectTo) {
  Inbox inbox;
  JackMidi jack;
  ASSERT_TRUE(jack.connected());
  Mme mme({&jack});
  VLMMMidi midi(mme, plat::clock::systemClock());

  // Other clients' ports only, then the mapper.
  MidiDeviceInfo* input = find(midi, peer.port("out"), true);
  MidiDeviceInfo* output = find(midi, peer.port("in"), false);
  ASSERT_NE(input, nullptr);
  ASSERT_NE(output, nullptr);
  for (auto& d : midi.devices) EXPECT_NE(d->name.rfind(jack.clientName() + ":", 0), 0u) << d->name;
  EXPECT_EQ(midi.devices.back()->id, -1);

  ASSERT_TRUE(midi.open(input, nullptr, &Inbox::callback, &inbox));
  ASSERT_TRUE(midi.open(nullptr, output, nullptr, nullptr));
  ASSERT_TRUE(peer.send(0x00643C93));
  ASSERT_TRUE(peer.send(0x000000F8));
  ASSERT_TRUE(inbox.waitFor(2));
  {
    std::lock_guard<std::mutex> lock(inbox.mutex);
    const MidiMessage& m = inbox.messages[0];
    EXPECT_EQ(m.status, 0x90);
    EXPECT_EQ(m.statusHigh, 0x90);
    EXPECT_EQ(m.channel, 3);
    EXPECT_EQ(m.data1, 60);
    EXPECT_EQ(m.data2, 100);
    EXPECT_EQ(inbox.messages[1].status, 0xF8);
  }

  MidiMessage note{};
  note.status = 0x91;
  note.data1 = 60;
  note.data2 = 100;
  midi.sendShortMessage(note);
  EXPECT_EQ(peer.receive(), 0x00643C91u);
  MidiMessage program{};
  program.status = 0xC0;
  program.data1 = 9;
  midi.sendShortMessage(program);
  EXPECT_EQ(peer.receive(), 0x000009C0u);

  // The mapper: a port of the host that the peer connects itself, under the same name each time
  // MIDI is opened again.
  midi.close();
  EXPECT_EQ(inbox.closes, 1);
  const std::string mapper = jack.clientName() + ":" + JackMidi::kMapperPortName;
  for (uint8_t round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(midi.open(nullptr, midi.devices.back().get(), nullptr, nullptr));
    ASSERT_EQ(jack_connect(peer.client(), mapper.c_str(), peer.port("in").c_str()), 0);
    note.status = 0x80;
    note.data2 = round;
    midi.sendShortMessage(note);
    EXPECT_EQ(peer.receive(), 0x00003C80u | uint32_t(round) << 16);
    midi.close();
  }
}

// The server goes away under open ports: sending becomes silent, and close still gives the one
// close notification and returns without waiting on a process callback that will never come.
TEST_F(JackMidiTest, ServerShutdownLeavesTheHostAbleToCloseCleanly) {
  Inbox inbox;
  JackMidi jack;
  ASSERT_TRUE(jack.connected());
  Mme mme({&jack});
  VLMMMidi midi(mme, plat::clock::systemClock());
  ASSERT_TRUE(midi.open(find(midi, peer.port("out"), true), nullptr, &Inbox::callback, &inbox));
  ASSERT_TRUE(midi.open(nullptr, find(midi, peer.port("in"), false), nullptr, nullptr));

  server.stop();
  for (int i = 0; i < 500 && jack.connected(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(jack.connected());
  MidiMessage m{};
  m.status = 0x90;
  midi.sendShortMessage(m);
  const auto before = std::chrono::steady_clock::now();
  midi.close();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_EQ(inbox.closes, 1);
  EXPECT_TRUE(jack.listInputs().empty());
}

std::atomic<long> hookCycles{0};
void countingHook(bool entering, void*) {
  rt::armThisThread(entering);
  if (!entering) hookCycles.fetch_add(1);
}

TEST_F(JackMidiTest, ProcessCallbackNeitherAllocatesNorLocks) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  Inbox inbox;
  JackMidiOptions options;
  options.processHook = &countingHook;
  JackMidi jack(options);
  ASSERT_TRUE(jack.connected());
  Mme mme({&jack});
  VLMMMidi midi(mme, plat::clock::systemClock());
  ASSERT_TRUE(midi.open(find(midi, peer.port("out"), true), nullptr, &Inbox::callback, &inbox));
  ASSERT_TRUE(midi.open(nullptr, find(midi, peer.port("in"), false), nullptr, nullptr));

  rt::resetCounts();
  const long start = hookCycles.load();
  int sent = 0;
  MidiMessage m{};
  m.status = 0xB0;
  while (hookCycles.load() - start < 60) {
    m.data1 = uint8_t(sent & 0x7F);
    if (peer.send(0x000040B0 | uint32_t(sent & 0x7F) << 8)) ++sent;
    midi.sendShortMessage(m);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const rt::Counts counts = rt::counts();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);
  // The cycles that were counted did carry traffic both ways.
  EXPECT_TRUE(inbox.waitFor(10));
  EXPECT_NE(peer.receive(), 0u);
  midi.close();
}

TEST(JackMidiWithoutServer, ListsNothingAndOpensNothing) {
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", "vl-no-such-server", 1);
  JackMidi jack;
  EXPECT_FALSE(jack.connected());
  EXPECT_TRUE(jack.listInputs().empty());
  EXPECT_TRUE(jack.listOutputs().empty());
  EXPECT_FALSE(jack.hasMapper());
  EXPECT_EQ(jack.openOutput(""), nullptr);
  Mme mme({&jack});
  VLMMMidi midi(mme, plat::clock::systemClock());
  EXPECT_TRUE(midi.devices.empty());
}

}  // namespace
