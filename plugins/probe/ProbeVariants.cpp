// Modules that fail to load, one per build definition. They hold no state of their own, so the
// loader really unmaps them on the last dlclose (tests check that a rejected module is freed).
#include "vst/AEffect.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(PROBE_BAD_MAGIC)
namespace {
AEffect gNotAnEffect = {};  // zero magic
}
PROBE_EXPORT AEffect* VSTPluginMain(audioMasterCallback) {
  gNotAnEffect.magic = fourCC("VstQ");
  return &gNotAnEffect;
}
#elif defined(PROBE_NULL_ENTRY)
PROBE_EXPORT AEffect* VSTPluginMain(audioMasterCallback) {
  return nullptr;
}
#elif defined(PROBE_THROWS)
namespace {
struct EntryFailure {
  int code;
};
}  // namespace
PROBE_EXPORT AEffect* VSTPluginMain(audioMasterCallback) {
  throw EntryFailure{1};
}
#elif defined(PROBE_NO_ENTRY)
PROBE_EXPORT int probe_not_a_plugin() {
  return 0;
}
#else
#error "choose a variant"
#endif
