// VLASIO's block path under the allocation and lock counter, driven block by block by the
// simulated driver on the test's thread, with a channel of every convertible sample type.
#include <gtest/gtest.h>

#include <memory>

#include "AsioTestHive.h"
#include "SimAsioDriver.h"
#include "audio/VLASIO.h"
#include "support/RtCounter.h"

using namespace plat;
using namespace plat::asio;

namespace {

const char* kClsid = "{0C4F7A22-61B3-4E9D-8A5C-2B7D9E1F3A60}";

struct Gain {
  bool allocate = false;
  static bool callback(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames, void* user) {
    for (uint32_t i = 0; i < frames; ++i) {
      out->left[i] = in->left[i] * 0.5f;
      out->right[i] = in->right[i] * 0.5f;
    }
    if (static_cast<Gain*>(user)->allocate) {
      int* volatile p = new int(3);
      delete p;
    }
    return true;
  }
};

TEST(AsioRealtime, BufferSwitchNeitherAllocatesNorLocks) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  auto reg = registry::makeMemoryRegistry();
  com::Com com(*reg);
  asiotest::seedDriver(*reg, {"rt", kClsid, "RT Sim"});
  auto sim = std::make_shared<asiosim::SimAsioSetup>();
  const ASIOSampleType all[] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27};
  sim->inputTypes.assign(std::begin(all), std::end(all));
  sim->outputTypes.assign(std::begin(all), std::end(all));
  sim->preferredSize = 256;
  sim->recordOutput = false;
  com::CLSID id{};
  com::CLSIDFromString(kClsid, &id);
  com.registerClass(id, asiosim::simAsioFactory(sim));
  VLASIO host(*reg, com);
  AudioDeviceInfo* in = host.devices[0].get();
  AudioDeviceInfo* out = host.devices[1].get();
  in->leftChannel = 1;   // Int24MSB
  in->rightChannel = 9;  // Int16LSB
  out->leftChannel = 4;  // Float64MSB
  out->rightChannel = 17;
  Gain gain;
  ASSERT_TRUE(host.start(in, out, &Gain::callback, &gain));
  asiosim::SimAsioDriver* driver = sim->driver;
  rt::resetCounts();
  {
    rt::Scope armed;
    for (int i = 0; i < 10000; ++i) ASSERT_TRUE(driver->tick());
  }
  rt::Counts c = rt::counts();
  EXPECT_EQ(c.allocations, 0u);
  EXPECT_EQ(c.frees, 0u);
  EXPECT_EQ(c.locks, 0u);
  EXPECT_EQ(sim->blocks, 10000);
  // The counter is armed: the same loop with a callback that allocates is caught.
  gain.allocate = true;
  rt::resetCounts();
  {
    rt::Scope armed;
    ASSERT_TRUE(driver->tick());
  }
  EXPECT_GE(rt::counts().allocations, 1u);
  host.stop();
}

}  // namespace
