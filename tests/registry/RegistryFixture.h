#pragma once
// Opens either backing with a machine layout laid out beforehand, so the same semantic tests run
// against the in-memory registry and the file registry.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/Hive.h"
#include "platform/registry/HiveRegistry.h"
#include "platform/registry/HiveText.h"
#include "platform/registry/Registry.h"
#include "support/JackServer.h"

namespace regtest {

using namespace plat::registry;

enum class Backing { Memory, File };

struct Seed {
  HKEY root;
  std::string key;
  std::string name;
  DWORD type;
  std::string bytes;
};

inline HiveRoot rootOf(HKEY k) {
  if (k == HKEY_CLASSES_ROOT) return HiveRoot::ClassesRoot;
  if (k == HKEY_LOCAL_MACHINE) return HiveRoot::LocalMachine;
  return HiveRoot::CurrentUser;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string machineHiveText(const std::vector<Seed>& seeds) {
  Hive hive;
  for (const auto& s : seeds) {
    hive.findOrCreate(rootOf(s.root), HiveRegistry::splitPath(s.key.c_str()))
        ->setValue(s.name, s.type, s.bytes);
  }
  return formatHive(hive, kMachineRoots);
}

inline std::unique_ptr<Registry> openBacking(Backing b, const testsupport::TempDir& dir,
                                             const std::vector<Seed>& machine = {}) {
  if (b == Backing::Memory) {
    auto r = makeMemoryRegistry();
    for (const auto& s : machine) seedValue(*r, s.root, s.key, s.name, s.type, s.bytes);
    return r;
  }
  writeFile(dir.file("machine.reg"), machineHiveText(machine));
  FileRegistryOptions o;
  o.userHivePath = dir.file("user.reg");
  o.machineHivePaths[0] = dir.file("machine.reg");
  return openFileRegistry(o);
}

struct Query {
  LSTATUS status;
  DWORD type;
  DWORD size;
  std::string buffer;  // the whole buffer after the call
};

// RegQueryValueExA through a buffer of `bufferSize` bytes pre-filled with '#'.
inline Query query(Registry& r, HKEY key, const char* name, DWORD bufferSize) {
  Query q{0, 0xdead, bufferSize, std::string(bufferSize, '#')};
  q.status = r.queryValueEx(key, name, &q.type, reinterpret_cast<uint8_t*>(q.buffer.data()), &q.size);
  return q;
}

inline LSTATUS set(Registry& r, HKEY key, const char* name, DWORD type, const std::string& bytes) {
  return r.setValueEx(key, name, type, reinterpret_cast<const uint8_t*>(bytes.data()), DWORD(bytes.size()));
}

}  // namespace regtest
