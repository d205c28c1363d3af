// VLASIO's block path under the RealtimeSanitizer runtime (linked into this test by hand): every
// block runs inside __rtsan_realtime_enter/exit, where any allocation, lock or blocking call ends
// the process with a report. Each check runs in a child process (a death test), so the report of
// the deliberate violation does not end the whole test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "AsioTestHive.h"
#include "SimAsioDriver.h"
#include "audio/VLASIO.h"

extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

using namespace plat;
using namespace plat::asio;

namespace {

const char* kClsid = "{7D2E9B40-1C3A-4F58-9E6D-4A0B8C2F1E93}";

struct Callback {
  bool allocate = false;
  static bool process(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames, void* user) {
    for (uint32_t i = 0; i < frames; ++i) {
      out->left[i] = in->left[i] * 0.5f;
      out->right[i] = -in->right[i];
    }
    if (static_cast<Callback*>(user)->allocate) {
      int* volatile p = new int(1);
      delete p;
    }
    return true;
  }
};

// Streams `blocks` blocks through every sample type, each block in real-time context; exits 0.
void runBlocks(int blocks, bool allocate) {
  auto reg = registry::makeMemoryRegistry();
  com::Com com(*reg);
  asiotest::seedDriver(*reg, {"rtsan", kClsid, "RTSan Sim"});
  auto sim = std::make_shared<asiosim::SimAsioSetup>();
  const ASIOSampleType all[] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27};
  sim->inputTypes.assign(std::begin(all), std::end(all));
  sim->outputTypes.assign(std::begin(all), std::end(all));
  sim->preferredSize = 128;
  sim->recordOutput = false;
  com::CLSID id{};
  com::CLSIDFromString(kClsid, &id);
  com.registerClass(id, asiosim::simAsioFactory(sim));
  VLASIO host(*reg, com);
  host.devices[0]->leftChannel = 1;
  host.devices[0]->rightChannel = 12;
  host.devices[1]->leftChannel = 0;
  host.devices[1]->rightChannel = 17;
  Callback cb{allocate};
  if (!host.start(host.devices[0].get(), host.devices[1].get(), &Callback::process, &cb)) std::_Exit(3);
  asiosim::SimAsioDriver* driver = sim->driver;
  for (int i = 0; i < blocks; ++i) {
    __rtsan_realtime_enter();
    bool ran = driver->tick();
    __rtsan_realtime_exit();
    if (!ran) std::_Exit(4);
  }
  host.stop();
  std::_Exit(0);
}

TEST(AsioRtsan, BlockPathIsRealtimeSafe) {
  EXPECT_EXIT(runBlocks(10000, false), ::testing::ExitedWithCode(0), "");
}

// The check is armed: the same path with an allocating callback is reported.
TEST(AsioRtsan, AnAllocationInTheBlockIsReported) {
  EXPECT_EXIT(runBlocks(10, true), ::testing::ExitedWithCode(1), "Real-time violation");
}

}  // namespace
