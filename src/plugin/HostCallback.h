#pragma once
// The host callback handed to the plug-in's entry point: answers version, vendor, product and
// capability questions, hands out the time info, passes the plug-in's MIDI, tempo and window-size
// requests to the handlers of its host context, and understands the vendor opcode 'VLEx'.
//
// Threads: any, for the plug-in's whole life. Lookups in the effect table take no lock; nothing
// here allocates, so the plug-in may call from its audio thread. No exception leaves the callback.
#include <atomic>
#include <cstdint>

#include "vst/AEffect.h"

// The answer to audioMasterCurrentId; 0 at start. Set by VLVSTHostLib::load (and start-up).
extern std::atomic<int32_t> currentShellId;

class HostCallback {
 public:
  static constexpr intptr_t kVersion = 2400;
  static constexpr const char* kVendor = "Vellumar";
  static constexpr const char* kStandaloneProduct = "Vellumar Standalone";
  static constexpr const char* kHosterProduct = "Vellumar Hoster";
  // audioMasterCanDo answers 1 for exactly these texts (case-sensitive).
  static constexpr const char* kCapabilities[9] = {
      "supplyIdle",          "sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo", "receiveVstEvents",
      "receiveVstMidiEvent", "supportShell",  "shellCategory",    "sizeWindow"};

  // The variant the standalone host gives its plug-in: product "Vellumar Standalone".
  static intptr_t standalone(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                             float opt) noexcept;
  // The variant selected by load's hoster flag: product "Vellumar Hoster".
  static intptr_t hoster(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                         float opt) noexcept;

  static bool isCapability(const char* text) noexcept;

 private:
  static intptr_t dispatch(const char* product, AEffect* effect, int32_t opcode, int32_t index,
                           intptr_t value, void* ptr, float opt) noexcept;
};
