#include "support/JackServer.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace testsupport {

namespace {
constexpr int kNamePool = 4;

bool anyJackdRunning() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    FILE* f = std::fopen((entry.path() / "comm").c_str(), "re");
    if (!f) continue;
    char comm[64] = {};
    const bool jackd = std::fgets(comm, sizeof comm, f) && std::string(comm) == "jackd\n";
    std::fclose(f);
    if (jackd) return true;
  }
  return false;
}

bool serverAnswers(const std::string& name) {
  // jack_wait -c prints "running" or "not running" and always exits 0: read its output.
  std::string cmd = "JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=" + name + " jack_wait -c 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return false;
  char line[128] = {};
  bool up = fgets(line, sizeof line, p) && std::string(line).rfind("running", 0) == 0;
  pclose(p);
  return up;
}
}  // namespace

bool JackServer::launch(const std::string& name, int rate, int period, int playbackPorts, int capturePorts,
                        bool* exitedEarly) {
  *exitedEarly = false;
  std::string r = std::to_string(rate), p = std::to_string(period);
  std::string pb = std::to_string(playbackPorts), cp = std::to_string(capturePorts);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setenv("JACK_NO_START_SERVER", "1", 1);
    // Keep the test's output readable: the server talks a lot.
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execlp("jackd", "jackd", "-n", name.c_str(), "-R", "-d", "dummy", "-r", r.c_str(), "-p", p.c_str(), "-P",
           pb.c_str(), "-C", cp.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  name_ = name;
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *exitedEarly = true;
      return false;
    }
    if (serverAnswers(name_)) {
      setenv("JACK_NO_START_SERVER", "1", 1);
      setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop();
  return false;
}

// jackd keeps one registry of servers for the whole machine (/dev/shm/jack-shm-registry) with room
// for eight, and the entry of a server that died without unregistering (a test that kills one, a
// test process that crashed) is reclaimed only by a later server of the same name. So the test
// servers take their names from a small pool, and when the registry is full of entries of dead
// servers while no jackd runs at all, it is removed (the next jackd makes a new one). A lock file
// keeps test processes from starting servers at the same moment, so "no jackd runs" still holds
// when the registry goes.
bool JackServer::start(int rate, int period, int playbackPorts, int capturePorts) {
  stop();
  const int lock = open("/tmp/vltest-jackserver.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
  if (lock >= 0) flock(lock, LOCK_EX);
  bool up = false;
  for (int round = 0; round < 2 && !up; ++round) {
    // A name whose server is alive, or a registry without room, makes jackd exit at once.
    bool exitedEarly = true;
    for (int k = 0; k < kNamePool && !up && exitedEarly; ++k) {
      const std::string name = "vltest" + std::to_string(k);
      if (serverAnswers(name)) continue;  // another test's server: its answer would look like ours
      up = launch(name, rate, period, playbackPorts, capturePorts, &exitedEarly);
    }
    if (up || !exitedEarly || anyJackdRunning()) break;
    unlink("/dev/shm/jack-shm-registry");
  }
  if (lock >= 0) close(lock);
  return up;
}

void JackServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill();
}

void JackServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vltest-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace testsupport
