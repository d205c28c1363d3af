#include "settings/PluginState.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
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
// writer no longer running. Anything else in the folder is left alone.
void removeDeadTemporaries(const std::string& folder, const std::string& fileName) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = fileName + ".tmp-";
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '-' || pid == ::getpid()) continue;
    char* serialEnd = nullptr;
    const unsigned long serial = std::strtoul(end + 1, &serialEnd, 10);
    if (*serialEnd != '\0' || name != tempName(fileName, pid_t(pid), unsigned(serial))) continue;
    if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir), name.c_str(), 0);
  }
  ::closedir(dir);
}

// Replaces `path` with exactly `size` bytes, or leaves it as it was.
bool replaceFile(const std::string& path, const uint8_t* data, size_t size) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = tempName(path, ::getpid(), counter.fetch_add(1));
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
  const std::string folder = folderOf(path);
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  const size_t slash = path.rfind('/');
  removeDeadTemporaries(folder, slash == std::string::npos ? path : path.substr(slash + 1));
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
