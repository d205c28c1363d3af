#pragma once
// The loaded plug-in library: owns the module handle (null when none).
#include <string>

#include "platform/module/Module.h"

class PluginModule {
 public:
  PluginModule() = default;
  ~PluginModule() { free(); }
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  // Loads the library at `path`, freeing any library held before. False when it cannot be loaded.
  bool load(const std::string& path);
  // An exported symbol of the loaded library, or null.
  void* symbol(const char* name) const;
  // Frees the library (if any) and clears the handle.
  void free();

  plat::module::ModuleHandle handle() const { return handle_; }
  bool loaded() const { return handle_ != nullptr; }

 private:
  plat::module::ModuleHandle handle_ = nullptr;
};
