// The engine on the real audio path: the JACK-backed ASIO driver found through the build tree's
// machine hive, a jackd with the dummy backend, MIDI through the JACK MIDI backing, and the probe
// plug-in as an effect and as a synth. A test JACK client feeds audio and MIDI in and records what
// comes out.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "audio/VLASIO.h"
#include "engine/VLVSTHostInterface.h"
#include "midi/VLMMMidi.h"
#include "platform/clock/Clock.h"
#include "platform/com/Com.h"
#include "platform/mme/JackMidi.h"
#include "platform/mme/Mme.h"
#include "platform/registry/Registry.h"
#include "platform/ui/MessageBox.h"
#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "settings/HostSettings.h"
#include "support/JackServer.h"

using namespace std::chrono_literals;

namespace {

const char* kDriver = "Vellumar JACK";

// Feeds a constant into two audio ports, records two audio ports, sends MIDI on request from its
// MIDI out port and keeps what arrives at its MIDI in port.
class TestClient {
 public:
  static constexpr size_t kCapacity = 1 << 19;
  TestClient() {
    client_ = jack_client_open("vltest engine", JackNoStartServer, nullptr);
    if (!client_) return;
    for (int c = 0; c < 2; ++c) {
      feed_[c] = jack_port_register(client_, ("feed_" + std::to_string(c + 1)).c_str(),
                                    JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
      rec_[c] = jack_port_register(client_, ("rec_" + std::to_string(c + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                   JackPortIsInput, 0);
      recorded_[c].resize(kCapacity);
    }
    midiOut_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    midiIn_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    received_.resize(4096);
    jack_set_process_callback(client_, &TestClient::process, this);
  }
  ~TestClient() {
    if (client_) jack_client_close(client_);
  }
  bool ok() const {
    return client_ && feed_[1] && rec_[1] && midiOut_ && midiIn_ && jack_activate(client_) == 0;
  }
  std::string name(jack_port_t* p) const { return jack_port_name(p); }
  bool connect(const std::string& from, const std::string& to) {
    return jack_connect(client_, from.c_str(), to.c_str()) == 0;
  }
  void sendNote(uint8_t status, uint8_t d1, uint8_t d2) {
    pending_ = uint32_t(status) | uint32_t(d1) << 8 | uint32_t(d2) << 16;
  }
  void startRecording() { count_ = 0; }
  size_t recorded() const { return count_.load(); }
  float sample(int c, size_t i) const { return recorded_[c][i]; }
  std::vector<uint32_t> received() const {
    return std::vector<uint32_t>(received_.begin(), received_.begin() + receivedCount_.load());
  }

  float feedValue = 0.5f;
  jack_port_t* feed_[2] = {};
  jack_port_t* rec_[2] = {};
  jack_port_t* midiOut_ = nullptr;
  jack_port_t* midiIn_ = nullptr;

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<TestClient*>(arg);
    for (int c = 0; c < 2; ++c) {
      auto* out = static_cast<float*>(jack_port_get_buffer(self->feed_[c], frames));
      for (jack_nframes_t i = 0; i < frames; ++i) out[i] = self->feedValue;
      auto* in = static_cast<float*>(jack_port_get_buffer(self->rec_[c], frames));
      const size_t at = self->count_.load();
      for (jack_nframes_t i = 0; i < frames && at + i < kCapacity; ++i) self->recorded_[c][at + i] = in[i];
    }
    self->count_.store(std::min(kCapacity, self->count_.load() + frames));
    void* midiOut = jack_port_get_buffer(self->midiOut_, frames);
    jack_midi_clear_buffer(midiOut);
    if (uint32_t m = self->pending_.exchange(0)) {
      jack_midi_data_t bytes[3] = {jack_midi_data_t(m), jack_midi_data_t(m >> 8), jack_midi_data_t(m >> 16)};
      jack_midi_event_write(midiOut, 0, bytes, 3);
    }
    void* midiIn = jack_port_get_buffer(self->midiIn_, frames);
    const uint32_t n = jack_midi_get_event_count(midiIn);
    for (uint32_t i = 0; i < n; ++i) {
      jack_midi_event_t e;
      if (jack_midi_event_get(&e, midiIn, i) != 0 || e.size < 3) continue;
      const uint32_t at = self->receivedCount_.load();
      if (at < self->received_.size()) {
        self->received_[at] =
            uint32_t(e.buffer[0]) | uint32_t(e.buffer[1]) << 8 | uint32_t(e.buffer[2]) << 16;
        self->receivedCount_.store(at + 1);
      }
    }
    return 0;
  }
  jack_client_t* client_ = nullptr;
  std::vector<float> recorded_[2];
  std::atomic<size_t> count_{0};
  std::atomic<uint32_t> pending_{0};
  std::vector<uint32_t> received_;
  std::atomic<uint32_t> receivedCount_{0};
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void runPlugin(bool synth) {
  SCOPED_TRACE(synth ? "synth" : "effect");
  testsupport::JackServer server;
  ASSERT_TRUE(server.start(48000, 256)) << "jackd did not come up";
  testsupport::TempDir dir;
  TestClient client;
  ASSERT_TRUE(client.ok());

  plat::clock::Clock& clock = plat::clock::systemClock();
  plat::ui::HeadlessMessageBox boxes;
  ProbeLibrary probe(VL_PROBE_PATH);
  ASSERT_TRUE(probe.ok());
  probe.config().isSynth = synth ? 1 : 0;
  // A synth ignores its input here (the buffer holds the previous block, as a real device leaves it).
  probe.config().gain = synth ? 0.0f : 0.5f;
  probe.config().sineAmplitude = synth ? 0.25f : 0.0f;
  std::snprintf(probe.config().canDo[0], kProbeText, "receiveVstMidiEvent");
  std::snprintf(probe.config().canDo[1], kProbeText, "sendVstMidiEvent");
  VLVSTHostLib lib;
  ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  ERect rect{};
  std::string name;
  ASSERT_TRUE(lib.openPlugin(rect, name));

  plat::registry::FileRegistryOptions options;
  options.userHivePath = dir.file("user.reg");
  options.machineHivePaths[0] = VL_BUILD_MACHINE_HIVE;
  auto registry = plat::registry::openFileRegistry(options);
  ASSERT_TRUE(registry);
  plat::com::Com com(*registry);
  {
    VLASIO asio(*registry, com);
    AudioDeviceInfo *in = nullptr, *out = nullptr;
    for (auto& r : asio.devices)
      if (r->name == kDriver) (r->isInput ? in : out) = r.get();
    ASSERT_TRUE(in && out) << "the build's machine hive does not list " << kDriver;
    VLAudioBase* backends[2] = {nullptr, &asio};

    plat::mme::JackMidi jackMidi;
    ASSERT_TRUE(jackMidi.connected());
    plat::mme::Mme mme({&jackMidi}, clock);
    VLMMMidi midi(mme, clock);
    const std::string source = client.name(client.midiOut_), destination = client.name(client.midiIn_);
    bool sourceListed = false;
    for (auto& d : midi.devices) {
      if (!d->in && d->name == destination) d->active = true;  // the chosen MIDI output
      if (d->in) d->active = d->name == source;
      if (d->in && d->name == source) sourceListed = true;
    }
    ASSERT_TRUE(sourceListed);
    HostSettings settings(*registry, name, synth);
    settings.mergeMidiDevices(midi.devices);
    settings.audioInputDevice = in;
    settings.audioOutputDevice = out;

    VLVSTHostInterface engine(clock, boxes);
    engine.wire(&lib, backends, &midi, &settings);
    ASSERT_TRUE(engine.startEngine());
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_TRUE(engine.startMidi());
    ASSERT_NE(engine.midiOutput, nullptr);
    for (int c = 0; c < 2; ++c) {
      ASSERT_TRUE(
          client.connect(client.name(client.feed_[c]), std::string("Vellumar ASIO:in_") + char('1' + c)));
      ASSERT_TRUE(
          client.connect(std::string("Vellumar ASIO:out_") + char('1' + c), client.name(client.rec_[c])));
    }
    ASSERT_TRUE(waitFor([&] { return probe.state().processCalls.load() > 20; }));

    // Audio: the effect gets the fed 0.5 and halves it; the synth ignores its input and plays.
    client.startRecording();
    ASSERT_TRUE(waitFor([&] { return client.recorded() > 256 * 20; }));
    const size_t n = client.recorded();
    size_t exact = 0;
    float lowest = 0.0f, highest = 0.0f;
    for (size_t i = 256; i < n; ++i) {
      if (client.sample(0, i) == 0.25f && client.sample(1, i) == 0.25f) ++exact;
      lowest = std::min(lowest, client.sample(0, i));
      highest = std::max(highest, client.sample(0, i));
    }
    if (synth) {
      // The probe's sine, not the fed constant.
      EXPECT_LT(lowest, -0.2f);
      EXPECT_GT(highest, 0.2f);
      EXPECT_LE(std::max(-lowest, highest), 0.25f + 1e-6f);
    } else {
      EXPECT_EQ(exact, n - 256) << "every recorded frame is the fed signal through the plug-in; e.g. "
                                << client.sample(0, 300) << " " << client.sample(0, 1000) << " "
                                << client.sample(1, 3000) << " " << lowest << ".." << highest;
    }

    // MIDI in: a note from the test client reaches the plug-in with deltaFrames 0.
    client.sendNote(0x92, 64, 99);
    ASSERT_TRUE(waitFor([&] { return probe.state().midiCount.load() > 0; }));
    EXPECT_EQ(probe.state().midi[0].data[0], 0x92);
    EXPECT_EQ(probe.state().midi[0].data[1], 64);
    EXPECT_EQ(probe.state().midi[0].data[2], 99);
    EXPECT_EQ(probe.state().midi[0].deltaFrames, 0);

    // MIDI out: what the plug-in sends reaches the test client.
    probe.config().midiOutCount = 1;
    probe.config().midiOutData[0] = 0xB1;
    probe.config().midiOutData[1] = 74;
    probe.config().midiOutData[2] = 12;
    probe.config().midiOutInProcess = 1;
    ASSERT_TRUE(waitFor([&] { return !client.received().empty(); }));
    EXPECT_EQ(client.received().front(), 0x0C4AB1u);

    engine.stopMidi();
    engine.stopEngine();
    EXPECT_FALSE(engine.running.load());
    EXPECT_EQ(probe.state().lastFrames, 256);
    // The song position advanced by frames x beatsPerSample for every block since the start.
    const uint32_t blocks = probe.state().processCalls.load();
    const double perBlock = 256 * engine.beatsPerSample;
    EXPECT_DOUBLE_EQ(engine.beatsPerSample, 120.0 / 60.0 / 48000.0);
    EXPECT_NEAR(engine.songPosition.load(), blocks * perBlock, 1e-9);
    EXPECT_NEAR(probe.state().lastTime.ppqPos, (blocks - 1) * perBlock, 1e-9);
  }
  lib.closePlugin();
}

}  // namespace

TEST(EngineJack, EffectThroughTheRealAsioPathWithMidiBothWays) {
  runPlugin(false);
}
TEST(EngineJack, SynthThroughTheRealAsioPathWithMidiBothWays) {
  runPlugin(true);
}
