#pragma once
// The probe: a VST 2 plug-in built for tests. A test configures what the probe is and answers
// (synth or effect, channel counts, names, editor rectangle, chunk, canDo texts), asks it to call
// the host (tempo request and transport start through 'VLEx', MIDI out, size requests, time-info
// reads), and reads back every dispatcher call it received, what it read from the time info and
// what its process routine saw.
//
// Use: open the probe's library yourself (ProbeLibrary below, or dlopen of VL_PROBE_PATH from the
// target vl_probe_paths), reset and configure it, then let the host load the same path: both get
// the same library, so probe_config() and probe_state() are the plug-in's own.
//
// Process: output channel c, frame n = input channel (c % 2) at frame n * gain, plus a sine of
// sineAmplitude at sineFrequency. Every frame's inputs are read before its outputs are written, so
// the host may pass the same arrays as inputs and outputs. Nothing in process allocates or locks
// (the time-info read and the one-shot host calls happen there too).
//
// The record of dispatcher calls is a ring of kProbeMaxCalls; call k is at calls[k % kProbeMaxCalls].
// Read it, and the other plain fields, while the plug-in is quiet (the audio stopped). The atomic
// counters may be read at any time; midi[0 .. midiCount) is complete once midiCount shows it
// (received events come from one thread, the host's audio thread).
#include <dlfcn.h>

#include <atomic>
#include <cstdint>

#include "vst/Vst2.h"

extern "C" {

enum : int32_t {
  kProbeMaxCalls = 1024,
  kProbeMaxMidi = 1024,
  kProbeChunkBytes = 65536,
  kProbeMaxCanDo = 16,
  kProbeText = 64,
  kProbeMaxChannels = 256,
};

// One dispatcher call as received. `text` holds the ptr text of effCanDo.
struct ProbeDispatch {
  int32_t opcode;
  int32_t index;
  intptr_t value;
  intptr_t ptr;
  float opt;
  char text[kProbeText];
};

// One MIDI event received through effProcessEvents.
struct ProbeMidi {
  int32_t deltaFrames;
  int32_t flags;
  unsigned char data[4];
  uint32_t batch;  // which effProcessEvents call (1 = first) carried it
};

struct ProbeConfig {
  // Read at every entry call (each returns a fresh AEffect).
  int32_t isSynth;     // effFlagsIsSynth
  int32_t numInputs;   // default 2
  int32_t numOutputs;  // default 2
  int32_t hasEditor;   // effFlagsHasEditor, default 1
  int32_t uniqueId;
  int32_t callHostInEntry;  // asks audioMasterVersion and audioMasterCurrentId with a null effect (default 1)

  // Dispatcher answers.
  char effectName[kProbeText];   // default "Probe"
  int32_t effectNameAnswer;      // what effGetEffectName returns (default 1; 0 sends the host to the product)
  char vendorName[kProbeText];   // default "Probe Maker"
  char productName[kProbeText];  // default "Probe Product"
  ERect editorRect;              // default {0, 0, 300, 400}
  int32_t editorRectNull;        // effEditGetRect leaves the pointer null
  int32_t editorRectAnswerIsPointer;  // effEditGetRect returns the rectangle's address instead of 1
  int32_t sizeRequestWidth;           // > 0: effEditOpen asks the host for this size (audioMasterSizeWindow)
  int32_t sizeRequestHeight;
  char canDo[kProbeMaxCanDo][kProbeText];  // effCanDo answers 1 for these, 0 for others (default empty)
  int32_t keyAnswer;                       // what effEditKeyDown / effEditKeyUp return
  int32_t editorHasKeyFocus;               // what the extension entry editorHasKeyFocus returns
  unsigned char chunk[kProbeChunkBytes];   // effGetChunk hands out this buffer (reused, like real plug-ins)
  int32_t chunkSize;                       // and returns this size (default 0: no chunk)

  // Process.
  float gain;                 // default 1
  float sineAmplitude;        // default 0
  float sineFrequency;        // default 440
  int32_t readTimeInProcess;  // audioMasterGetTime on every block (default 1)
  int32_t timeRequestFlags;   // the value passed with it

  // One-shot host calls made inside the next process call (set, then the probe clears them).
  std::atomic<int32_t> tempoRequestInProcess;  // 'VLEx' index 0 with tempoInProcess
  float tempoInProcess;
  std::atomic<int32_t> transportStartInProcess;  // 'VLEx' index 1
  std::atomic<int32_t> midiOutInProcess;         // audioMasterProcessEvents with midiOutCount events
  int32_t midiOutCount;  // 1..8 MIDI events of midiOutData (plus a SysEx with midiOutSysex)
  unsigned char midiOutData[3];
  int32_t midiOutSysex;

  // The next entry call hands out the effect that effClose gave back last, as an allocator hands
  // out the memory just freed (default 0: the pool's next free slot).
  int32_t reuseClosedEffect;
};

struct ProbeState {
  // Entry calls.
  std::atomic<uint32_t> entryCalls;
  char entryName[16];  // "VSTPluginMain" or "main"
  intptr_t entryVersionAnswer;
  intptr_t entryShellIdAnswer;

  // Every dispatcher call.
  std::atomic<uint32_t> callCount;
  ProbeDispatch calls[kProbeMaxCalls];

  // What the dispatcher was told.
  float sampleRate;  // effSetSampleRate (default 44100)
  intptr_t blockSize;
  intptr_t mainsOn;
  int32_t editorOpen;
  std::atomic<uint32_t> editIdleCalls;
  uint32_t processEventsCalls;
  std::atomic<uint32_t> midiCount;  // events received; the first kProbeMaxMidi are kept
  ProbeMidi midi[kProbeMaxMidi];
  uint32_t setChunkCalls;
  intptr_t setChunkValue;  // the value of the last effSetChunk
  int32_t setChunkSize;    // bytes kept of it (at most kProbeChunkBytes)
  unsigned char setChunk[kProbeChunkBytes];
  intptr_t sizeRequestAnswer;  // the host's answer to the size request of effEditOpen

  // The last process call.
  std::atomic<uint32_t> processCalls;
  int32_t lastFrames;
  uintptr_t lastInputs[kProbeMaxChannels];  // the pointers seen, up to max(numInputs, numOutputs)
  uintptr_t lastOutputs[kProbeMaxChannels];
  // The last time-info read.
  uint32_t timeReads;
  int32_t timeInfoNull;  // the host answered 0
  VstTimeInfo lastTime;
  // Answers to the one-shot host calls made in process.
  intptr_t tempoAnswer;
  intptr_t transportAnswer;
  intptr_t midiOutAnswer;

  // Calls of the maker's extension entries: showAbout, showHelp, extensionCommand, editorHasKeyFocus.
  std::atomic<uint32_t> extensionCalls[4];
};

// The maker's extension entries follow the 192-byte AEffect at these offsets.
enum : int32_t {
  kProbeShowAboutOffset = 0xD0,
  kProbeShowHelpOffset = 0xD8,
  kProbeExtensionCommandOffset = 0xE0,
  kProbeEditorHasKeyFocusOffset = 0xE8,
};

using ProbeConfigFn = ProbeConfig* (*)();
using ProbeStateFn = ProbeState* (*)();
using ProbeResetFn = void (*)();
using ProbeCallHostFn = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                     void* ptr, float opt);
using ProbeSendMidiFn = intptr_t (*)(AEffect* effect, int32_t count, const unsigned char* data,
                                     int32_t withSysex);

// Exported by the probe (look them up with dlsym):
//   ProbeConfig* probe_config();  ProbeState* probe_state();
//   void probe_reset();  -- defaults into the config, zeros into the state
//   intptr_t probe_call_host(effect, opcode, index, value, ptr, opt);  -- calls the host callback
//       that the entry call of `effect` received (a null effect: the latest entry's callback)
//   intptr_t probe_send_midi(effect, count, data[3], withSysex);  -- audioMasterProcessEvents with
//       `count` (1..8) MIDI events of `data`, plus one SysEx event first when withSysex
}

// Opens the probe's library for a test and finds its interface. Keep it alive while the host
// holds the plug-in; the library is released when both have let go.
class ProbeLibrary {
 public:
  explicit ProbeLibrary(const char* path) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    config_ = reinterpret_cast<ProbeConfigFn>(dlsym(handle_, "probe_config"));
    state_ = reinterpret_cast<ProbeStateFn>(dlsym(handle_, "probe_state"));
    reset_ = reinterpret_cast<ProbeResetFn>(dlsym(handle_, "probe_reset"));
    callHost_ = reinterpret_cast<ProbeCallHostFn>(dlsym(handle_, "probe_call_host"));
    sendMidi_ = reinterpret_cast<ProbeSendMidiFn>(dlsym(handle_, "probe_send_midi"));
    if (reset_) reset_();
  }
  ~ProbeLibrary() {
    if (handle_) dlclose(handle_);
  }
  ProbeLibrary(const ProbeLibrary&) = delete;
  ProbeLibrary& operator=(const ProbeLibrary&) = delete;

  bool ok() const { return handle_ && config_ && state_ && reset_ && callHost_ && sendMidi_; }
  ProbeConfig& config() const { return *config_(); }
  ProbeState& state() const { return *state_(); }
  void reset() const { reset_(); }
  intptr_t callHost(AEffect* effect, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                    void* ptr = nullptr, float opt = 0.0f) const {
    return callHost_(effect, opcode, index, value, ptr, opt);
  }
  intptr_t sendMidi(AEffect* effect, int32_t count, const unsigned char* data, bool withSysex) const {
    return sendMidi_(effect, count, data, withSysex ? 1 : 0);
  }
  // Dispatcher calls with `opcode` received since the last reset.
  uint32_t callsOf(int32_t opcode) const {
    uint32_t n = 0, total = state().callCount.load();
    for (uint32_t k = total > kProbeMaxCalls ? total - kProbeMaxCalls : 0; k < total; ++k)
      if (state().calls[k % kProbeMaxCalls].opcode == opcode) ++n;
    return n;
  }
  void* handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
  ProbeConfigFn config_ = nullptr;
  ProbeStateFn state_ = nullptr;
  ProbeResetFn reset_ = nullptr;
  ProbeCallHostFn callHost_ = nullptr;
  ProbeSendMidiFn sendMidi_ = nullptr;
};
