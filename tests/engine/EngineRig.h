#pragma once
// The engine with everything around it, for tests: the probe plug-in loaded through the real
// wrapper, two test audio backends (a driver kind that the test steps block by block and a
// streaming kind that runs its blocks on the engine's thread), the multimedia MIDI layer over
// simulated devices, settings over an in-memory registry, a manual clock and headless message
// boxes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/VLAudioBase.h"
#include "engine/VLVSTHostInterface.h"
#include "midi/VLMMMidi.h"
#include "platform/clock/Clock.h"
#include "platform/mme/Mme.h"
#include "platform/mme/SimulatedMidi.h"
#include "platform/registry/Registry.h"
#include "platform/ui/MessageBox.h"
#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "settings/HostSettings.h"

namespace enginetest {

// A backend whose blocks the test controls.
//  Driver: start returns at once; each tick() runs one block synchronously on the caller's thread,
//          like an ASIO driver's buffer switch.
//  Streaming: start runs blocks on the calling thread (the engine's own) until the callback
//          answers false or `endAfterBlocks` blocks ran; like the WASAPI loop.
class TestBackend final : public VLAudioBase {
 public:
  enum class Kind { Driver, Streaming };
  explicit TestBackend(Kind kind) : kind_(kind) {}

  AudioDeviceInfo* addDevice(AudioDeviceType type, bool input, const std::string& name, double rate = 48000,
                             uint16_t bits = 0, int32_t bufferSize = 256) {
    auto record = std::make_unique<AudioDeviceInfo>(type, input);
    record->name = name;
    record->sampleRate = rate;
    record->bitsPerSample = bits;
    record->bufferSize = bufferSize;
    devices.push_back(std::move(record));
    return devices.back().get();
  }

  bool start(AudioDeviceInfo* input, AudioDeviceInfo* output, AudioCallback callback, void* user) override {
    ++starts;
    startedInput = input;
    startedOutput = output;
    if (!startResult) return false;
    const uint32_t frames = static_cast<uint32_t>(output->bufferSize);
    if (!allocateChannelBuffers(frames > 0 ? frames : 1)) return false;
    callback_ = callback;
    user_ = user;
    if (kind_ == Kind::Driver) {
      streaming = true;
      return true;
    }
    for (int blocks = 0; endAfterBlocks < 0 || blocks < endAfterBlocks; ++blocks) {
      fillInput(frames);
      if (!callback(&channelBuffers, &channelBuffers, frames, user)) {
        windDown();
        return true;
      }
      streamedBlocks.fetch_add(1);
      struct timespec ts {
        0, 1'000'000
      };
      nanosleep(&ts, nullptr);
      if (const int ms = pauseMs.exchange(0); ms > 0) {
        pausing = true;
        sleepMs(ms);
        pausing = false;
      }
    }
    return false;  // the stream "failed"
  }
  void stop() override {
    ++stops;
    streaming = false;
    callback_ = nullptr;
    freeChannelBuffers();
  }
  bool matchFormats(AudioDeviceInfo*, AudioDeviceInfo*) override { return true; }
  bool open(AudioDeviceInfo* record, bool probeOnly) override {
    ++opens;
    lastProbeOnly = probeOnly;
    if (!record) return false;
    record->infoValid = true;
    return true;
  }

  // Driver kind: one block of `frames` (at most the start's buffer size); the callback's answer.
  bool tick(uint32_t frames) {
    fillInput(frames);
    return callback_(&channelBuffers, &channelBuffers, frames, user_);
  }
  ChannelBufferPair& buffers() { return channelBuffers; }

  float inputValue = 0.25f;  // what the "device" writes into both channels before each block, when set
  bool writesInput = true;
  bool startResult = true;
  int endAfterBlocks = -1;
  // Counted on whichever thread starts the stream (the engine thread for the streaming kind).
  std::atomic<int> starts{0}, stops{0}, opens{0};
  bool lastProbeOnly = true;
  AudioDeviceInfo* startedInput = nullptr;
  AudioDeviceInfo* startedOutput = nullptr;
  std::atomic<int> streamedBlocks{0};
  // Streaming kind: how long start takes to return after the callback answered false, as a real
  // stream that still releases its device.
  std::atomic<int> windDownMs{0};
  // Streaming kind: one gap of this many milliseconds before the next block, as a device that
  // stalls for a moment; `pausing` is set while the gap lasts.
  std::atomic<int> pauseMs{0};
  std::atomic<bool> pausing{false};

 private:
  static void sleepMs(int ms) {
    struct timespec ts {
      ms / 1000, (ms % 1000) * 1'000'000L
    };
    nanosleep(&ts, nullptr);
  }
  void windDown() {
    if (const int ms = windDownMs.load(); ms > 0) sleepMs(ms);
  }
  void fillInput(uint32_t frames) {
    if (!writesInput) return;
    for (uint32_t i = 0; i < frames; ++i) channelBuffers.left[i] = channelBuffers.right[i] = inputValue;
  }
  Kind kind_;
  AudioCallback callback_ = nullptr;
  void* user_ = nullptr;
};

struct RigOptions {
  bool synth = false;
  int32_t numInputs = 2;
  std::vector<std::string> canDo = {"receiveVstMidiEvent", "sendVstMidiEvent"};
  std::vector<std::string> midiInputs;
  std::vector<std::string> midiOutputs;
  bool systemClock = false;  // the streaming backend needs real sleeps
};

class Rig {
 public:
  explicit Rig(RigOptions options = {}) : options_(std::move(options)) {
    clock = options_.systemClock ? static_cast<plat::clock::Clock*>(&plat::clock::systemClock()) : &manual;
    ProbeConfig& c = probe.config();
    c.isSynth = options_.synth ? 1 : 0;
    c.numInputs = options_.numInputs;
    for (size_t i = 0; i < options_.canDo.size() && i < kProbeMaxCanDo; ++i)
      std::snprintf(c.canDo[i], kProbeText, "%s", options_.canDo[i].c_str());
    for (auto& name : options_.midiInputs) sim.addInput(name);
    for (auto& name : options_.midiOutputs) sim.addOutput(name);
  }

  // Loads and opens the plug-in and builds MIDI, settings and the engine; the probe and the
  // simulated devices must be configured before.
  void build() {
    ASSERT_TRUE(probe.ok());
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    ERect rect{};
    std::string name;
    ASSERT_TRUE(lib.openPlugin(rect, name));
    mme = std::make_unique<plat::mme::Mme>(std::vector<plat::mme::MidiBacking*>{&sim}, *clock);
    midi = std::make_unique<VLMMMidi>(*mme, *clock);
    registry = plat::registry::makeMemoryRegistry();
    settings = std::make_unique<HostSettings>(*registry, name, options_.synth);
    settings->mergeMidiDevices(midi->devices);
    engine = std::make_unique<VLVSTHostInterface>(*clock, boxes);
  }

  void wire() { engine->wire(&lib, backends, midi.get(), settings.get()); }

  // Chooses output (and input) devices of the driver backend and starts the engine.
  bool startDriver(double rate = 48000, bool withInput = true, int32_t bufferSize = 256) {
    settings->audioOutputDevice = asio.addDevice(DeviceTypeASIO, false, "Test Out", rate, 0, bufferSize);
    settings->audioInputDevice =
        withInput ? asio.addDevice(DeviceTypeASIO, true, "Test In", rate, 0, bufferSize) : nullptr;
    return engine->startEngine();
  }

  // One block through the driver; the callback's answer.
  bool block(uint32_t frames) { return asio.tick(frames); }

  ~Rig() {
    if (engine) engine->stopEngine();
    if (engine) engine->stopMidi();
    engine.reset();
    if (lib.effect) lib.closePlugin();
  }

  ProbeState& state() { return probe.state(); }
  VstTimeInfo& timeInfo() { return lib.hostContext.timeInfo; }

  RigOptions options_;
  plat::clock::ManualClock manual;
  plat::clock::Clock* clock = nullptr;
  plat::ui::HeadlessMessageBox boxes;
  ProbeLibrary probe{VL_PROBE_PATH};
  VLVSTHostLib lib;
  TestBackend wasapi{TestBackend::Kind::Streaming};
  TestBackend asio{TestBackend::Kind::Driver};
  VLAudioBase* backends[2] = {&wasapi, &asio};
  plat::mme::SimulatedMidi sim;
  std::unique_ptr<plat::mme::Mme> mme;
  std::unique_ptr<VLMMMidi> midi;
  std::unique_ptr<plat::registry::Registry> registry;
  std::unique_ptr<HostSettings> settings;
  std::unique_ptr<VLVSTHostInterface> engine;
};

// A short MIDI message as the MIDI object delivers it.
inline MidiMessage message(uint8_t statusByte, uint8_t data1, uint8_t data2, double deltaMs = 1.0) {
  MidiMessage m{};
  m.status = statusByte >= 0xF0 ? statusByte : static_cast<uint8_t>(statusByte & 0xF0);
  m.statusHigh = static_cast<uint8_t>(statusByte & 0xF0);
  m.channel = static_cast<uint8_t>(statusByte & 0x0F);
  m.data1 = data1;
  m.data2 = data2;
  m.deltaMs = deltaMs;
  return m;
}

// The MIDI events the probe has received, as (status, data1, data2) words.
inline std::vector<uint32_t> receivedMidi(ProbeState& s) {
  std::vector<uint32_t> out;
  const uint32_t n = std::min<uint32_t>(s.midiCount.load(), kProbeMaxMidi);
  for (uint32_t i = 0; i < n; ++i)
    out.push_back(uint32_t(s.midi[i].data[0]) << 16 | uint32_t(s.midi[i].data[1]) << 8 | s.midi[i].data[2]);
  return out;
}

inline uint32_t word(uint8_t status, uint8_t d1, uint8_t d2) {
  return uint32_t(status) << 16 | uint32_t(d1) << 8 | d2;
}

}  // namespace enginetest
