#include "plugin/VLVSTHostLib.h"

#include <algorithm>
#include <cstring>

#include "plugin/EffectTable.h"
#include "plugin/HostCallback.h"
#include "vst/Opcodes.h"

namespace {
constexpr int32_t kMinClearedChannels = 32;
}  // namespace

VLVSTHostLib::~VLVSTHostLib() {
  // Deregister first: a plug-in thread that outlives the close then finds no context to touch.
  EffectTable::instance().remove(&hostContext);
  module.free();
}

bool VLVSTHostLib::load(const std::string& path, audioMasterCallback overrideCallback, void* overrideUser,
                        int32_t shellId, bool hoster) {
  currentShellId.store(shellId, std::memory_order_relaxed);
  if (module.loaded()) unload();
  effect = loadModule(path, overrideCallback, overrideUser, hoster);
  return effect != nullptr;
}

AEffect* VLVSTHostLib::loadModule(const std::string& path, audioMasterCallback overrideCallback,
                                  void* overrideUser, bool hoster) {
  if (overrideCallback) hostContext.setOverride(overrideCallback, overrideUser);
  if (!module.load(path)) return nullptr;
  auto entry = reinterpret_cast<VstPluginEntry>(module.symbol("VSTPluginMain"));
  if (!entry) entry = reinterpret_cast<VstPluginEntry>(module.symbol("main"));
  // Without an entry the library stays loaded until unload.
  if (!entry) return nullptr;
  AEffect* obtained = nullptr;
  try {
    obtained = entry(hoster ? &HostCallback::hoster : &HostCallback::standalone);
  } catch (...) {
    obtained = nullptr;
  }
  if (!obtained) return nullptr;
  if (obtained->magic != kEffectMagic) {
    module.free();
    return nullptr;
  }
  EffectTable::instance().append(&hostContext, obtained);
  return obtained;
}

void VLVSTHostLib::unload() {
  hostContext.setOverride(nullptr, nullptr);
  // The effect is gone with its module: a pair left behind could shadow another wrapper's plug-in
  // that the loader places at the same address.
  EffectTable::instance().remove(&hostContext);
  module.free();
  effect = nullptr;
}

void VLVSTHostLib::process(const ChannelBufferPair& /*input*/, const ChannelBufferPair& output,
                           uint32_t frames) noexcept {
  AEffect* e = effect;
  if (!e || !e->processReplacing) return;
  // The entries a plug-in may look at are cleared: every channel it declares, and at least 32. The
  // rest stays untouched, so an ordinary plug-in's block costs what it did with a 32-entry array.
  float* channels[kMaxChannels];
  const int32_t used = std::min(std::max({e->numInputs, e->numOutputs, kMinClearedChannels}), kMaxChannels);
  std::fill_n(channels, used, nullptr);
  const int32_t outputs = std::min(e->numOutputs, kMaxChannels);
  for (int32_t i = 0; i < outputs; i += 2) {
    channels[i] = output.left;
    channels[i + 1] = output.right;
  }
  e->processReplacing(e, channels, channels, static_cast<int32_t>(frames));
}

bool VLVSTHostLib::openPlugin(ERect& rect, std::string& name) {
  rect = ERect{};
  name.clear();
  if (!effect) return false;
  dispatch(effOpen);
  ERect* r = nullptr;
  dispatch(effEditGetRect, 0, 0, &r);
  if (r) rect = *r;
  char buffer[kNameBufferSize] = {};
  if (dispatch(effGetEffectName, 0, 0, buffer) != 1) dispatch(effGetProductString, 0, 0, buffer);
  buffer[kNameBufferSize - 1] = 0;
  name = buffer;
  return true;
}

void VLVSTHostLib::closePlugin() {
  if (!effect) return;
  dispatch(effEditClose);
  dispatch(effClose);
  // The plug-in has given up the record; its address may come back from the next entry call of
  // another wrapper, whose lookups this pair would otherwise answer with our context.
  EffectTable::instance().remove(&hostContext);
  effect = nullptr;
}

intptr_t VLVSTHostLib::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  if (!effect || !effect->dispatcher) return 0;
  return effect->dispatcher(effect, opcode, index, value, ptr, opt);
}
