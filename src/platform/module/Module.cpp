#include "platform/module/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace plat::module {

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

std::string pluginPathFor(const std::string& executable) {
  if (executable.size() < 3) return {};
  std::string path = executable;
  if (auto at = path.find(".exe"); at != std::string::npos) {
    path.replace(at, 4, ".dll");
  } else {
    path += ".so";
  }
  return path;
}

ModuleHandle loadLibrary(const std::string& path) {
  if (path.empty()) return nullptr;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return dlsym(module, name);
}

void freeLibrary(ModuleHandle module) {
  if (module) dlclose(module);
}

std::string lastError() {
  const char* e = dlerror();
  return e ? e : "";
}

}  // namespace plat::module
