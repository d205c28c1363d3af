#pragma once
// The host state that belongs to one loaded plug-in: what the host callback answers from and hands
// on to. One per wrapper (embedded in VLVSTHostLib); the process-wide effect table maps the
// plug-in's AEffect to it.
//
// Threads: the plug-in calls the host from any thread, so the override and the handler slots are
// atomics. Register handlers while the plug-in is not running (engine start, start-up); the slot
// pairs are published user first, then function, so a caller never sees a function without its
// user pointer. `timeInfo` is written by the audio thread and read by the plug-in without a lock.
#include <atomic>
#include <cstdint>

#include "vst/AEffect.h"
#include "vst/VstEvents.h"
#include "vst/VstTimeInfo.h"

struct HostContext {
  // Each MIDI event the plug-in sends (audioMasterProcessEvents); usually on the audio thread.
  using MidiOutHandler = void (*)(VstMidiEvent* event, void* user);
  // The plug-in's tempo requests ('VLEx' index 0); any thread.
  using TempoHandler = void (*)(double bpm, void* user);
  // The plug-in's window-size requests: opcode is audioMasterSizeWindow; usually the UI thread.
  using SizeHandler = void (*)(void* user, int32_t opcode, int32_t width, int32_t height);

  HostContext() = default;
  HostContext(const HostContext&) = delete;
  HostContext& operator=(const HostContext&) = delete;

  static VstTimeInfo initialTimeInfo() {
    VstTimeInfo t{};
    t.sampleRate = 44100.0;
    t.tempo = 120.0;
    t.timeSigNumerator = 4;
    t.timeSigDenominator = 4;
    t.smpteFrameRate = 1;
    t.flags = kVstPpqPosValid | kVstTempoValid;
    return t;
  }

  void setOverride(audioMasterCallback callback, void* user) {
    overrideUser.store(user, std::memory_order_release);
    overrideCallback.store(callback, std::memory_order_release);
  }
  void setMidiOutHandler(MidiOutHandler handler, void* user) {
    midiOutUser.store(user, std::memory_order_release);
    midiOutHandler.store(handler, std::memory_order_release);
  }
  void setTempoHandler(TempoHandler handler, void* user) {
    tempoUser.store(user, std::memory_order_release);
    tempoHandler.store(handler, std::memory_order_release);
  }
  void setSizeHandler(SizeHandler handler, void* user) {
    sizeUser.store(user, std::memory_order_release);
    sizeHandler.store(handler, std::memory_order_release);
  }

  // When set, the host callback forwards every request but audioMasterCurrentId to it, with
  // `overrideUser` in place of the effect.
  std::atomic<audioMasterCallback> overrideCallback{nullptr};
  std::atomic<void*> overrideUser{nullptr};

  VstTimeInfo timeInfo = initialTimeInfo();

  std::atomic<MidiOutHandler> midiOutHandler{nullptr};
  std::atomic<void*> midiOutUser{nullptr};
  std::atomic<TempoHandler> tempoHandler{nullptr};
  std::atomic<void*> tempoUser{nullptr};
  std::atomic<SizeHandler> sizeHandler{nullptr};
  std::atomic<void*> sizeUser{nullptr};
};
