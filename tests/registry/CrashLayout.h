#pragma once
// The layouts the writer process and the tests agree on.
#include <atomic>
#include <string>

#include "platform/registry/Hive.h"
#include "platform/registry/Registry.h"

namespace crashlayout {

using namespace plat::registry;

// Generation g: "Crash" holds "generation" = g and keys k0.. each with values v0.. whose texts
// name g, so any mix of two generations shows.
inline std::string text(DWORD g, int k, int v) {
  return "g" + std::to_string(g) + " key " + std::to_string(k) + " value " + std::to_string(v) +
         " \"quoted\" \\ and some padding to make the hive large";
}

inline DWORD storedGeneration(Registry& r) {
  HKEY k = nullptr;
  if (r.openKey(HKEY_CURRENT_USER, "Crash", &k) != ERROR_SUCCESS) return 0;
  DWORD g = 0, size = 4;
  r.queryValueEx(k, "generation", nullptr, reinterpret_cast<uint8_t*>(&g), &size);
  r.closeKey(k);
  return g;
}

inline bool write(Registry& r, DWORD g, int keys, int values) {
  r.beginBatch();
  bool ok = true;
  HKEY crash = nullptr;
  ok = r.createKeyEx(HKEY_CURRENT_USER, "Crash", KEY_ALL_ACCESS, &crash) == ERROR_SUCCESS;
  for (int k = 0; ok && k < keys; ++k) {
    HKEY key = nullptr;
    ok = r.createKeyEx(crash, ("k" + std::to_string(k)).c_str(), KEY_ALL_ACCESS, &key) == ERROR_SUCCESS;
    for (int v = 0; ok && v < values; ++v) {
      std::string t = textValue(text(g, k, v));
      ok = r.setValueEx(key, ("v" + std::to_string(v)).c_str(), REG_SZ,
                        reinterpret_cast<const uint8_t*>(t.data()), DWORD(t.size())) == ERROR_SUCCESS;
    }
    r.closeKey(key);
  }
  if (ok) {
    ok = r.setValueEx(crash, "generation", REG_DWORD, reinterpret_cast<const uint8_t*>(&g), 4) ==
         ERROR_SUCCESS;
  }
  r.closeKey(crash);
  return r.endBatch() == ERROR_SUCCESS && ok;
}

// The user root of generation g, exactly as `write` leaves it in a hive that held nothing else.
inline void expected(Hive& hive, DWORD g, int keys, int values) {
  HiveKey* crash = hive.findOrCreate(HiveRoot::CurrentUser, {"Crash"});
  for (int k = 0; k < keys; ++k) {
    HiveKey* key = crash->childOrAdd("k" + std::to_string(k));
    for (int v = 0; v < values; ++v) key->setValue("v" + std::to_string(v), REG_SZ, textValue(text(g, k, v)));
  }
  crash->setValue("generation", REG_DWORD, dwordValue(g));
}

inline std::string ownName(const std::string& prefix, int thread, int i) {
  return prefix + "-t" + std::to_string(thread) + "-" + std::to_string(i);
}

// Values prefix-t<thread>-<i> = i under "Shared": single writes, and every fourth a batch of two.
inline bool writeOwnValues(Registry& r, const std::string& prefix, int thread, int count) {
  HKEY shared = nullptr;
  if (r.createKeyEx(HKEY_CURRENT_USER, "Shared", KEY_ALL_ACCESS, &shared) != ERROR_SUCCESS) return false;
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    bool batch = i % 4 == 3 && i + 1 < count;
    if (batch) r.beginBatch();
    for (int j = i; j <= i + (batch ? 1 : 0); ++j) {
      DWORD v = DWORD(j);
      ok = r.setValueEx(shared, ownName(prefix, thread, j).c_str(), REG_DWORD,
                        reinterpret_cast<const uint8_t*>(&v), 4) == ERROR_SUCCESS &&
           ok;
    }
    if (batch) {
      ok = r.endBatch() == ERROR_SUCCESS && ok;
      ++i;
    }
  }
  r.closeKey(shared);
  return ok;
}

}  // namespace crashlayout
