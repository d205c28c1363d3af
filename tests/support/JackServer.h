#pragma once
// A JACK server with the dummy backend, started by a test under a name no running server has
// (from a small pool, see JackServer.cpp) and stopped by its process id. Clients reach it by setting
// JACK_DEFAULT_SERVER to `name()` (the fixture does that for the whole test process while the server runs) or
// by passing the name when they open.
#include <sys/types.h>

#include <string>

namespace testsupport {

class JackServer {
 public:
  ~JackServer() { stop(); }
  // Starts `jackd -R -d dummy -r rate -p period` and waits until it accepts clients (at most
  // ~10 s). False when jackd is missing or does not come up.
  bool start(int rate = 48000, int period = 256, int playbackPorts = 2, int capturePorts = 2);
  // SIGTERM, then waits; SIGKILL after 5 s.
  void stop();
  // SIGKILL without waiting for a clean exit (for crash tests); reaps the process.
  void kill();
  bool running() const { return pid_ > 0; }
  const std::string& name() const { return name_; }

 private:
  bool launch(const std::string& name, int rate, int period, int playbackPorts, int capturePorts,
              bool* exitedEarly);
  pid_t pid_ = -1;
  std::string name_;
};

// A fresh temporary folder, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testsupport
