// The same workload as the counting test, under the RealtimeSanitizer runtime (linked into this
// test by hand): the audio thread runs its blocks in real-time context, where any allocation,
// free, lock or blocking call ends the process with a report. The probe's process routine stays
// inside the check on purpose: it calls back into the host (time info, tempo requests, MIDI out)
// and is itself free of such calls, so what it triggers in the host is checked too. Each run is a
// child process (a death test), so the report of the deliberate violation ends only that child.
#include <gtest/gtest.h>

#include <cstdlib>

#include "RealtimeWorkload.h"

extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

using namespace enginetest;

namespace {

struct RealtimeContext {
  RealtimeContext() { __rtsan_realtime_enter(); }
  ~RealtimeContext() { __rtsan_realtime_exit(); }
};

// Real-time context that also allocates once, to show the check is armed in this program.
struct AllocatingRealtimeContext : RealtimeContext {
  AllocatingRealtimeContext() {
    int* volatile p = new int(1);
    delete p;
  }
};

template <class Scope>
void runAndExit(int blocks) {
  std::_Exit(runEverythingWorkload<Scope>(blocks).everythingRan(blocks) ? 0 : 5);
}

TEST(EngineRtsan, HundredThousandBlocksWithEverythingRunningAreRealtimeSafe) {
  EXPECT_EXIT(runAndExit<RealtimeContext>(100'000), ::testing::ExitedWithCode(0), "");
}

TEST(EngineRtsan, AnAllocationOnTheAudioThreadIsReported) {
  EXPECT_EXIT(runAndExit<AllocatingRealtimeContext>(1000), ::testing::ExitedWithCode(1),
              "Real-time violation");
}

}  // namespace
