#include "plugin/PluginModule.h"

bool PluginModule::load(const std::string& path) {
  free();
  handle_ = plat::module::loadLibrary(path);
  return handle_ != nullptr;
}

void* PluginModule::symbol(const char* name) const {
  return plat::module::findSymbol(handle_, name);
}

void PluginModule::free() {
  plat::module::freeLibrary(handle_);
  handle_ = nullptr;
}
