#include "plugin/HostCallback.h"

#include <atomic>
#include <cstring>

#include "plugin/EffectTable.h"
#include "plugin/HostContext.h"
#include "vst/Opcodes.h"
#include "vst/VstEvents.h"

std::atomic<int32_t> currentShellId{0};

namespace {

intptr_t processEvents(HostContext& context, VstEvents* events) {
  if (!events) return 0;
  auto handler = context.midiOutHandler.load(std::memory_order_acquire);
  if (!handler) return 0;
  void* user = context.midiOutUser.load(std::memory_order_acquire);
  bool called = false;
  // numEvents is read again after every handler call: a handler may run code that changes it.
  for (int32_t i = 0; i < events->numEvents; ++i) {
    VstEvent* event = events->events[i];
    if (!event || event->type != kVstMidiType) continue;
    handler(reinterpret_cast<VstMidiEvent*>(event), user);
    called = true;
  }
  return called ? 1 : 0;
}

intptr_t vendorSpecific(HostContext& context, int32_t index, float opt) {
  switch (index) {
    case kVLExTempoRequest: {
      auto handler = context.tempoHandler.load(std::memory_order_acquire);
      if (!handler) return 0;
      handler(static_cast<double>(opt), context.tempoUser.load(std::memory_order_acquire));
      return 1;
    }
    case kVLExTransportStart:
      // The plug-in may ask from its editor while the audio thread writes the same record.
      std::atomic_ref<int32_t>(context.timeInfo.flags)
          .fetch_or(kVstTransportPlaying, std::memory_order_relaxed);
      std::atomic_ref<double>(context.timeInfo.ppqPos).store(0.0, std::memory_order_relaxed);
      return 1;
    default:
      return 0;
  }
}

intptr_t copyText(void* ptr, const char* text) {
  if (!ptr) return 0;
  std::strcpy(static_cast<char*>(ptr), text);
  return 1;
}

}  // namespace

bool HostCallback::isCapability(const char* text) noexcept {
  if (!text) return false;
  for (const char* capability : kCapabilities) {
    if (std::strcmp(text, capability) == 0) return true;
  }
  return false;
}

intptr_t HostCallback::standalone(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) noexcept {
  return dispatch(kStandaloneProduct, effect, opcode, index, value, ptr, opt);
}

intptr_t HostCallback::hoster(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                              float opt) noexcept {
  return dispatch(kHosterProduct, effect, opcode, index, value, ptr, opt);
}

intptr_t HostCallback::dispatch(const char* product, AEffect* effect, int32_t opcode, int32_t index,
                                intptr_t value, void* ptr, float opt) noexcept {
  // Handlers and the override are outside code; nothing they throw may reach the plug-in.
  try {
    HostContext* context = EffectTable::instance().find(effect);
    if (context && opcode != audioMasterCurrentId) {
      if (auto forward = context->overrideCallback.load(std::memory_order_acquire)) {
        void* user = context->overrideUser.load(std::memory_order_acquire);
        return forward(static_cast<AEffect*>(user), opcode, index,
                       static_cast<intptr_t>(static_cast<int32_t>(value)), ptr, opt);
      }
    }
    switch (opcode) {
      case audioMasterVersion:
        return kVersion;
      case audioMasterCurrentId:
        return static_cast<intptr_t>(currentShellId.load(std::memory_order_relaxed));
      case audioMasterGetTime:
        // Whatever the plug-in asks for: the record says in its flags what is valid.
        return context ? reinterpret_cast<intptr_t>(&context->timeInfo) : 0;
      case audioMasterProcessEvents:
        return context ? processEvents(*context, static_cast<VstEvents*>(ptr)) : 0;
      case audioMasterSizeWindow: {
        if (!context) return 0;
        auto handler = context->sizeHandler.load(std::memory_order_acquire);
        if (!handler) return 0;
        handler(context->sizeUser.load(std::memory_order_acquire), audioMasterSizeWindow, index,
                static_cast<int32_t>(value));
        return 1;
      }
      case audioMasterGetVendorString:
        return copyText(ptr, kVendor);
      case audioMasterGetProductString:
        return copyText(ptr, product);
      case audioMasterCanDo:
        return isCapability(static_cast<const char*>(ptr)) ? 1 : 0;
      case kVLExOpcode:
        return context ? vendorSpecific(*context, index, opt) : 0;
      default:
        return 0;
    }
  } catch (...) {
    return 0;
  }
}
