#pragma once
// The registry layer: the hierarchical key/value store in which the host keeps its settings and
// finds its ASIO drivers. The operations have the shape and results of the ANSI registry calls
// the host makes, with the semantics it relies on:
//  - Key and value names compare case-insensitively (ASCII letters), and keep the case they were
//    created with. A subkey path separates its parts with '\'.
//  - Values are untyped bytes plus a type code; a read never checks the type, so a DWORD read of
//    a text value yields its first bytes, and the reverse.
//  - A read through a buffer too small for the value fails with ERROR_MORE_DATA and leaves the
//    buffer alone; a missing value is ERROR_FILE_NOT_FOUND. `size` reports the stored size.
//  - HKEY_CURRENT_USER is writable; HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT are read-only for
//    the host (writes answer ERROR_ACCESS_DENIED), except through the test backing's seeding.
//  - Subkeys enumerate in the order they were first created; the file backing keeps that order
//    in the file, so it is stable across runs.
//  - A key path skips empty parts: "a\\b\" is "a\b", and "" or "\" is the parent itself.
// Thread safety: every operation may be called from any thread. Not for the audio thread.
#include <cstdint>
#include <memory>
#include <string>

namespace plat::registry {

struct KeyObject;
using HKEY = KeyObject*;

// Predefined roots: fixed handle values, never closed.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t(0x80000000));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t(0x80000002));

using LSTATUS = int32_t;
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_WRITE_FAULT = 29;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;

using DWORD = uint32_t;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// Access masks: accepted and ignored beyond read-only roots (the layer does not do ACLs).
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

class Registry {
 public:
  virtual ~Registry() = default;

  // Opens `subKey` below `parent`, creating it and every missing key on the way (RegCreateKeyExA).
  // An empty or null subKey opens `parent` itself anew.
  virtual LSTATUS createKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) = 0;
  // Opens an existing key (RegOpenKeyA / RegOpenKeyExA); ERROR_FILE_NOT_FOUND when absent.
  virtual LSTATUS openKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) = 0;
  LSTATUS openKey(HKEY parent, const char* subKey, HKEY* result) {
    return openKeyEx(parent, subKey, KEY_ALL_ACCESS, result);
  }
  // The name of subkey `index` into `name` (RegEnumKeyA): ERROR_NO_MORE_ITEMS past the end,
  // ERROR_MORE_DATA when `nameSize` cannot hold the name and its zero.
  virtual LSTATUS enumKey(HKEY key, DWORD index, char* name, DWORD nameSize) = 0;
  // RegQueryValueExA. `name` null or "" is the key's default value. `type` and `data` may be
  // null; `size` is in/out (the buffer's size in, the stored size out). A REG_SZ value is stored
  // with its terminating zero, so callers take the text up to the first zero.
  virtual LSTATUS queryValueEx(HKEY key, const char* name, DWORD* type, uint8_t* data, DWORD* size) = 0;
  // RegSetValueExA: stores exactly `size` bytes with the type code.
  virtual LSTATUS setValueEx(HKEY key, const char* name, DWORD type, const uint8_t* data, DWORD size) = 0;
  virtual LSTATUS deleteValue(HKEY key, const char* name) = 0;
  virtual LSTATUS closeKey(HKEY key) = 0;

  // A batch: writes between begin and end land together, atomically, when the outermost
  // `endBatch` returns (it reports whether they reached the store). Outside a batch every write
  // lands on its own before it returns. Batches nest; other threads' writes wait for the end.
  virtual void beginBatch() = 0;
  virtual LSTATUS endBatch() = 0;
};

// RAII for a batch.
class Batch {
 public:
  explicit Batch(Registry& r) : r_(r) { r_.beginBatch(); }
  ~Batch() { r_.endBatch(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

 private:
  Registry& r_;
};

// The in-memory backing, for tests. `seedValue` and `seedKey` write into the read-only roots so a
// test can lay out a machine hive (ASIO drivers, class servers).
std::unique_ptr<Registry> makeMemoryRegistry();

// The durable backing: the user hive is a text file, written atomically; the machine hive (both
// read-only roots) is read from the files named. See README.md for the format, and FileRegistry.h
// for durability, locking and what happens to a file that does not parse.
struct FileRegistryOptions {
  std::string userHivePath;  // empty: $XDG_CONFIG_HOME (or ~/.config)/vellumar/user.reg
  // Read in order and merged: a value or key found in an earlier file wins over a later one. An
  // empty entry is skipped; a missing file is an empty hive; a file that does not parse is left
  // out whole (it is not the host's to repair).
  std::string machineHivePaths[2];
};
std::unique_ptr<Registry> openFileRegistry(const FileRegistryOptions& options);

// The system folder's machine hive, where an installation registers its drivers. /etc because it
// is configuration of the machine that the administrator (or a package) owns and users may only
// read, which is exactly the contract of the two machine roots.
inline constexpr const char* kSystemMachineHivePath = "/etc/vellumar/machine.reg";
// $XDG_CONFIG_HOME/vellumar/user.reg, with ~/.config when the variable is unset or relative.
std::string defaultUserHivePath();
// What the host opens: the default user hive; "machine.reg" beside the executable (the build
// tree writes one there that registers the project's own drivers), then kSystemMachineHivePath.
FileRegistryOptions defaultFileRegistryOptions();

// Writes a key path and a value into any root, the read-only ones included, of a backing that
// allows seeding (the in-memory one, for tests). Returns false for backings without seeding.
bool seedValue(Registry& r, HKEY root, const std::string& keyPath, const std::string& valueName, DWORD type,
               const std::string& bytes);
// Creates a key path (without values) in any root of a seeding backing.
bool seedKey(Registry& r, HKEY root, const std::string& keyPath);

// Value bytes as the host stores them: a REG_SZ text with its terminating zero, a REG_DWORD in
// little-endian order.
std::string textValue(const std::string& text);
std::string dwordValue(DWORD value);

}  // namespace plat::registry
