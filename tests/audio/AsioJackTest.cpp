// The JACK-backed ASIO driver against a real server (jackd with the dummy backend, started by each
// test under its own name). The host finds the driver through the build tree's machine hive and
// the COM layer, exactly as the program does.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/VLASIO.h"
#include "platform/asio/Asio.h"
#include "platform/com/Com.h"
#include "platform/registry/Registry.h"
#include "support/JackServer.h"
#include "support/RtCounter.h"

using namespace plat;
using namespace std::chrono_literals;

namespace {

const char* kDriver = "Vellumar JACK";

// The test signal: a code of the JACK frame time, exact in float and never zero, negated on the
// second channel. decode(encode(t)) = t mod 4096.
float encode(uint32_t frameTime, int channel) {
  float v = float((frameTime % 4096u) + 1u) / 8192.0f;
  return channel == 0 ? v : -v;
}
int decode(float v) {
  return int(std::lround(std::fabs(v) * 8192.0f)) - 1;
}

// A plain JACK client of the test: either a feeder (output ports carrying the signal) or a
// recorder (input ports; the samples with their frame times are kept in preallocated arrays).
class TestClient {
 public:
  static constexpr size_t kCapacity = 1 << 20;
  TestClient(const char* name, bool feeder) : feeder_(feeder) {
    client_ = jack_client_open(name, JackNoStartServer, nullptr);
    if (!client_) return;
    for (int c = 0; c < 2; ++c) {
      std::string port = (feeder ? "out_" : "in_") + std::to_string(c + 1);
      ports_[c] = jack_port_register(client_, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                     feeder ? JackPortIsOutput : JackPortIsInput, 0);
      samples_[c].resize(kCapacity);
    }
    times_.resize(kCapacity);
    jack_set_process_callback(client_, &TestClient::process, this);
  }
  ~TestClient() {
    if (client_) jack_client_close(client_);
  }
  bool ok() const { return client_ && ports_[0] && ports_[1]; }
  bool activate() { return jack_activate(client_) == 0; }
  bool connect(const std::string& from, const std::string& to) {
    return jack_connect(client_, from.c_str(), to.c_str()) == 0;
  }
  bool disconnect(const std::string& from, const std::string& to) {
    return jack_disconnect(client_, from.c_str(), to.c_str()) == 0;
  }
  std::string port(int c) const { return jack_port_name(ports_[c]); }
  size_t recorded() const { return count_.load(); }
  float sample(int c, size_t i) const { return samples_[c][i]; }
  uint32_t time(size_t i) const { return times_[i]; }
  void setBufferSize(jack_nframes_t n) { jack_set_buffer_size(client_, n); }
  // A feeder writes silence while paused, so that ports connected one after the other never carry
  // the signal on one channel only.
  void pause(bool paused) { paused_.store(paused); }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<TestClient*>(arg);
    uint32_t t0 = jack_last_frame_time(self->client_);
    const bool paused = self->paused_.load();
    for (int c = 0; c < 2; ++c) {
      auto* buf = static_cast<float*>(jack_port_get_buffer(self->ports_[c], frames));
      if (self->feeder_) {
        for (jack_nframes_t i = 0; i < frames; ++i) buf[i] = paused ? 0.0f : encode(t0 + i, c);
      } else {
        size_t at = self->count_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < frames && at + i < kCapacity; ++i) {
          self->samples_[c][at + i] = buf[i];
          if (c == 0) self->times_[at + i] = t0 + i;
        }
      }
    }
    if (!self->feeder_) self->count_.store(std::min(kCapacity, self->count_.load() + frames));
    return 0;
  }
  jack_client_t* client_ = nullptr;
  bool feeder_;
  jack_port_t* ports_[2] = {nullptr, nullptr};
  std::vector<float> samples_[2];
  std::vector<uint32_t> times_;
  std::atomic<size_t> count_{0};
  std::atomic<bool> paused_{false};
};

// What the host's passthrough callback saw.
struct Passthrough {
  std::atomic<int64_t> blocks{0};
  std::atomic<int64_t> wrongSize{0};
  uint32_t expected = 0;
  std::atomic<bool> arm{false};
  std::atomic<bool> allocateOnce{false};  // proves that the counting sees this thread
  static bool callback(ChannelBufferPair*, ChannelBufferPair*, uint32_t frames, void* user) {
    auto* p = static_cast<Passthrough*>(user);
    if (p->arm.load(std::memory_order_relaxed) && !rt::thisThreadArmed()) rt::armThisThread(true);
    if (p->allocateOnce.exchange(false)) {
      int* volatile leak = new int(1);
      delete leak;
    }
    if (frames != p->expected) p->wrongSize.fetch_add(1, std::memory_order_relaxed);
    p->blocks.fetch_add(1, std::memory_order_relaxed);
    return true;  // the pair is processed in place: input passes through unchanged
  }
};

// jack_iodelay run as a child process: it sends a test signal from "jack_delay:out" and measures
// the round trip back at "jack_delay:in". `measure` returns the delay in frames once three readings
// in a row agree (the first readings settle), or -1.
class IoDelay {
 public:
  ~IoDelay() { stop(); }
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      execlp("stdbuf", "stdbuf", "-oL", "jack_iodelay", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    return pid_ > 0;
  }
  double measure(std::chrono::seconds limit) {
    std::string pending;
    double last = -1;
    int agreeing = 0;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[512];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return -1;
      pending.append(buf, size_t(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        double frames = 0;
        if (line.find("total roundtrip latency") == std::string::npos ||
            std::sscanf(line.c_str(), "%lf", &frames) != 1)
          continue;
        agreeing = frames == last ? agreeing + 1 : 1;
        last = frames;
        if (agreeing >= 3) return frames;
      }
    }
    return -1;
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (fd_ >= 0) close(std::exchange(fd_, -1));
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class AsioJackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry::FileRegistryOptions options;
    options.userHivePath = dir.file("user.reg");
    options.machineHivePaths[0] = VL_BUILD_MACHINE_HIVE;
    reg = registry::openFileRegistry(options);
    com = std::make_unique<com::Com>(*reg);
  }
  void TearDown() override {
    host.reset();
    com.reset();
  }
  // The host with the JACK driver's two records, or null records when the hive lacks it.
  void makeHost() {
    host = std::make_unique<VLASIO>(*reg, *com);
    for (auto& r : host->devices)
      if (r->name == kDriver) (r->isInput ? in : out) = r.get();
  }
  bool startHost(Passthrough& p) { return host->start(in, out, &Passthrough::callback, &p); }

  testsupport::TempDir dir;
  testsupport::JackServer server;
  std::unique_ptr<registry::Registry> reg;
  std::unique_ptr<com::Com> com;
  std::unique_ptr<VLASIO> host;
  AudioDeviceInfo* in = nullptr;
  AudioDeviceInfo* out = nullptr;
};

// How the recorded signal relates to the fed one, from every nonzero recorded sample. Both test
// clients stamp their blocks with jack_last_frame_time, which a callback that starts late (the
// machine is shared, other servers run real-time threads too) reads from a later cycle: such a
// block shows up whole at another multiple of the period. So the lag is the one most samples have;
// samples at other multiples of the period are counted apart, and anything else (a wrong value,
// channels out of step, a lag that is not a whole number of periods) makes the lag -1.
struct Lag {
  int lag = -1;          // -1: the signal is wrong, or nothing arrived
  size_t matched = 0;    // samples at `lag`
  size_t otherwise = 0;  // samples at another multiple of the period
};
Lag lagOf(const TestClient& rec, uint32_t period) {
  std::map<int, size_t> lags;
  for (size_t i = 0; i < rec.recorded(); ++i) {
    float l = rec.sample(0, i), r = rec.sample(1, i);
    if (l == 0.0f && r == 0.0f) continue;
    int d = decode(l);
    int thisLag = int((rec.time(i) - uint32_t(d)) % 4096u);
    if (r != -l || l != encode(uint32_t(d), 0) || uint32_t(thisLag) % period != 0) return {};
    ++lags[thisLag];
  }
  Lag result;
  for (auto [lag, count] : lags)
    if (count > result.matched) result = {lag, count, 0};
  for (auto [lag, count] : lags)
    if (lag != result.lag) result.otherwise += count;
  return result;
}

TEST_F(AsioJackTest, PassthroughIsSampleExactWithoutAddedLatency) {
  ASSERT_TRUE(server.start(48000, 256, 3, 4)) << "jackd did not come up";
  makeHost();
  ASSERT_NE(out, nullptr) << "the build's machine hive does not list " << kDriver;
  ASSERT_TRUE(host->open(in, true));
  ASSERT_TRUE(host->open(out, true));
  EXPECT_EQ(in->channelNames, (std::vector<std::string>{"system:capture_1", "system:capture_2",
                                                        "system:capture_3", "system:capture_4"}));
  EXPECT_EQ(out->channelNames,
            (std::vector<std::string>{"system:playback_1", "system:playback_2", "system:playback_3"}));
  EXPECT_EQ(in->sampleRate, 48000.0);
  EXPECT_EQ(out->bufferSize, 256);
  EXPECT_EQ(out->channelCount, 3);

  TestClient feeder("vltest feeder", true), recorder("vltest recorder", false);
  ASSERT_TRUE(feeder.ok() && recorder.ok());
  ASSERT_TRUE(feeder.activate() && recorder.activate());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Passthrough p;
    p.expected = 256;
    ASSERT_TRUE(startHost(p));
    // The driver's ports exist while its client lives; wire the test's clients to them.
    feeder.pause(true);
    for (int c = 0; c < 2; ++c) {
      feeder.connect(feeder.port(c), std::string("Vellumar ASIO:in_") + std::to_string(c + 1));
      recorder.connect(std::string("Vellumar ASIO:out_") + std::to_string(c + 1), recorder.port(c));
    }
    feeder.pause(false);
    size_t before = recorder.recorded();
    ASSERT_TRUE(waitFor([&] { return p.blocks >= 100 && recorder.recorded() > before + 256 * 60; }, 20s));
    host->stop();
    EXPECT_FALSE(host->streaming);
    int64_t blocks = p.blocks;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(p.blocks, blocks) << "no block after stop";
    EXPECT_EQ(p.wrongSize, 0);
    // Feeder -> host -> recorder run in one JACK cycle: the host hands back the cycle's own input.
    const Lag lag = lagOf(recorder, 256);
    EXPECT_EQ(lag.lag, 0);
    EXPECT_GT(lag.matched, 256u * 50);
    EXPECT_LE(lag.otherwise, lag.matched / 10) << "too many blocks off by whole periods";
  }
}

// The driver's process callback and VLASIO's buffer switch allocate nothing and lock nothing.
TEST_F(AsioJackTest, AudioThreadNeitherAllocatesNorLocks) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  ASSERT_TRUE(server.start(48000, 64, 2, 2));
  makeHost();
  ASSERT_NE(out, nullptr);
  Passthrough p;
  p.expected = 64;
  p.arm = true;
  ASSERT_TRUE(startHost(p));
  // The first blocks arm the driver's thread; count from then on.
  ASSERT_TRUE(waitFor([&] { return p.blocks >= 10; }, 10s));
  rt::resetCounts();
  int64_t first = p.blocks;
  ASSERT_TRUE(waitFor([&] { return p.blocks >= first + 10000; }, 60s));
  rt::Counts c = rt::counts();
  EXPECT_EQ(c.allocations, 0u);
  EXPECT_EQ(c.frees, 0u);
  EXPECT_EQ(c.locks, 0u);
  // The same thread allocating on purpose is seen, so the zero above is a measurement.
  p.allocateOnce = true;
  ASSERT_TRUE(waitFor([&] { return !p.allocateOnce; }, 5s));
  EXPECT_GE(rt::counts().allocations, 1u);
  host->stop();
  EXPECT_EQ(p.wrongSize, 0);
}

// jack_iodelay reads the same round trip through the host (passthrough) as through its own loop:
// the driver adds no latency.
TEST_F(AsioJackTest, IoDelayThroughTheHostEqualsItsSelfLoop) {
  ASSERT_TRUE(server.start(48000, 256, 2, 2));
  TestClient wiring("vltest wiring", false);
  ASSERT_TRUE(wiring.ok() && wiring.activate());
  IoDelay iodelay;
  ASSERT_TRUE(iodelay.start());
  ASSERT_TRUE(waitFor([&] { return wiring.connect("jack_delay:out", "jack_delay:in"); }, 10s));
  double selfLoop = iodelay.measure(20s);
  ASSERT_GT(selfLoop, 0) << "jack_iodelay gave no stable reading";
  ASSERT_TRUE(wiring.disconnect("jack_delay:out", "jack_delay:in"));

  makeHost();
  ASSERT_NE(out, nullptr);
  Passthrough p;
  p.expected = 256;
  ASSERT_TRUE(startHost(p));
  ASSERT_TRUE(wiring.connect("jack_delay:out", "Vellumar ASIO:in_1"));
  ASSERT_TRUE(wiring.connect("Vellumar ASIO:out_1", "jack_delay:in"));
  double throughHost = iodelay.measure(20s);
  host->stop();
  EXPECT_EQ(throughHost, selfLoop);
}

// Killing the server mid-stream: no crash, no hang; stop returns; a new server streams again.
TEST_F(AsioJackTest, ServerKilledWhileStreaming) {
  ASSERT_TRUE(server.start(48000, 256, 2, 2));
  makeHost();
  ASSERT_NE(out, nullptr);
  Passthrough p;
  p.expected = 256;
  ASSERT_TRUE(startHost(p));
  ASSERT_TRUE(waitFor([&] { return p.blocks >= 20; }, 10s));
  server.kill();
  std::this_thread::sleep_for(300ms);
  auto stopped = std::async(std::launch::async, [&] { host->stop(); });
  ASSERT_EQ(stopped.wait_for(15s), std::future_status::ready) << "stop hung after the server died";
  EXPECT_FALSE(host->streaming);

  ASSERT_TRUE(server.start(48000, 128, 2, 2));
  Passthrough again;
  again.expected = 128;
  in->infoValid = out->infoValid = false;
  ASSERT_TRUE(host->open(out, true));
  EXPECT_EQ(out->bufferSize, 128);
  ASSERT_TRUE(startHost(again));
  EXPECT_TRUE(waitFor([&] { return again.blocks >= 50; }, 10s));
  host->stop();
  EXPECT_EQ(again.wrongSize, 0);
}

TEST_F(AsioJackTest, NoServerMeansNoDevice) {
  makeHost();
  ASSERT_NE(out, nullptr);
  setenv("JACK_DEFAULT_SERVER", "vltest-nonexistent-server", 1);
  EXPECT_FALSE(host->open(out, true));
  EXPECT_FALSE(out->infoValid);
  Passthrough p;
  EXPECT_FALSE(startHost(p));
}

// The driver on its own, with callbacks of the test: reset requests, silence for unfilled blocks,
// at least two channels per direction.
struct DriverHost {
  static inline std::atomic<int> resets{0};
  static inline std::atomic<int> blocks{0};
  static inline std::atomic<bool> skipOutputReady{false};
  static inline asio::IASIO* driver = nullptr;
  static inline asio::ASIOBufferInfo infos[4];
  static void bufferSwitch(int32_t index, asio::ASIOBool) {
    for (int k = 2; k < 4; ++k) {
      auto* o = static_cast<float*>(infos[k].buffers[index]);
      for (int i = 0; i < 64; ++i) o[i] = 0.5f;
    }
    ++blocks;
    if (!skipOutputReady) driver->outputReady();
  }
  static void rateChanged(double) {}
  static int32_t message(int32_t selector, int32_t value, void*, double*) {
    if (selector == asio::kAsioSelectorSupported) return value == asio::kAsioResetRequest ? 1 : 0;
    if (selector == asio::kAsioResetRequest) ++resets;
    return selector == asio::kAsioResetRequest ? 1 : 0;
  }
};

TEST_F(AsioJackTest, DriverReportsResetsAndSilencesUnfinishedBlocks) {
  ASSERT_TRUE(server.start(48000, 64, 1, 1));
  com::CLSID clsid{};
  ASSERT_EQ(com::CLSIDFromString("{5E7B4C1A-9D2F-4E63-A8B0-3C6D1F2E4A57}", &clsid), com::S_OK);
  void* object = nullptr;
  ASSERT_EQ(com->CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, clsid, &object), com::S_OK);
  auto* d = static_cast<asio::IASIO*>(object);
  DriverHost::driver = d;
  ASSERT_TRUE(d->init(nullptr));
  int32_t ins = 0, outs = 0;
  ASSERT_EQ(d->getChannels(&ins, &outs), asio::ASE_OK);
  EXPECT_EQ(ins, 2);  // one physical port each, still two channels
  EXPECT_EQ(outs, 2);
  asio::ASIOChannelInfo info{};
  info.channel = 1;
  info.isInput = asio::ASIOFalse;
  ASSERT_EQ(d->getChannelInfo(&info), asio::ASE_OK);
  EXPECT_EQ(info.type, asio::ASIOSTFloat32LSB);
  EXPECT_STREQ(info.name, "out_2");
  int32_t mn, mx, pref, gran;
  ASSERT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), asio::ASE_OK);
  EXPECT_EQ(mn, 64);
  EXPECT_EQ(mx, 64);
  EXPECT_EQ(pref, 64);
  asio::ASIOCallbacks cb{&DriverHost::bufferSwitch, &DriverHost::rateChanged, &DriverHost::message, nullptr};
  for (int k = 0; k < 4; ++k)
    DriverHost::infos[k] = {k < 2 ? asio::ASIOTrue : asio::ASIOFalse, k % 2, {nullptr, nullptr}};
  EXPECT_EQ(d->createBuffers(DriverHost::infos, 4, 128, &cb),
            asio::ASE_InvalidMode);  // only the server's size
  ASSERT_EQ(d->createBuffers(DriverHost::infos, 4, 64, &cb), asio::ASE_OK);

  TestClient recorder("vltest recorder", false);
  ASSERT_TRUE(recorder.ok() && recorder.activate());
  ASSERT_EQ(d->start(), asio::ASE_OK);
  recorder.connect("Vellumar ASIO:out_1", recorder.port(0));
  ASSERT_TRUE(waitFor(
      [&] { return recorder.recorded() > 64 * 20 && recorder.sample(0, recorder.recorded() - 1) == 0.5f; },
      10s));
  DriverHost::skipOutputReady = true;
  size_t from = recorder.recorded();
  ASSERT_TRUE(waitFor([&] { return recorder.recorded() > from + 64 * 20; }, 10s));
  EXPECT_EQ(recorder.sample(0, recorder.recorded() - 1), 0.0f) << "a block without outputReady plays silence";
  DriverHost::skipOutputReady = false;

  // A new server period: the host is asked to reset, and blocks of the wrong size do not reach it.
  recorder.setBufferSize(128);
  ASSERT_TRUE(waitFor([&] { return DriverHost::resets >= 1; }, 10s));
  int b = DriverHost::blocks;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(DriverHost::blocks, b);

  // The control panel is a JACK control program where one is installed, else a failure.
  const char* path = std::getenv("PATH");
  std::string savedPath = path ? path : "";
  setenv("PATH", dir.path().c_str(), 1);
  EXPECT_EQ(d->controlPanel(), asio::ASE_NotPresent);
  std::string marker = dir.file("panel-ran");
  std::string script = dir.file("qjackctl");
  FILE* f = std::fopen(script.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "#!/bin/sh\n/usr/bin/touch '%s'\n", marker.c_str());
  std::fclose(f);
  chmod(script.c_str(), 0755);
  EXPECT_EQ(d->controlPanel(), asio::ASE_OK);
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_TRUE(waitFor([&] { return access(marker.c_str(), F_OK) == 0; }, 5s));

  // The server goes away: another reset request; stop and release return.
  int before = DriverHost::resets;
  server.kill();
  EXPECT_TRUE(waitFor([&] { return DriverHost::resets > before; }, 10s));
  char error[124] = {};
  d->getErrorMessage(error);
  EXPECT_STREQ(error, "JACK server shut down");
  EXPECT_EQ(d->stop(), asio::ASE_OK);
  EXPECT_EQ(d->disposeBuffers(), asio::ASE_OK);
  d->Release();
}

}  // namespace
