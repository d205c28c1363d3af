#pragma once
// The in-memory tree behind every registry backing: the three roots, their keys in creation order
// and each key's values in creation order. Names keep the case they were created with and are
// looked up case-insensitively (ASCII letters only, as the ANSI registry functions compare).
// Not thread-safe: the owning registry serialises access.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plat::registry {

struct HiveValue {
  std::string name;  // "" is the key's default value
  uint32_t type = 0;
  std::string bytes;
};

struct HiveKey {
  std::string name;
  std::vector<std::unique_ptr<HiveKey>> children;  // creation order
  std::vector<HiveValue> values;                   // creation order

  HiveKey* child(std::string_view childName) const;
  // The child of that name, appended when missing.
  HiveKey* childOrAdd(std::string_view childName);
  HiveValue* value(std::string_view valueName);
  const HiveValue* value(std::string_view valueName) const;
  // Replaces the bytes and type of an existing value, or appends it.
  void setValue(std::string_view valueName, uint32_t type, std::string bytes);
  bool removeValue(std::string_view valueName);
  bool empty() const { return children.empty() && values.empty(); }
};

enum class HiveRoot : int { ClassesRoot = 0, CurrentUser = 1, LocalMachine = 2 };
inline constexpr int kHiveRootCount = 3;

class Hive {
 public:
  Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  Hive(Hive&&) = default;
  Hive& operator=(Hive&&) = default;

  HiveKey& root(HiveRoot r) { return *roots_[static_cast<int>(r)]; }
  const HiveKey& root(HiveRoot r) const { return *roots_[static_cast<int>(r)]; }
  // The key at `path` below a root, or null.
  HiveKey* find(HiveRoot r, const std::vector<std::string>& path);
  // The key at `path`, creating the missing keys on the way; `created` tells whether any was.
  HiveKey* findOrCreate(HiveRoot r, const std::vector<std::string>& path, bool* created = nullptr);
  void clear(HiveRoot r);
  bool equals(const Hive& other) const;

 private:
  std::unique_ptr<HiveKey> roots_[kHiveRootCount];
};

// ASCII case-insensitive equality, the comparison of key and value names.
bool namesEqual(std::string_view a, std::string_view b);
// The root's name in the hive text ("HKEY_CURRENT_USER", ...).
const char* hiveRootName(HiveRoot r);

}  // namespace plat::registry
