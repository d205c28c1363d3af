#include "platform/registry/Registry.h"

#include "platform/registry/HiveRegistry.h"
#include "platform/registry/MemoryRegistry.h"

namespace plat::registry {

std::unique_ptr<Registry> makeMemoryRegistry() {
  return std::make_unique<MemoryRegistry>();
}

bool seedValue(Registry& r, HKEY root, const std::string& keyPath, const std::string& valueName, DWORD type,
               const std::string& bytes) {
  auto* h = dynamic_cast<HiveRegistry*>(&r);
  return h && h->seed(root, keyPath, &valueName, type, bytes);
}

bool seedKey(Registry& r, HKEY root, const std::string& keyPath) {
  auto* h = dynamic_cast<HiveRegistry*>(&r);
  return h && h->seed(root, keyPath, nullptr, REG_NONE, {});
}

std::string textValue(const std::string& text) {
  return std::string(text.c_str(), text.size() + 1);
}

std::string dwordValue(DWORD value) {
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[size_t(i)] = static_cast<char>(value >> (8 * i));
  return b;
}

}  // namespace plat::registry
