// Real third-party Linux VST 2 plug-ins (Debian's dpf-plugins-vst, installed by
// scripts/install-deps) under the wrapper, through the same path as the host's own plug-in: load,
// open, name, sample rate, block size, mains on, blocks of audio, mains off, close, unload.
// They run with a temporary HOME, since some plug-ins write files there, and with a display of
// their own (Xvfb): these plug-ins build their editor to answer effEditGetRect and crash without
// one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "plugin/VLVSTHostLib.h"
#include "support/JackServer.h"
#include "vst/Vst2.h"

namespace {

// An X server for this test process: Xvfb picks a free display and reports it (-displayfd).
class Xvfb {
 public:
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      if (fds[1] != 3) {
        dup2(fds[1], 3);
        close(fds[1]);
      }
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1280x1024x24",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      return false;
    }
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return false;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unsetenv("DISPLAY");
  }
  ~Xvfb() { stop(); }

 private:
  pid_t pid_ = -1;
};

constexpr float kSampleRate = 48000.0f;
constexpr uint32_t kBlock = 256;

class ThirdPartyPlugin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The host proper keeps the X and GL client libraries mapped for its whole run (its own
    // window uses them). Without that, the plug-in's dlclose unmaps them too and LeakSanitizer
    // reports their caches, whose only pointers lay in the unmapped data, as leaks.
    for (const char* library :
         {"libX11.so.6", "libXext.so.6", "libXrandr.so.2", "libXcursor.so.1", "libGL.so.1"})
      dlopen(library, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    ASSERT_TRUE(display_.start()) << "Xvfb did not start: run scripts/install-deps";
  }
  static void TearDownTestSuite() { display_.stop(); }
  void SetUp() override {
    const char* old = getenv("HOME");
    if (old) oldHome_ = old;
    setenv("HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (oldHome_.empty())
      unsetenv("HOME");
    else
      setenv("HOME", oldHome_.c_str(), 1);
  }

  // Loads, opens and starts the plug-in at `path`; returns its name.
  std::string start(VLVSTHostLib& lib, const char* path) {
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing: run scripts/install-deps";
    if (!lib.load(path, nullptr, nullptr, 0, false)) return {};
    ERect rect{};
    std::string name;
    EXPECT_TRUE(lib.openPlugin(rect, name));
    AEffect* e = lib.effect;
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, kSampleRate);
    e->dispatcher(e, effSetBlockSize, 0, kBlock, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    return name;
  }
  void stop(VLVSTHostLib& lib) {
    AEffect* e = lib.effect;
    e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    lib.closePlugin();
    EXPECT_EQ(lib.effect, nullptr);
    lib.unload();
    EXPECT_FALSE(lib.module.loaded());
  }

  static inline Xvfb display_;
  testsupport::TempDir home_;
  std::string oldHome_;
};

struct Level {
  bool finite = true;
  double rms = 0;
};

// Runs `blocks` blocks in place; `fill` prepares each block's input.
template <typename Fill>
Level run(VLVSTHostLib& lib, int blocks, Fill fill) {
  std::vector<float> left(kBlock), right(kBlock);
  ChannelBufferPair pair{left.data(), right.data()};
  Level level;
  double sum = 0;
  size_t count = 0;
  for (int b = 0; b < blocks; ++b) {
    fill(b, left, right);
    lib.process(pair, pair, kBlock);
    for (uint32_t n = 0; n < kBlock; ++n) {
      if (!std::isfinite(left[n]) || !std::isfinite(right[n])) level.finite = false;
      sum += double(left[n]) * left[n] + double(right[n]) * right[n];
      count += 2;
    }
  }
  level.rms = std::sqrt(sum / count);
  return level;
}

TEST_F(ThirdPartyPlugin, EffectProcessesASine) {
  VLVSTHostLib lib;
  const std::string name = start(lib, "/usr/lib/vst/3BandEQ-vst.so");
  ASSERT_NE(lib.effect, nullptr);
  EXPECT_EQ(name, "3 Band EQ");
  EXPECT_FALSE(lib.isSynth());
  EXPECT_EQ(lib.effect->numInputs, 2);
  EXPECT_EQ(lib.effect->numOutputs, 2);
  Level level = run(lib, 50, [](int b, std::vector<float>& l, std::vector<float>& r) {
    for (uint32_t n = 0; n < kBlock; ++n) {
      const double t = double(b * kBlock + n) / kSampleRate;
      l[n] = r[n] = static_cast<float>(0.5 * std::sin(2 * M_PI * 440.0 * t));
    }
  });
  EXPECT_TRUE(level.finite);
  // A sine at 0.5 has an RMS of 0.35; the equaliser at its defaults passes it.
  EXPECT_GT(level.rms, 0.05) << name;
  stop(lib);
}

TEST_F(ThirdPartyPlugin, SynthPlaysANote) {
  VLVSTHostLib lib;
  const std::string name = start(lib, "/usr/lib/vst/Kars-vst.so");
  ASSERT_NE(lib.effect, nullptr);
  EXPECT_EQ(name, "Kars");
  EXPECT_TRUE(lib.isSynth());
  auto silence = [](int, std::vector<float>& l, std::vector<float>& r) {
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill(r.begin(), r.end(), 0.0f);
  };
  EXPECT_TRUE(run(lib, 4, silence).finite);

  VstMidiEvent note{kVstMidiType, sizeof(VstMidiEvent), 0, 0, 0, 0, {char(0x90), 60, 100, 0}, 0, 0, 0, 0};
  VstEventsN<2> events{1, 0, {reinterpret_cast<VstEvent*>(&note), nullptr}};
  lib.effect->dispatcher(lib.effect, effProcessEvents, 0, 0, events.asVstEvents(), 0.0f);
  Level level = run(lib, 20, silence);
  EXPECT_TRUE(level.finite);
  EXPECT_GT(level.rms, 0.001) << name;
  stop(lib);
}

}  // namespace
