// The engine's cycle: construction, wiring, starting and stopping the device, the block callback
// and the worker thread.
#include "engine/VLVSTHostInterface.h"

#include <cstring>

#include "audio/AudioDeviceInfo.h"
#include "audio/VLAudioBase.h"
#include "engine/TransportMath.h"
#include "midi/MidiMessage.h"
#include "platform/clock/Clock.h"
#include "platform/ui/MessageBox.h"
#include "plugin/VLVSTHostLib.h"
#include "settings/HostSettings.h"
#include "vst/Vst2.h"

namespace {

bool isSynth(const AEffect* effect) {
  return effect && (effect->flags & effFlagsIsSynth) != 0;
}

intptr_t dispatch(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  return effect && effect->dispatcher ? effect->dispatcher(effect, opcode, index, value, ptr, opt) : 0;
}

}  // namespace

std::atomic<int> VLVSTHostInterface::InputContext::live{0};

VLVSTHostInterface::VLVSTHostInterface(plat::clock::Clock& clk, plat::ui::MessageBox& boxes)
    : cpuMeter(clk), perfFrequency(clk.performanceFrequency()), clock(clk), messageBox(boxes) {
  worker_.start([this] { workerLoop(); });
}

VLVSTHostInterface::~VLVSTHostInterface() {
  wakeWorker(kWorkStop);
  worker_.join();
  endStreamThread();
}

void VLVSTHostInterface::wire(VLVSTHostLib* h, AudioBackends devices, VLMidiBase* m, HostSettings* s) {
  if (!h || !devices || !m || !s) return;
  host = h;
  audioDevices = devices;
  midi = m;
  settings = s;
  tempo = s->tempo.load();
  int32_t tab = s->tempoTab.load();
  if (tab != 0) {
    auto* message = new MidiMessage{};
    message->status = static_cast<uint8_t>((tab >> 8) & 0xFF);
    message->data1 = static_cast<uint8_t>(tab & 0xFF);
    replaceLearnedTap(message);
  }
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping the device

namespace {
VLAudioBase* backendFor(VLVSTHostInterfaceBase::AudioBackends devices, const AudioDeviceInfo* record) {
  if (!record) return nullptr;
  if (record->type == DeviceTypeASIO) return devices[VLVSTHostInterfaceBase::kAsioBackend];
  if (record->type == DeviceTypeWASAPIShared || record->type == DeviceTypeWASAPIExclusive)
    return devices[VLVSTHostInterfaceBase::kWasapiBackend];
  return nullptr;
}
}  // namespace

bool VLVSTHostInterface::startEngine() {
  if (!host || !midi || !audioDevices || !settings) return false;
  const int32_t wasPlaying = playerState.load();
  if (wasPlaying > 0) setPlayerState(0, playerLoop);
  stopEngine();
  // Whatever device comes next, the previous stream's thread must be gone first: one that is still
  // winding down would clear `running` under the new stream, and one that stalled through the stop
  // handshake would go on calling the block cycle beside it.
  endStreamThread();

  if (VLAudioBase* backend = backendFor(audioDevices, settings->audioInputDevice))
    backend->open(settings->audioInputDevice, false);
  if (!settings->audioOutputDevice) return false;
  if (VLAudioBase* backend = backendFor(audioDevices, settings->audioOutputDevice)) {
    backend->open(settings->audioOutputDevice, false);
    if (!settings->audioOutputDevice) return false;
  }

  AEffect* effect = host->effect;
  const bool synth = isSynth(effect);
  if (effect && !synth && effect->numInputs > 0 && !settings->audioInputDevice)
    messageBox.show(nullptr, "No input device available.\r\nOnly the audio player will work.", "Warning",
                    plat::ui::Buttons::Ok, plat::ui::Icon::Warning);
  if (effect && (synth || effect->numInputs == 0)) {
    auto guard = settings->lock();  // a save on another thread reads the device pointers
    settings->audioInputDevice = nullptr;
  }

  AudioDeviceInfo* input = settings->audioInputDevice;
  AudioDeviceInfo* output = settings->audioOutputDevice;
  if (input && output) {
    if (input->sampleRate != output->sampleRate) {
      const char* text =
          isWASAPIType(output->type)
              ? "Different sample rates for input and output device not supported!\r\nAutomatic adjustment "
                "failed.\r\nPlease check your Audio device settings!"
              : "Different sample rates for input and output device not supported!\r\nPlease correct and "
                "restart Application.";
      messageBox.show(nullptr, text, "Error", plat::ui::Buttons::Ok, plat::ui::Icon::Error);
      return false;
    }
    if (input->bitsPerSample != output->bitsPerSample) {
      messageBox.show(nullptr,
                      "Different bit rates for input and output device not supported!\r\nPlease correct and "
                      "restart Application.",
                      "Error", plat::ui::Buttons::Ok, plat::ui::Icon::Error);
      return false;
    }
  }

  dispatch(effect, effSetBlockSize, 0, output->bufferSize, nullptr, 0.0f);
  VstTimeInfo& timeInfo = host->hostContext.timeInfo;
  timeInfo.sampleRate = static_cast<float>(output->sampleRate);
  dispatch(effect, effSetSampleRate, 0, 0, nullptr, static_cast<float>(output->sampleRate));
  outputRate_ = output->sampleRate;
  beatsPerSample = engine::beatsPerSampleFor(outputRate_, tempo.load());
  // The first sample only sets the meter's reference point.
  cpuMeter.measure();
  timeInfo.tempo = tempo.load();
  lastSyncPosition = 0;
  syncPosition = 0;
  songPosition = 0;
  timeInfo.ppqPos = 0;
  // The block cycle reads these per block; they stay fixed while the device runs.
  blockIsSynth_ = synth;
  blockHasInput_ = input != nullptr;
  dispatch(effect, effMainsChanged, 0, 1, nullptr, 0.0f);

  if (output->type == DeviceTypeASIO) {
    if (!audioDevices[kAsioBackend] || !audioDevices[kAsioBackend]->start(input, output, processBlock, this))
      return false;
    running = true;
  } else if (isWASAPIType(output->type) &&
             (output->type == DeviceTypeWASAPIShared || output->type == DeviceTypeWASAPIExclusive)) {
    if (!audioDevices[kWasapiBackend]) return false;
    running = true;
    if (!engineThread_.start([this] { threadRoutine(this); }, plat::thread::Priority::TimeCritical)) {
      running = false;
      return false;
    }
    clock.sleepMs(500);
    if (!running.load()) return false;
  } else {
    return false;
  }

  host->hostContext.setTempoHandler(onPluginTempo, this);
  if (wasPlaying != 0) setPlayerState(1, playerLoop);
  return true;
}

void VLVSTHostInterface::threadRoutine(VLVSTHostInterface* engine) {
  VLAudioBase* backend = engine->audioDevices[kWasapiBackend];
  backend->start(engine->settings->audioInputDevice, engine->settings->audioOutputDevice, processBlock,
                 engine);
  engine->running = false;
}

void VLVSTHostInterface::endStreamThread() {
  if (!engineThread_.joinable()) return;
  // A stream whose device stalled through the whole stop handshake found the request already
  // withdrawn when it resumed, and would stream on for ever: ask again. (`running` cannot tell,
  // a stop of another device type clears it.) No other device runs here, and a stream that gets
  // no more blocks ends by its own device timeout.
  stopRequest = true;
  engineThread_.join();
  stopRequest = false;
}

void VLVSTHostInterface::stopEngine() {
  if (!host || !midi || !audioDevices || !settings || !running.load()) return;
  AudioDeviceInfo* output = settings->audioOutputDevice;
  if (output && output->type == DeviceTypeASIO) {
    if (audioDevices[kAsioBackend]) audioDevices[kAsioBackend]->stop();
    clock.sleepMs(500);
    running = false;
  } else {
    stopRequest = true;
    for (int i = 0; i < 6; ++i) {
      clock.sleepMs(50);
      if (!stopRequest.load()) break;
    }
    // The stream has ended when the routine cleared `running`; join it then so a restart begins
    // with no thread left. A stream that did not answer is joined at the next start or at
    // destruction.
    if (!running.load()) engineThread_.join();
  }
  stopRequest = false;
}

// ---------------------------------------------------------------------------------------------
// The block cycle

bool VLVSTHostInterface::processBlock(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames,
                                      void* user) noexcept {
  return static_cast<VLVSTHostInterface*>(user)->runBlock(in, out, frames);
}

void VLVSTHostInterface::writeTransportFlag(bool play) noexcept {
  // The flags word is read by the user interface (setPlaying) while the audio thread writes it.
  std::atomic_ref<int32_t> flags(host->hostContext.timeInfo.flags);
  int32_t value = flags.load(std::memory_order_relaxed);
  flags.store((value & ~kVstTransportPlaying) + (play ? kVstTransportPlaying : 0), std::memory_order_relaxed);
}

bool VLVSTHostInterface::runBlock(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames) noexcept {
  if (!in->left) in->left = out->left;
  if (!in->right) in->right = out->right;
  if (stopRequest.load()) {
    stopRequest = false;
    return false;
  }
  inProcess = true;
  VstTimeInfo& timeInfo = host->hostContext.timeInfo;

  // Flags are cleared before their values are read: a request raised while this block applies the
  // previous one is then applied by the next block instead of being lost. A plain load comes first
  // so that a block without requests pays no locked instruction for them.
  if (transportChanged.load() && transportChanged.exchange(false)) {
    bool play = requestedPlaying.load();
    writeTransportFlag(play);
    if (play) songPosition = 0;
  }
  if (tempoChanged.load() && tempoChanged.exchange(false)) {
    double bpm = tempo.load();
    beatsPerSample = engine::beatsPerSampleFor(outputRate_, bpm);
    timeInfo.tempo = bpm;
  }

  deliverEvents();

  if (startPlayerAndRecorder.load() && startPlayerAndRecorder.exchange(false)) {
    // Only what is armed starts. A stop, or a load that is replacing the arrays, since the flag was
    // raised has left that state at 0, and a stale flag must not bring it back to life.
    int32_t armed = 2;
    playerState.compare_exchange_strong(armed, 1);
    armed = 2;
    recorderState.compare_exchange_strong(armed, 1);
    songPosition = 0;
  }

  if (syncActive.load())
    updatePluginPosition();
  else
    timeInfo.ppqPos = songPosition.load();

  if (playerState.load() == 1 && playerLeft && playerRight) {
    // While the player plays it owns the input: the file, then silence once a non-looping file
    // has ended. Its frame count keeps growing after the end.
    if (!playerFinished.load()) {
      feedPlayer(in, frames);
    } else {
      std::memset(in->left, 0, frames * sizeof(float));
      std::memset(in->right, 0, frames * sizeof(float));
    }
    playerPlayed.fetch_add(frames);
  } else if (!blockIsSynth_ && (muteDeviceInput.load() || !blockHasInput_)) {
    std::memset(in->left, 0, frames * sizeof(float));
    std::memset(in->right, 0, frames * sizeof(float));
  }

  host->process(*in, *out, frames);

  if (recorderState.load() == 1) record(out, frames);

  // A reset from another thread during this block is kept rather than overwritten.
  double position = songPosition.load();
  songPosition.compare_exchange_strong(position, position + frames * beatsPerSample);

  // The meter reads files, so the worker samples it; cpuLoad follows a moment later.
  if (blockCounter++ == 100) {
    blockCounter = 0;
    wakeWorker(kWorkCpu);
  }
  inProcess.store(false, std::memory_order_release);
  return true;
}

void VLVSTHostInterface::deliverEvents() noexcept {
  // The audio thread only tries the flag that producers hold while they append: when a producer is
  // inside an append, this block delivers nothing and the events go out with the next block. While
  // the flag is held here no producer can append, so the swap never interleaves with an append.
  // Without a stored event since the last swap there is nothing to swap; a producer still inside
  // its append is seen by the next block, as when it holds the flag.
  if (!eventsWaiting_.load(std::memory_order_relaxed)) return;
  if (eventLock.exchange(true)) return;
  eventsWaiting_.store(false, std::memory_order_relaxed);
  const uint8_t b = writeIndex;
  writeBuffer = &eventBuffers[1 - b];
  writeIndex = static_cast<uint8_t>(1 - b);
  EventBuffer& delivered = eventBuffers[b];
  const uint32_t n = delivered.count;
  delivered.count = 0;
  eventLock.store(false, std::memory_order_release);
  // Producers now fill the other buffer; this one is the plug-in's until the next swap.
  if (!delivered.events) return;
  delivered.events->numEvents = static_cast<int32_t>(n);
  if (n == 0) return;
  dispatch(host->effect, effProcessEvents, 0, 0, delivered.events, 0.0f);
  int32_t armed = 2;
  if (playerState.compare_exchange_strong(armed, 1)) songPosition = 0;
  armed = 2;
  if (recorderState.compare_exchange_strong(armed, 1)) songPosition = 0;
}

void VLVSTHostInterface::updatePluginPosition() noexcept {
  VstTimeInfo& timeInfo = host->hostContext.timeInfo;
  const double sync = syncPosition.load();
  if (sync < 0) return;
  if (sync != lastSyncPosition.load()) {
    timeInfo.ppqPos = sync;
    lastSyncPosition = sync;
  } else {
    // No clock since the last block: move a little ahead, without accumulating.
    timeInfo.ppqPos = sync + engine::kFreewheelStep;
  }
}

void VLVSTHostInterface::feedPlayer(ChannelBufferPair* in, uint32_t frames) noexcept {
  const float* left = playerLeft;
  const float* right = playerRight;
  const uint32_t length = playerLength;
  const double increment = playerIncrement;
  const double start = playerPosition.load();
  double p = start;
  for (uint32_t i = 0; i < frames; ++i) {
    if (p >= length || length == 0) {
      if (playerLoop && length != 0) {
        p = 0;
      } else {
        std::memset(in->left + i, 0, (frames - i) * sizeof(float));
        std::memset(in->right + i, 0, (frames - i) * sizeof(float));
        playerFinished = true;
        break;
      }
    }
    const uint32_t k = static_cast<uint32_t>(p);
    // The fraction is taken before narrowing: a float holds a position above 2^23 only to whole
    // frames and above 2^24 not even that, which would step or overshoot the interpolation in long
    // files played at another rate.
    const float f = static_cast<float>(p - static_cast<double>(k));
    in->left[i] = (left[k + 1] - left[k]) * f + left[k];
    in->right[i] = (right[k + 1] - right[k]) * f + right[k];
    p += increment;
  }
  // A rewind from the user interface during this block wins over the block's own progress.
  double expected = start;
  playerPosition.compare_exchange_strong(expected, p);
}

void VLVSTHostInterface::record(const ChannelBufferPair* out, uint32_t frames) noexcept {
  if (!recorderLeft || !recorderRight) return;
  const uint32_t fill = recorderFill.load();
  const uint32_t capacity = recorderCapacity;
  uint32_t n = frames;
  if (static_cast<uint64_t>(fill) + frames >= capacity) n = capacity > fill ? capacity - fill : 0;
  if (n == 0) return;
  std::memcpy(recorderLeft + fill, out->left, n * sizeof(float));
  std::memcpy(recorderRight + fill, out->right, n * sizeof(float));
  recorderFill = fill + n;
}

void VLVSTHostInterface::waitForBlockEnd() {
  while (inProcess.load()) clock.sleepMs(5);
}

// ---------------------------------------------------------------------------------------------
// The worker: what the audio thread asks for but must not do itself.

void VLVSTHostInterface::wakeWorker(uint32_t bits) noexcept {
  // Bits first, then the count: a request counted by the worker has its bits in place already.
  workPending_.fetch_or(bits);
  workRequested_.fetch_add(1);
  workPending_.notify_one();
}

void VLVSTHostInterface::workerLoop() {
  for (;;) {
    const uint64_t requested = workRequested_.load();
    const uint32_t bits = workPending_.exchange(0);
    if (bits == 0) {
      // Every request counted so far had its bits taken by an earlier round, which is finished.
      workDone_ = requested;
      workDone_.notify_all();
      workPending_.wait(0);
      continue;
    }
    if (bits & kWorkCpu) cpuLoad = cpuMeter.measure();
    if (bits & kWorkPluginTempo) applyPluginTempo(pluginTempoRequest_.load());
    workDone_ = requested;
    workDone_.notify_all();
    if (bits & kWorkStop) return;
  }
}

void VLVSTHostInterface::drainWorker() {
  const uint64_t target = workRequested_.load();
  for (uint64_t done = workDone_.load(); done < target; done = workDone_.load()) workDone_.wait(done);
}
