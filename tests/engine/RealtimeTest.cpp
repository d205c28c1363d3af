// Real-time safety of the block cycle, proved by counting: while the audio thread is armed, every
// allocation, free and mutex lock it makes is counted. The probe's own process routine allocates
// and locks nothing, so every count would be the engine's.
#include <gtest/gtest.h>

#include "RealtimeWorkload.h"
#include "support/RtCounter.h"

using namespace enginetest;

TEST(EngineRealtime, HundredThousandBlocksWithEverythingRunningAllocateAndLockNothing) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  constexpr int kBlocks = 100'000;
  const WorkloadOutcome outcome = runEverythingWorkload<rt::Scope>(kBlocks);

  const rt::Counts counts = rt::counts();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);
  EXPECT_FALSE(outcome.audioFailed);
  // Everything did run.
  EXPECT_EQ(outcome.playerState, 1);
  EXPECT_EQ(outcome.recorderFill, 1'000'000u);
  EXPECT_GT(outcome.processEventsCalls, 1000u);
  EXPECT_GT(outcome.midiReceived, uint32_t(kBlocks / 2));
  EXPECT_GT(outcome.playerPlayed, 1'000'000u);
  EXPECT_GT(outcome.rounds, 150);
  EXPECT_NE(outcome.tempo, 120.0);
}
