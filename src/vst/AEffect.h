#pragma once
// The plug-in's side of the VST 2 interface in its 64-bit layout: the effect record a module's
// entry point returns, the signatures of its routines and of the host callback, and the editor
// rectangle. Written from the published interface's layout; every offset the host relies on is
// checked below, and real third-party plug-ins are loaded by the tests to prove it.
#include <cstddef>
#include <cstdint>

struct AEffect;

// The host callback (audioMaster): any thread, the plug-in's whole life.
using audioMasterCallback = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                         void* ptr, float opt);
using AEffectDispatcherProc = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                           void* ptr, float opt);
using AEffectProcessProc = void (*)(AEffect* effect, float** inputs, float** outputs, int32_t frames);
using AEffectProcessDoubleProc = void (*)(AEffect* effect, double** inputs, double** outputs, int32_t frames);
using AEffectSetParameterProc = void (*)(AEffect* effect, int32_t index, float parameter);
using AEffectGetParameterProc = float (*)(AEffect* effect, int32_t index);
// The module's exported entry point, "VSTPluginMain" or (older modules) "main".
using VstPluginEntry = AEffect* (*)(audioMasterCallback host);

// Four characters, the first in the most significant byte: fourCC("VstP") == 0x56737450.
constexpr int32_t fourCC(const char (&text)[5]) {
  return static_cast<int32_t>((static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
                              (static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
                              (static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
                              static_cast<uint32_t>(static_cast<unsigned char>(text[3])));
}

inline constexpr int32_t kEffectMagic = fourCC("VstP");
static_assert(kEffectMagic == 0x56737450);

struct AEffect {
  int32_t magic;  // kEffectMagic
  AEffectDispatcherProc dispatcher;
  AEffectProcessProc process;  // accumulating process, no longer used
  AEffectSetParameterProc setParameter;
  AEffectGetParameterProc getParameter;
  int32_t numPrograms;
  int32_t numParams;
  int32_t numInputs;
  int32_t numOutputs;
  int32_t flags;  // effFlags*
  intptr_t resvd1;
  intptr_t resvd2;
  int32_t initialDelay;
  int32_t realQualities;
  int32_t offQualities;
  float ioRatio;
  void* object;  // the plug-in's own
  void* user;    // the host's own
  int32_t uniqueID;
  int32_t version;
  AEffectProcessProc processReplacing;
  AEffectProcessDoubleProc processDoubleReplacing;
  char future[56];
};

static_assert(sizeof(AEffect) == 192);
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 8);
static_assert(offsetof(AEffect, process) == 16);
static_assert(offsetof(AEffect, setParameter) == 24);
static_assert(offsetof(AEffect, getParameter) == 32);
static_assert(offsetof(AEffect, numPrograms) == 40);
static_assert(offsetof(AEffect, numParams) == 44);
static_assert(offsetof(AEffect, numInputs) == 48);
static_assert(offsetof(AEffect, numOutputs) == 52);
static_assert(offsetof(AEffect, flags) == 56);
static_assert(offsetof(AEffect, resvd1) == 64);
static_assert(offsetof(AEffect, resvd2) == 72);
static_assert(offsetof(AEffect, initialDelay) == 80);
static_assert(offsetof(AEffect, ioRatio) == 92);
static_assert(offsetof(AEffect, object) == 96);
static_assert(offsetof(AEffect, user) == 104);
static_assert(offsetof(AEffect, uniqueID) == 112);
static_assert(offsetof(AEffect, version) == 116);
static_assert(offsetof(AEffect, processReplacing) == 120);
static_assert(offsetof(AEffect, processDoubleReplacing) == 128);
static_assert(offsetof(AEffect, future) == 136);

// AEffect::flags.
enum : int32_t {
  effFlagsHasEditor = 1 << 0,
  effFlagsCanReplacing = 1 << 4,
  effFlagsProgramChunks = 1 << 5,
  effFlagsIsSynth = 1 << 8,
  effFlagsNoSoundInStop = 1 << 9,
  effFlagsCanDoubleReplacing = 1 << 12,
};

// The editor's rectangle, as effEditGetRect hands it out.
struct ERect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
};
static_assert(sizeof(ERect) == 8);
