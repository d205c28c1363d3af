// The block cycle's own cost: processBlock around a plug-in whose process routine does nothing,
// against a memcpy of the same block (both channels) measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
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
#include "settings/HostSettings.h"
#include "vst/Vst2.h"

namespace {

intptr_t quietDispatcher(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
  return 0;
}
void quietProcess(AEffect*, float**, float**, int32_t) {}

// A backend that only lists devices; the benchmark calls processBlock itself.
class ListOnly final : public VLAudioBase {
 public:
  bool start(AudioDeviceInfo*, AudioDeviceInfo*, AudioCallback, void*) override { return true; }
  void stop() override {}
  bool matchFormats(AudioDeviceInfo*, AudioDeviceInfo*) override { return true; }
  bool open(AudioDeviceInfo* r, bool) override { return r != nullptr; }
  AudioDeviceInfo* add(bool input) {
    devices.push_back(std::make_unique<AudioDeviceInfo>(DeviceTypeASIO, input));
    devices.back()->name = input ? "In" : "Out";
    devices.back()->sampleRate = 48000;
    return devices.back().get();
  }
};

struct Engine {
  plat::clock::SystemClock& clock = plat::clock::systemClock();
  plat::ui::HeadlessMessageBox boxes;
  AEffect effect{};
  VLVSTHostLib lib;
  ListOnly wasapi, asio;
  VLAudioBase* backends[2] = {&wasapi, &asio};
  plat::mme::SimulatedMidi sim;
  plat::mme::Mme mme{{&sim}, clock};
  VLMMMidi midi{mme, clock};
  std::unique_ptr<plat::registry::Registry> registry = plat::registry::makeMemoryRegistry();
  HostSettings settings{*registry, "Bench", false};
  VLVSTHostInterface engine{clock, boxes};

  explicit Engine(bool withInput) {
    effect.magic = kEffectMagic;
    effect.dispatcher = quietDispatcher;
    effect.processReplacing = quietProcess;
    effect.numInputs = effect.numOutputs = 2;
    lib.effect = &effect;
    engine.wire(&lib, backends, &midi, &settings);
    settings.audioOutputDevice = asio.add(false);
    settings.audioInputDevice = withInput ? asio.add(true) : nullptr;
    engine.startEngine();
  }
  ~Engine() {
    engine.stopEngine();
    lib.effect = nullptr;
  }
};

struct Block {
  std::vector<float> left, right;
  ChannelBufferPair pair;
  explicit Block(size_t frames)
      : left(frames, 0.25f), right(frames, 0.25f), pair{left.data(), right.data()} {}
};

void BM_Memcpy(benchmark::State& state) {
  const size_t frames = size_t(state.range(0));
  Block from(frames), to(frames);
  for (auto _ : state) {
    std::memcpy(to.left.data(), from.left.data(), frames * sizeof(float));
    std::memcpy(to.right.data(), from.right.data(), frames * sizeof(float));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}

// The device input passes straight to the plug-in: transport, events, position, recorder check.
void BM_ProcessBlock(benchmark::State& state) {
  const uint32_t frames = uint32_t(state.range(0));
  Engine e(true);
  Block block(frames);
  for (auto _ : state) {
    benchmark::DoNotOptimize(VLVSTHostInterface::processBlock(&block.pair, &block.pair, frames, &e.engine));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}

// An effect without input device: the cycle also silences both channels.
void BM_ProcessBlockSilencedInput(benchmark::State& state) {
  const uint32_t frames = uint32_t(state.range(0));
  Engine e(false);
  Block block(frames);
  for (auto _ : state) {
    benchmark::DoNotOptimize(VLVSTHostInterface::processBlock(&block.pair, &block.pair, frames, &e.engine));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}

// Four events appended between blocks and delivered by the cycle; the appends are timed too.
void BM_ProcessBlockWithEvents(benchmark::State& state) {
  const uint32_t frames = uint32_t(state.range(0));
  Engine e(true);
  Block block(frames);
  for (auto _ : state) {
    for (int i = 0; i < 4; ++i) e.engine.append(0x90, uint8_t(60 + i), 100);
    benchmark::DoNotOptimize(VLVSTHostInterface::processBlock(&block.pair, &block.pair, frames, &e.engine));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_ProcessBlock)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_ProcessBlockSilencedInput)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_ProcessBlockWithEvents)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK_MAIN();
