#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/clock/Clock.h"
#include "platform/module/Module.h"
#include "platform/thread/Thread.h"
#include "support/RtCounter.h"

using namespace plat;

TEST(ModulePath, DerivationRule) {
  struct Case {
    const char* exe;
    const char* plugin;
  } cases[] = {
      {"C:\\Audio\\Synth.exe", "C:\\Audio\\Synth.dll"},
      {"C:\\x.exe\\Plugin.exe", "C:\\x.dll\\Plugin.exe"},  // only the first occurrence
      {"/opt/Synth/Synth", "/opt/Synth/Synth.so"},
      {"/opt/Synth/Synth.EXE", "/opt/Synth/Synth.EXE.so"},  // the rule is case-sensitive
      {"abc", "abc.so"},
      {"ab", ""},  // shorter than 3 characters: no module
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(module::pluginPathFor(c.exe), c.plugin) << c.exe;
}

TEST(ModulePath, ExecutablePathIsThisTest) {
  std::string self = module::executablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_NE(self.find("vl_platform_test"), std::string::npos) << self;
}

TEST(Module, LoadFailuresAreNull) {
  EXPECT_EQ(module::loadLibrary("/nonexistent/lib.so"), nullptr);
  EXPECT_EQ(module::loadLibrary(""), nullptr);
  EXPECT_EQ(module::findSymbol(nullptr, "main"), nullptr);
  module::freeLibrary(nullptr);
}

TEST(Module, LoadsASystemLibrary) {
  auto h = module::loadLibrary("libm.so.6");
  ASSERT_NE(h, nullptr);
  EXPECT_NE(module::findSymbol(h, "cos"), nullptr);
  EXPECT_EQ(module::findSymbol(h, "no_such_symbol_here"), nullptr);
  module::freeLibrary(h);
}

TEST(Clock, SystemClockIsMonotonicAndTimesAreSane) {
  auto& c = clock::systemClock();
  auto a = c.performanceCounter();
  c.sleepMs(5);
  auto b = c.performanceCounter();
  EXPECT_GE(b - a, 4'000'000);
  EXPECT_EQ(c.performanceFrequency(), 1'000'000'000);
  clock::SystemTimes s;
  clock::ProcessTimes p;
  ASSERT_TRUE(c.systemTimes(s));
  ASSERT_TRUE(c.processTimes(p));
  EXPECT_GE(s.kernel, s.idle);  // kernel time includes idle time
  EXPECT_GT(s.kernel + s.user, 0u);
}

TEST(Clock, ManualClockMovesOnlyWhenTold) {
  clock::ManualClock c;
  EXPECT_EQ(c.performanceCounter(), 0);
  c.advanceMs(20.8333);
  EXPECT_EQ(c.performanceCounter(), 20833);
  EXPECT_EQ(c.tickCount(), 20u);
  c.sleepMs(5);  // sleeping advances instead of blocking
  EXPECT_EQ(c.tickCount(), 25u);
  EXPECT_EQ(c.sleptMs.load(), 5u);
}

TEST(Thread, StartsJoinsAndReportsPriority) {
  std::atomic<int> ran{0};
  thread::Thread t;
  ASSERT_TRUE(t.start([&] { ran = 1; }, thread::Priority::TimeCritical));
  t.join();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_FALSE(t.joinable());
}

TEST(Thread, AutoResetEventReleasesOneWait) {
  thread::Event e;
  EXPECT_FALSE(e.wait(10));
  e.set();
  EXPECT_TRUE(e.wait(0));
  EXPECT_FALSE(e.wait(10));  // reset by the first wait
  thread::Thread t;
  t.start([&] { e.set(); });
  EXPECT_TRUE(e.wait(5000));
}

TEST(RtCounter, CountsOnlyArmedThreads) {
  if (!rt::available()) GTEST_SKIP() << "allocator belongs to the sanitizer";
  rt::resetCounts();
  auto* unarmed = new std::vector<int>(10);
  delete unarmed;
  EXPECT_EQ(rt::counts().total(), 0u);
  {
    rt::Scope armed;
    auto* v = new std::vector<int>(10);  // the vector and its array
    delete v;
  }
  EXPECT_GE(rt::counts().allocations, 2u);
  EXPECT_GE(rt::counts().frees, 2u);
}
