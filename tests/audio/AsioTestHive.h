#pragma once
// A machine hive for ASIO tests: driver entries under HKEY_LOCAL_MACHINE "software\asio" and their
// class servers under HKEY_CLASSES_ROOT "clsid", in an in-memory registry.
#include <optional>
#include <string>

#include "platform/registry/Registry.h"

namespace asiotest {

struct DriverEntry {
  std::string key;    // subkey of software\asio
  std::string clsid;  // the "clsid" value
  std::optional<std::string> description;
  std::string serverPath = "/proc/self/exe";  // InprocServer32; must name an existing file
  bool classKey = true;                       // write HKEY_CLASSES_ROOT\clsid\{...}
};

inline std::string sz(const std::string& text) {
  return text + std::string(1, '\0');
}

inline void seedDriver(plat::registry::Registry& r, const DriverEntry& e) {
  using namespace plat::registry;
  std::string key = "software\\asio\\" + e.key;
  seedValue(r, HKEY_LOCAL_MACHINE, key, "clsid", REG_SZ, sz(e.clsid));
  if (e.description) seedValue(r, HKEY_LOCAL_MACHINE, key, "description", REG_SZ, sz(*e.description));
  if (e.classKey)
    seedValue(r, HKEY_CLASSES_ROOT, "clsid\\" + e.clsid + "\\InprocServer32", "", REG_SZ, sz(e.serverPath));
}

}  // namespace asiotest
