#include "settings/PluginState.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "settings/HostSettings.h"
#include "vst/Vst2.h"

namespace {

constexpr const char* kStateFileName = "saved.chunk";
constexpr intptr_t kMaxChunkSize = std::numeric_limits<int32_t>::max();

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool readAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the file ended early
    data += n;
    size -= size_t(n);
  }
  return true;
}

// The folder a path names its file in, for the fsync that makes a rename durable.
std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The name of a temporary written beside `fileName` by process `pid`.
std::string tempName(const std::string& fileName, pid_t pid, unsigned serial) {
  return fileName + ".tmp-" + std::to_string(pid) + "-" + std::to_string(serial);
}

// Temporaries left by a host that died while writing, recognised by their name and by their
// writer no longer running. One bearing our own pid is never a write of ours in flight (writes are
// serialised and this runs before ours starts): an earlier process had the same pid, as pid
// namespaces hand out the same small numbers run after run. Anything else in the folder stays.
void removeDeadTemporaries(const std::string& folder, const std::string& fileName) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = fileName + ".tmp-";
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '-') continue;
    char* serialEnd = nullptr;
    const unsigned long serial = std::strtoul(end + 1, &serialEnd, 10);
    if (*serialEnd != '\0' || name != tempName(fileName, pid_t(pid), unsigned(serial))) continue;
    if (pid != ::getpid() && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)) continue;
    ::unlinkat(::dirfd(dir), name.c_str(), 0);
  }
  ::closedir(dir);
}

// The file a save replaces. A symbolic link in its place (the user keeps the state elsewhere, a
// synced folder, say) stays a link, and the file it leads to gets the new bytes. A dangling link
// has no file to follow and is replaced itself.
std::string linkTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target = resolved;
  std::free(resolved);
  return target;
}

// Replaces the file at `path` (or the one its link leads to) with exactly `size` bytes, or leaves
// it as it was.
bool replaceFile(const std::string& statePath, const uint8_t* data, size_t size) {
  static std::mutex writing;
  static unsigned counter = 0;
  std::lock_guard hold(writing);
  const std::string path = linkTarget(statePath);
  const std::string folder = folderOf(path);
  const size_t slash = path.rfind('/');
  // Before the write: a stale temporary of our own pid would otherwise hold the name we pick.
  removeDeadTemporaries(folder, slash == std::string::npos ? path : path.substr(slash + 1));
  const std::string temp = tempName(path, ::getpid(), counter++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // The new file keeps the permissions the user gave the old one.
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
  bool ok = writeAll(fd, data, size) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

}  // namespace

bool pluginStatePath(HostSettings& settings, std::string& path) {
  std::string contentPath;
  if (!settings.readString("contentpath", contentPath)) return false;
  path = contentPath + kStateFileName;
  return true;
}

bool savePluginState(HostSettings* settings, AEffect* effect) {
  if (!settings) return false;
  std::string path;
  if (!pluginStatePath(*settings, path)) return false;
  if (!effect || !effect->dispatcher) return false;
  void* chunk = nullptr;
  const intptr_t size = effect->dispatcher(effect, effGetChunk, 0, 0, &chunk, 0.0f);
  if (size == 0) return false;  // no chunk: the file from the last run stays
  if (size < 0 || size > kMaxChunkSize || !chunk) return false;
  return replaceFile(path, static_cast<const uint8_t*>(chunk), size_t(size));
}

bool loadPluginState(HostSettings* settings, AEffect* effect) {
  if (!settings) return false;
  std::string path;
  if (!pluginStatePath(*settings, path)) return false;
  // Non-blocking open so that a FIFO in place of the file cannot stall start-up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  std::unique_ptr<uint8_t[]> buffer;
  size_t length = 0;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxChunkSize;
  if (ok) {
    length = size_t(st.st_size);
    buffer.reset(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
    ok = buffer && readAll(fd, buffer.get(), length);
  }
  ::close(fd);
  if (!ok || !effect || !effect->dispatcher) return false;
  effect->dispatcher(effect, effSetChunk, 0, intptr_t(int32_t(length)), buffer.get(), 0.0f);
  return true;
}
