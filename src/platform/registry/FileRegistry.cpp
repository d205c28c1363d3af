#include "platform/registry/FileRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/module/Module.h"
#include "platform/registry/HiveText.h"

namespace plat::registry {

namespace {

bool readWholeFile(const std::string& path, std::string* bytes, struct stat* info, int* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  bytes->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  if (info && ::fstat(fd, info) != 0) {
    *error = errno;
    ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool syncFolder(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Values of `src` that `dst` lacks, and keys in `src` order after those `dst` has.
void mergeMissing(HiveKey& dst, const HiveKey& src) {
  for (const auto& v : src.values) {
    if (!dst.value(v.name)) dst.values.push_back(v);
  }
  for (const auto& c : src.children) mergeMissing(*dst.childOrAdd(c->name), *c);
}

void replaceUserRoot(Hive& hive, Hive& from) {
  HiveKey& dst = hive.root(HiveRoot::CurrentUser);
  HiveKey& src = from.root(HiveRoot::CurrentUser);
  dst.children = std::move(src.children);
  dst.values = std::move(src.values);
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string defaultUserHivePath() {
  std::string config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // Relative values are to be ignored, as the base directory convention says.
  if (xdg && xdg[0] == '/') {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] ? home : "";
    if (h.empty()) {
      struct passwd pw, *found = nullptr;
      char buffer[4096];
      if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found) h = found->pw_dir;
    }
    if (h.empty()) h = "/tmp";
    config = h + "/.config";
  }
  return config + "/vellumar/user.reg";
}

FileRegistryOptions defaultFileRegistryOptions() {
  FileRegistryOptions o;
  o.userHivePath = defaultUserHivePath();
  std::string exe = plat::module::executablePath();
  if (!exe.empty()) o.machineHivePaths[0] = folderOf(exe) + "/machine.reg";
  o.machineHivePaths[1] = kSystemMachineHivePath;
  return o;
}

std::unique_ptr<Registry> openFileRegistry(const FileRegistryOptions& options) {
  return std::make_unique<FileRegistry>(options);
}

FileRegistry::FileRegistry(const FileRegistryOptions& options) : HiveRegistry(false) {
  path_ = options.userHivePath.empty() ? defaultUserHivePath() : options.userHivePath;
  dir_ = folderOf(path_);
  base_ = path_.substr(path_.rfind('/') == std::string::npos ? 0 : path_.rfind('/') + 1);
  for (const auto& m : options.machineHivePaths) {
    if (!m.empty()) loadMachineHive(m);
  }
  if (statHive().exists) {
    if (lock()) {
      load(true);
      unlock();
    } else {
      load(false);
    }
  }
}

FileRegistry::~FileRegistry() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::vector<std::string> FileRegistry::movedAside() {
  std::lock_guard l(mutex_);
  return movedAside_;
}

std::string FileRegistry::lastParseError() {
  std::lock_guard l(mutex_);
  return parseError_;
}

void FileRegistry::loadMachineHive(const std::string& file) {
  std::string bytes;
  int error = 0;
  if (!readWholeFile(file, &bytes, nullptr, &error)) return;  // a missing file is an empty hive
  Hive parsed;
  std::string why;
  // A broken machine hive is not ours to repair: it is left out whole, never half read.
  if (!parseHive(bytes, kMachineRoots, &parsed, &why)) {
    parseError_ = file + ": " + why;
    return;
  }
  mergeMissing(hive_.root(HiveRoot::LocalMachine), parsed.root(HiveRoot::LocalMachine));
  mergeMissing(hive_.root(HiveRoot::ClassesRoot), parsed.root(HiveRoot::ClassesRoot));
}

FileRegistry::Identity FileRegistry::statHive() const {
  struct stat st;
  Identity id;
  if (::stat(path_.c_str(), &st) != 0) return id;
  id.exists = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtimeSec = st.st_mtim.tv_sec;
  id.mtimeNsec = st.st_mtim.tv_nsec;
  return id;
}

bool FileRegistry::lock() {
  if (lockFd_ < 0) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) return false;
  }
  while (::flock(lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  locked_ = true;
  if (!cleaned_) {
    removeStaleTemporaries();
    cleaned_ = true;
  }
  return true;
}

void FileRegistry::unlock() {
  if (!locked_) return;
  ::flock(lockFd_, LOCK_UN);
  locked_ = false;
}

void FileRegistry::removeStaleTemporaries() {
  // Writers hold the lock from creating their temporary file until it is renamed, so under the
  // lock every temporary file is a leftover of a writer that died.
  DIR* d = ::opendir(dir_.c_str());
  if (!d) return;
  std::string prefix = "." + base_ + ".tmp-";
  while (dirent* e = ::readdir(d)) {
    if (std::string_view(e->d_name).starts_with(prefix)) ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

void FileRegistry::load(bool mayMoveAside) {
  std::string bytes;
  struct stat st;
  int error = 0;
  bool exists = readWholeFile(path_, &bytes, &st, &error);
  if (!exists && error != ENOENT) {
    // Unreadable, not absent: keep what we have and do not overwrite what we cannot see.
    readOnly_ = true;
    return;
  }
  Identity id;
  if (exists) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtimeSec = st.st_mtim.tv_sec;
    id.mtimeNsec = st.st_mtim.tv_nsec;
  }
  if (exists == identity_.exists && bytes == lastBytes_ && !readOnly_) {
    identity_ = id;
    return;
  }
  Hive parsed;
  std::string why;
  if (!exists || parseHive(bytes, kUserRoots, &parsed, &why)) {
    replaceUserRoot(hive_, parsed);
    lastBytes_ = exists ? bytes : std::string();
    identity_ = id;
    readOnly_ = false;
    return;
  }
  parseError_ = why;
  hive_.clear(HiveRoot::CurrentUser);
  lastBytes_.clear();
  if (mayMoveAside && moveAside()) {
    identity_ = statHive();
    readOnly_ = false;
  } else {
    identity_ = id;
    readOnly_ = true;
  }
}

bool FileRegistry::moveAside() {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  for (int n = 0; n < 1000; ++n) {
    std::string name = path_ + ".corrupt-" + stamp + (n ? "-" + std::to_string(n) : "");
    bool moved = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0;
    if (!moved && (errno == EINVAL || errno == ENOSYS)) {
      // File systems without RENAME_NOREPLACE: link refuses an existing name just the same.
      moved = ::link(path_.c_str(), name.c_str()) == 0 && ::unlink(path_.c_str()) == 0;
    }
    if (moved) {
      syncFolder(dir_);
      movedAside_.push_back(name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void FileRegistry::restoreLastStored() {
  Hive parsed;
  if (!lastBytes_.empty()) parseHive(lastBytes_, kUserRoots, &parsed);
  replaceUserRoot(hive_, parsed);
}

bool FileRegistry::store(const std::string& text, bool* visible) {
  *visible = false;
  std::string temp = dir_ + "/." + base_ + ".tmp-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  *visible = true;
  return syncFolder(dir_);
}

void FileRegistry::refresh() {
  if (statHive() == identity_ && !readOnly_) return;
  if (lock()) {
    load(true);
    unlock();
  } else {
    load(false);
  }
}

LSTATUS FileRegistry::beginTransaction() {
  if (!lock()) return ERROR_WRITE_FAULT;
  load(true);
  return readOnly_ ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
}

LSTATUS FileRegistry::commitTransaction(bool changed) {
  LSTATUS r = ERROR_SUCCESS;
  if (changed) {
    if (!locked_ || readOnly_) {
      restoreLastStored();
      r = ERROR_WRITE_FAULT;
    } else {
      std::string text = formatHive(hive_, kUserRoots);
      bool visible = false;
      if (store(text, &visible)) {
        lastBytes_ = std::move(text);
        identity_ = statHive();
      } else if (visible) {
        // Renamed into place but the folder did not sync: what others read is the new text.
        lastBytes_ = std::move(text);
        identity_ = statHive();
        r = ERROR_WRITE_FAULT;
      } else {
        restoreLastStored();
        r = ERROR_WRITE_FAULT;
      }
    }
  }
  unlock();
  return r;
}

}  // namespace plat::registry
