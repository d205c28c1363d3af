// Transport and tempo: requests from the user interface, MIDI clock and the plug-in, applied by the
// block cycle at the start of the next block.
#include <atomic>
#include <cmath>

#include "engine/TransportMath.h"
#include "engine/VLVSTHostInterface.h"
#include "midi/MidiDeviceInfo.h"
#include "midi/MidiMessage.h"
#include "platform/clock/Clock.h"
#include "plugin/VLVSTHostLib.h"
#include "settings/HostSettings.h"
#include "vst/Vst2.h"

void VLVSTHostInterface::setTempo(double bpm) {
  if (bpm == tempo.load()) return;
  for (int attempt = 0; attempt < 52; ++attempt) {
    // A block is running and the previous change is still unapplied: give it 5 ms.
    if (inProcess.load() && tempoChanged.load()) {
      clock.sleepMs(5);
      continue;
    }
    tempo = bpm;
    tempoChanged = true;
    return;
  }
}

bool VLVSTHostInterface::isPlaying() const {
  if (!host) return false;
  std::atomic_ref<int32_t> flags(host->hostContext.timeInfo.flags);
  return (flags.load(std::memory_order_relaxed) & kVstTransportPlaying) != 0;
}

void VLVSTHostInterface::setPlaying(bool play) {
  requestedPlaying = play;
  if (isPlaying() != play) transportChanged = true;
}

// The plug-in may ask from any thread, its audio thread included (often from inside its process
// routine). Applying a tempo can wait for the block to end and saving the settings writes a file,
// so neither happens on the caller's thread: the request is left for the engine's worker, which
// applies the latest one. The caller never blocks, allocates or locks.
void VLVSTHostInterface::onPluginTempo(double bpm, void* user) {
  auto* engine = static_cast<VLVSTHostInterface*>(user);
  if (!engine) return;
  engine->pluginTempoRequest_ = bpm;
  engine->wakeWorker(kWorkPluginTempo);
}

void VLVSTHostInterface::applyPluginTempo(double bpm) {
  // A plug-in's request is outside input: a NaN would make the song position NaN for good, and zero
  // or less would freeze it or run it backwards, so only a real tempo is taken.
  if (!std::isfinite(bpm) || bpm <= 0.0) return;
  if (bpm == tempo.load()) return;
  setTempo(bpm);
  if (settings) {
    settings->tempo = bpm;
    settings->save();
  }
}

void VLVSTHostInterface::applyStartupRule(const std::string& pluginName) {
  if (!settings || settings->hasActiveSyncInput()) return;
  if (pluginName == "Orvelle" || pluginName == "Quintara") setPlaying(true);
}

void VLVSTHostInterface::handleSystemMessage(const MidiMessage& message, InputContext& context) {
  const MidiDeviceInfo& device = *context.device;
  // Many clock sources send no clocks while stopped: the first clock after a Start or Continue is
  // timed from that message, not from the last clock before the pause.
  auto restartClockTiming = [&] {
    context.lastClock = clock.performanceCounter();
    context.haveClock = true;
  };
  switch (message.status) {
    case 0xFA: {  // Start
      restartClockTiming();
      clockIntervalSum = 0;
      clockCount = 0;
      const double position = device.delay * (tempo.load() / 60000.0);
      syncPosition = position;
      lastSyncPosition = position - 1;
      songPosition = 0;
      setPlaying(true);
      break;
    }
    case 0xFC:  // Stop
      setPlaying(false);
      break;
    case 0xF8: {  // Clock
      // Each input times its own clocks, so other messages arriving between two clocks (notes,
      // another input's traffic) do not shorten the measured period.
      const int64_t now = clock.performanceCounter();
      const double intervalMs =
          context.haveClock ? static_cast<double>(now - context.lastClock) * 1000.0 / perfFrequency : 0.0;
      context.lastClock = now;
      context.haveClock = true;
      if ((device.syncWhilePlaying || !isPlaying()) && intervalMs > 0) {
        clockIntervalSum += intervalMs;
        if (++clockCount >= 24) {
          const double bpm = engine::clockTempo(clockIntervalSum);
          clockIntervalSum = 0;
          clockCount = 0;
          if (bpm != tempo.load()) {
            setTempo(bpm);
            if (settings) settings->tempo = bpm;  // not saved: clock tempos come and go
          }
        }
      }
      syncPosition.fetch_add(engine::kClockStep);
      break;
    }
    case 0xFB:  // Continue: not followed, but clocks resume after it
      restartClockTiming();
      break;
    default:  // Song Position Pointer and the rest are not followed
      break;
  }
}
