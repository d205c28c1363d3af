#include "support/JackServer.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace testsupport {

namespace {
std::atomic<int> serial{0};

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

bool JackServer::start(int rate, int period, int playbackPorts, int capturePorts) {
  stop();
  name_ = "vltest" + std::to_string(getpid()) + "_" + std::to_string(serial++);
  std::string r = std::to_string(rate), p = std::to_string(period);
  std::string pb = std::to_string(playbackPorts), cp = std::to_string(capturePorts);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setenv("JACK_NO_START_SERVER", "1", 1);
    // Keep the test's output readable: the server talks a lot.
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execlp("jackd", "jackd", "-n", name_.c_str(), "-R", "-d", "dummy", "-r", r.c_str(), "-p", p.c_str(), "-P",
           pb.c_str(), "-C", cp.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (serverAnswers(name_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop();
  return false;
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
