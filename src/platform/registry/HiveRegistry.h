#pragma once
// The registry operations over a Hive, shared by the in-memory and the file backing. A backing
// that stores the hive somewhere overrides the storage hooks; they run with the registry's mutex
// held, so they never see two threads at once.
//
// Writes are transactions: outside a batch each write opens one around itself; inside a batch the
// outermost beginBatch opened it and the outermost endBatch commits it. The batch holds the mutex
// from begin to end, so other threads wait for the whole batch, reads included.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/registry/Hive.h"
#include "platform/registry/Registry.h"

namespace plat::registry {

// An open key: its root and the path of names below it. Handles refer to keys by path, so a key
// survives the hive being re-read from disk; a handle whose key has vanished meanwhile (the file
// was replaced by one without it) reads as an empty key, and a write creates the key again.
struct KeyObject {
  HiveRoot root;
  std::vector<std::string> path;
};

class HiveRegistry : public Registry {
 public:
  ~HiveRegistry() override;

  LSTATUS createKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) override;
  LSTATUS openKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) override;
  LSTATUS enumKey(HKEY key, DWORD index, char* name, DWORD nameSize) override;
  LSTATUS queryValueEx(HKEY key, const char* name, DWORD* type, uint8_t* data, DWORD* size) override;
  LSTATUS setValueEx(HKEY key, const char* name, DWORD type, const uint8_t* data, DWORD size) override;
  LSTATUS deleteValue(HKEY key, const char* name) override;
  LSTATUS closeKey(HKEY key) override;
  void beginBatch() override;
  LSTATUS endBatch() override;

  // Writes into any root, read-only ones included, when the backing allows seeding.
  bool seed(HKEY root, const std::string& keyPath, const std::string* valueName, DWORD type,
            const std::string& bytes);

  // The key path split at '\'; empty parts (a leading, doubled or trailing '\') are skipped.
  static std::vector<std::string> splitPath(const char* path);

 protected:
  explicit HiveRegistry(bool allowsSeeding) : allowsSeeding_(allowsSeeding) {}

  // Before a read outside a transaction: pick up changes made by others.
  virtual void refresh() {}
  // Opens a write transaction (for the file backing: takes the file lock and re-reads the file).
  virtual LSTATUS beginTransaction() { return ERROR_SUCCESS; }
  // Ends it; `changed` says whether the hive was modified. On a failed store the backing restores
  // the hive it last stored, so memory never claims what the disk does not hold.
  virtual LSTATUS commitTransaction(bool changed) {
    (void)changed;
    return ERROR_SUCCESS;
  }
  static bool readOnlyRoot(HiveRoot r) { return r != HiveRoot::CurrentUser; }

  Hive hive_;
  std::recursive_mutex mutex_;

 private:
  bool resolve(HKEY key, HiveRoot* root, std::vector<std::string>* path) const;
  HKEY newHandle(HiveRoot root, std::vector<std::string> path);
  template <class F>
  LSTATUS write(F&& change);
  void readBegin();

  const bool allowsSeeding_;
  std::unordered_set<KeyObject*> handles_;
  int batchDepth_ = 0;
  LSTATUS batchStatus_ = ERROR_SUCCESS;
  bool changed_ = false;
  std::atomic<std::thread::id> batchOwner_{};
};

}  // namespace plat::registry
