#pragma once
// The durable backing. HKEY_CURRENT_USER lives in the user hive, a text file (HiveText.h) that
// this object rewrites whole for every write transaction:
//  - under an exclusive advisory lock (flock on "<hive>.lock" beside it), so that the writers of
//    all processes take turns; the file is re-read first when another process has changed it, so
//    a read-modify-write never drops a value someone else stored;
//  - into a temporary file in the same folder, fsync'd, renamed over the hive, and the folder
//    fsync'd, all before the call ending the transaction returns. A crash at any moment leaves the
//    old or the new file; temporary files left by a crash are removed under the lock.
// A user hive that does not parse (garbage, a truncated or empty file) is renamed aside to
// "<hive>.corrupt-<UTC time>[-n]", never overwritten or deleted, and the host goes on with an
// empty hive. When it cannot be moved aside the hive stays read-only for this run.
// Reads outside a batch stat the file and re-read it when its identity (inode, size, modification
// time) changed; writes always compare the bytes under the lock, so they never miss a change.
// The machine hive (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT) is read once at open from the files
// named in the options and never written.
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/registry/HiveRegistry.h"

namespace plat::registry {

class FileRegistry : public HiveRegistry {
 public:
  explicit FileRegistry(const FileRegistryOptions& options);
  ~FileRegistry() override;

  const std::string& userHivePath() const { return path_; }
  // Files this object moved aside because they did not parse, oldest first.
  std::vector<std::string> movedAside();
  // Why the last user hive read failed, or empty.
  std::string lastParseError();

 protected:
  void refresh() override;
  LSTATUS beginTransaction() override;
  LSTATUS commitTransaction(bool changed) override;

 private:
  struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long mtimeSec = 0;
    long mtimeNsec = 0;
    bool operator==(const Identity&) const = default;
  };
  Identity statHive() const;
  bool lock();
  void unlock();
  // Under the lock: re-reads the user hive when its bytes differ from those last seen.
  void load(bool mayMoveAside);
  bool moveAside();
  void restoreLastStored();
  bool store(const std::string& text, bool* visible);
  void removeStaleTemporaries();
  void loadMachineHive(const std::string& file);

  std::string path_, dir_, base_;
  int lockFd_ = -1;
  bool locked_ = false;
  bool cleaned_ = false;
  bool readOnly_ = false;  // a bad file could not be moved aside, or could not be read
  std::string lastBytes_;  // the user hive as last read or written; empty when no file
  Identity identity_;
  std::vector<std::string> movedAside_;
  std::string parseError_;
};

}  // namespace plat::registry
