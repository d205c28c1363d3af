// The probe plug-in (see Probe.h). Each entry call hands out a fresh AEffect from a small fixed
// pool, so several hosts in one process get distinct effects; the configuration and the record of
// calls are shared by all of them. effClose returns an effect to the pool; when every slot is taken
// (hosts that went away without closing) the oldest is handed out again.
#include "probe/Probe.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kPoolSize = 64;
constexpr double kTwoPi = 6.283185307179586;

// The AEffect first, then the maker's extension entries at their fixed offsets.
struct Instance {
  AEffect effect;
  void* spare[2];
  void (*showAbout)(AEffect*);
  void (*showHelp)(AEffect*);
  void (*extensionCommand)(AEffect*);
  bool (*editorHasKeyFocus)(AEffect*);
  audioMasterCallback host;
  ERect rect;
  double phase;
  bool inUse;
};
static_assert(offsetof(Instance, showAbout) == kProbeShowAboutOffset);
static_assert(offsetof(Instance, showHelp) == kProbeShowHelpOffset);
static_assert(offsetof(Instance, extensionCommand) == kProbeExtensionCommandOffset);
static_assert(offsetof(Instance, editorHasKeyFocus) == kProbeEditorHasKeyFocusOffset);

ProbeConfig gConfig;
ProbeState gState;
Instance gPool[kPoolSize];
int gNextSlot = 0;
Instance* gLastClosed = nullptr;
std::atomic<audioMasterCallback> gLatestHost{nullptr};

void copyText(char* to, const char* from, size_t size) {
  std::strncpy(to, from, size - 1);
  to[size - 1] = 0;
}

void setDefaults() {
  std::destroy_at(&gConfig);
  std::construct_at(&gConfig);
  std::destroy_at(&gState);
  std::construct_at(&gState);
  gConfig.numInputs = 2;
  gConfig.numOutputs = 2;
  gConfig.hasEditor = 1;
  gConfig.uniqueId = fourCC("VLpr");
  gConfig.callHostInEntry = 1;
  copyText(gConfig.effectName, "Probe", kProbeText);
  gConfig.effectNameAnswer = 1;
  copyText(gConfig.vendorName, "Probe Maker", kProbeText);
  copyText(gConfig.productName, "Probe Product", kProbeText);
  gConfig.editorRect = ERect{0, 0, 300, 400};
  gConfig.gain = 1.0f;
  gConfig.sineFrequency = 440.0f;
  gConfig.readTimeInProcess = 1;
  gConfig.timeRequestFlags = kVstPpqPosValid | kVstTempoValid;
  gConfig.tempoInProcess = 120.0f;
  gConfig.midiOutCount = 1;
  gConfig.midiOutData[0] = 0x90;
  gConfig.midiOutData[1] = 60;
  gConfig.midiOutData[2] = 100;
  gState.sampleRate = 44100.0f;
}

struct Defaults {
  Defaults() { setDefaults(); }
} gDefaults;

Instance* instanceOf(AEffect* effect) {
  return reinterpret_cast<Instance*>(effect);
}

audioMasterCallback hostOf(AEffect* effect) {
  return effect ? instanceOf(effect)->host : gLatestHost.load(std::memory_order_acquire);
}

intptr_t callHost(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  audioMasterCallback host = hostOf(effect);
  return host ? host(effect, opcode, index, value, ptr, opt) : 0;
}

// Builds the event list on the stack: usable from process.
intptr_t sendMidi(AEffect* effect, int32_t count, const unsigned char* data, bool withSysex) {
  if (count < 1) count = 1;
  if (count > 8) count = 8;
  VstMidiEvent midi[8] = {};
  static char sysexBytes[6] = {char(0xF0), 0x7D, 0x01, 0x02, 0x03, char(0xF7)};
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.byteSize = sizeof(VstMidiSysexEvent);
  sysex.dumpBytes = sizeof sysexBytes;
  sysex.sysexDump = sysexBytes;
  VstEventsN<9> list{};
  if (withSysex) list.events[list.numEvents++] = reinterpret_cast<VstEvent*>(&sysex);
  for (int32_t i = 0; i < count; ++i) {
    midi[i].type = kVstMidiType;
    midi[i].byteSize = sizeof(VstMidiEvent);
    for (int b = 0; b < 3; ++b) midi[i].midiData[b] = static_cast<char>(data[b]);
    list.events[list.numEvents++] = reinterpret_cast<VstEvent*>(&midi[i]);
  }
  return callHost(effect, audioMasterProcessEvents, 0, 0, list.asVstEvents(), 0.0f);
}

void record(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  uint32_t k = gState.callCount.fetch_add(1, std::memory_order_relaxed);
  ProbeDispatch& d = gState.calls[k % kProbeMaxCalls];
  d.opcode = opcode;
  d.index = index;
  d.value = value;
  d.ptr = reinterpret_cast<intptr_t>(ptr);
  d.opt = opt;
  d.text[0] = 0;
  if (opcode == effCanDo && ptr) copyText(d.text, static_cast<const char*>(ptr), kProbeText);
}

void receiveEvents(VstEvents* events) {
  uint32_t batch = ++gState.processEventsCalls;
  if (!events) return;
  for (int32_t i = 0; i < events->numEvents; ++i) {
    VstEvent* e = events->events[i];
    if (!e || e->type != kVstMidiType) continue;
    auto* m = reinterpret_cast<VstMidiEvent*>(e);
    // One writer (the host's audio thread): the record is complete before the count shows it.
    const uint32_t k = gState.midiCount.load(std::memory_order_relaxed);
    if (k < kProbeMaxMidi) {
      ProbeMidi& r = gState.midi[k];
      r.deltaFrames = m->deltaFrames;
      r.flags = m->flags;
      std::memcpy(r.data, m->midiData, 4);
      r.batch = batch;
    }
    gState.midiCount.store(k + 1, std::memory_order_release);
  }
}

bool canDo(const char* text) {
  if (!text) return false;
  for (const auto& entry : gConfig.canDo) {
    if (entry[0] && std::strcmp(entry, text) == 0) return true;
  }
  return false;
}

intptr_t dispatcher(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  record(opcode, index, value, ptr, opt);
  Instance* self = instanceOf(effect);
  switch (opcode) {
    case effClose:
      self->inUse = false;
      gLastClosed = self;
      return 1;
    case effSetSampleRate:
      gState.sampleRate = opt;
      return 1;
    case effSetBlockSize:
      gState.blockSize = value;
      return 1;
    case effMainsChanged:
      gState.mainsOn = value;
      return 1;
    case effEditGetRect:
      if (!ptr || gConfig.editorRectNull) return 0;
      self->rect = gConfig.editorRect;
      *static_cast<ERect**>(ptr) = &self->rect;
      return gConfig.editorRectAnswerIsPointer ? reinterpret_cast<intptr_t>(&self->rect) : 1;
    case effEditOpen:
      gState.editorOpen = 1;
      if (gConfig.sizeRequestWidth > 0)
        gState.sizeRequestAnswer = callHost(effect, audioMasterSizeWindow, gConfig.sizeRequestWidth,
                                            gConfig.sizeRequestHeight, nullptr, 0.0f);
      return 1;
    case effEditClose:
      gState.editorOpen = 0;
      return 1;
    case effEditIdle:
      gState.editIdleCalls.fetch_add(1, std::memory_order_relaxed);
      return 1;
    case effGetChunk:
      if (!ptr) return 0;
      *static_cast<void**>(ptr) = gConfig.chunk;
      return gConfig.chunkSize;
    case effSetChunk: {
      ++gState.setChunkCalls;
      gState.setChunkValue = value;
      intptr_t n = std::clamp<intptr_t>(value, 0, kProbeChunkBytes);
      gState.setChunkSize = static_cast<int32_t>(n);
      if (ptr && n > 0) std::memcpy(gState.setChunk, ptr, static_cast<size_t>(n));
      return 1;
    }
    case effProcessEvents:
      receiveEvents(static_cast<VstEvents*>(ptr));
      return 1;
    case effGetEffectName:
      if (ptr) std::strcpy(static_cast<char*>(ptr), gConfig.effectName);
      return gConfig.effectNameAnswer;
    case effGetVendorString:
      if (ptr) std::strcpy(static_cast<char*>(ptr), gConfig.vendorName);
      return 1;
    case effGetProductString:
      if (ptr) std::strcpy(static_cast<char*>(ptr), gConfig.productName);
      return 1;
    case effCanDo:
      return canDo(static_cast<const char*>(ptr)) ? 1 : 0;
    case effGetVstVersion:
      return 2400;
    case effEditKeyDown:
    case effEditKeyUp:
      return gConfig.keyAnswer;
    default:
      return 0;
  }
}

void processReplacing(AEffect* effect, float** inputs, float** outputs, int32_t frames) {
  Instance* self = instanceOf(effect);
  gState.processCalls.fetch_add(1, std::memory_order_relaxed);
  gState.lastFrames = frames;
  const int32_t seen = std::min(std::max(effect->numInputs, effect->numOutputs), int32_t{kProbeMaxChannels});
  for (int32_t c = 0; c < kProbeMaxChannels; ++c) {
    gState.lastInputs[c] = c < seen ? reinterpret_cast<uintptr_t>(inputs[c]) : 0;
    gState.lastOutputs[c] = c < seen ? reinterpret_cast<uintptr_t>(outputs[c]) : 0;
  }

  if (gConfig.readTimeInProcess) {
    ++gState.timeReads;
    auto* t = reinterpret_cast<VstTimeInfo*>(
        callHost(effect, audioMasterGetTime, 0, gConfig.timeRequestFlags, nullptr, 0.0f));
    gState.timeInfoNull = t ? 0 : 1;
    if (t) gState.lastTime = *t;
  }
  if (gConfig.tempoRequestInProcess.exchange(0))
    gState.tempoAnswer = callHost(effect, kVLExOpcode, kVLExTempoRequest, 0, nullptr, gConfig.tempoInProcess);
  if (gConfig.transportStartInProcess.exchange(0))
    gState.transportAnswer = callHost(effect, kVLExOpcode, kVLExTransportStart, 0, nullptr, 0.0f);
  if (gConfig.midiOutInProcess.exchange(0))
    gState.midiOutAnswer =
        sendMidi(effect, gConfig.midiOutCount, gConfig.midiOutData, gConfig.midiOutSysex != 0);

  const int32_t ins = std::min(effect->numInputs, int32_t{2});
  const int32_t outs = std::min(effect->numOutputs, int32_t{kProbeMaxChannels});
  const double step = kTwoPi * gConfig.sineFrequency / (gState.sampleRate > 0 ? gState.sampleRate : 44100.0);
  for (int32_t n = 0; n < frames; ++n) {
    float in[2] = {0.0f, 0.0f};
    for (int32_t c = 0; c < ins; ++c)
      if (inputs[c]) in[c] = inputs[c][n];
    float tone = 0.0f;
    if (gConfig.sineAmplitude != 0.0f) {
      tone = gConfig.sineAmplitude * static_cast<float>(std::sin(self->phase));
      self->phase = std::fmod(self->phase + step, kTwoPi);
    }
    for (int32_t c = 0; c < outs; ++c)
      if (outputs[c]) outputs[c][n] = in[c % 2] * gConfig.gain + tone;
  }
}

void showAbout(AEffect*) {
  gState.extensionCalls[0].fetch_add(1);
}
void showHelp(AEffect*) {
  gState.extensionCalls[1].fetch_add(1);
}
void extensionCommand(AEffect*) {
  gState.extensionCalls[2].fetch_add(1);
}
bool editorHasKeyFocus(AEffect*) {
  gState.extensionCalls[3].fetch_add(1);
  return gConfig.editorHasKeyFocus != 0;
}

AEffect* entry(audioMasterCallback host, const char* name) {
  gState.entryCalls.fetch_add(1);
  copyText(gState.entryName, name, sizeof gState.entryName);
  gLatestHost.store(host, std::memory_order_release);
  if (host && gConfig.callHostInEntry) {
    // Real plug-ins ask before they have an effect to name.
    gState.entryVersionAnswer = host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
    gState.entryShellIdAnswer = host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f);
  }
  Instance* self = nullptr;
  if (gConfig.reuseClosedEffect && gLastClosed && !gLastClosed->inUse) self = gLastClosed;
  for (int i = 0; i < kPoolSize && !self; ++i) {
    Instance& candidate = gPool[(gNextSlot + i) % kPoolSize];
    if (!candidate.inUse) self = &candidate;
  }
  if (!self) self = &gPool[gNextSlot];  // all in use: reuse round-robin
  gNextSlot = static_cast<int>((self - gPool + 1) % kPoolSize);

  *self = Instance{};
  self->inUse = true;
  self->host = host;
  AEffect& e = self->effect;
  e.magic = kEffectMagic;
  e.dispatcher = &dispatcher;
  e.processReplacing = &processReplacing;
  e.numPrograms = 1;
  e.numInputs = gConfig.numInputs;
  e.numOutputs = gConfig.numOutputs;
  e.flags = effFlagsCanReplacing | effFlagsProgramChunks | (gConfig.isSynth ? effFlagsIsSynth : 0) |
            (gConfig.hasEditor ? effFlagsHasEditor : 0);
  e.object = self;
  e.uniqueID = gConfig.uniqueId;
  e.version = 1;
  e.ioRatio = 1.0f;
  self->showAbout = &showAbout;
  self->showHelp = &showHelp;
  self->extensionCommand = &extensionCommand;
  self->editorHasKeyFocus = &editorHasKeyFocus;
  return &e;
}

}  // namespace

PROBE_EXPORT ProbeConfig* probe_config() {
  return &gConfig;
}
PROBE_EXPORT ProbeState* probe_state() {
  return &gState;
}
PROBE_EXPORT void probe_reset() {
  setDefaults();
}
PROBE_EXPORT intptr_t probe_call_host(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                      void* ptr, float opt) {
  return callHost(effect, opcode, index, value, ptr, opt);
}
PROBE_EXPORT intptr_t probe_send_midi(AEffect* effect, int32_t count, const unsigned char* data,
                                      int32_t withSysex) {
  return sendMidi(effect, count, data, withSysex != 0);
}

// The entry points: the modern name, and the old one that some plug-ins export alone. A C++
// function cannot be called main, so the symbol is named through the assembler.
#ifndef PROBE_MAIN_ONLY
PROBE_EXPORT AEffect* VSTPluginMain(audioMasterCallback host) {
  return entry(host, "VSTPluginMain");
}
#endif
PROBE_EXPORT AEffect* probeLegacyMain(audioMasterCallback host) __asm__("main");
PROBE_EXPORT AEffect* probeLegacyMain(audioMasterCallback host) {
  return entry(host, "main");
}
