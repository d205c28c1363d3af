// The control side replaces and frees the player and recorder arrays while the audio thread runs
// blocks. Run under AddressSanitizer, a block that touched a freed or half-replaced array would be
// reported; under ThreadSanitizer, a write the block cycle can see unordered.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audiofile/Fixtures.h"
#include "engine/EngineRig.h"

using enginetest::Rig;
using fixtures::Bytes;

namespace {

Bytes wav16(uint32_t rate, uint32_t frames, int16_t value) {
  Bytes samples;
  for (uint32_t i = 0; i < frames; ++i)
    samples.le16(static_cast<uint16_t>(value)).le16(static_cast<uint16_t>(-value));
  return fixtures::riff({fixtures::wavFmt(1, 2, rate, 4, 16), fixtures::chunk("data", samples)});
}

TEST(PlayerStress, LoadsStartsAndArmsWhileBlocksRun) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver(48000, true, 256));
  fixtures::TempDir dir;
  const std::string files[] = {dir.write("short.wav", wav16(44100, 300, 1000)),
                               dir.write("long.wav", wav16(48000, 5000, 2000)),
                               dir.write("bad.wav", Bytes().str("RIFF"))};

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> blocks{0};
  std::thread audio([&] {
    while (!stop.load()) {
      rig.block(64);
      blocks.fetch_add(1);
    }
  });
  // Lets a couple of blocks run in the state just set up (bounded, in case the audio thread stalls).
  auto awaitBlocks = [&] {
    const uint64_t target = blocks.load() + 2;
    for (int spin = 0; spin < 1'000'000 && blocks.load() < target; ++spin) std::this_thread::yield();
  };
  VLVSTHostInterface& e = *rig.engine;
  for (int i = 0; i < 300; ++i) {
    e.loadPlayerFile(files[i % 3].c_str());
    e.setPlayerState(1 + i % 2, i % 4 < 2);
    e.armRecorder(1, 64 + (i % 7) * 100);
    awaitBlocks();
    e.loadPlayerFile(files[(i + 1) % 3].c_str());  // while playing: the state comes back afterwards
    e.setPlayerState(1, true);
    e.startPlayerAndRecorder = (i % 5 == 0);
    awaitBlocks();
    e.armRecorder(0, 0);
    e.releaseRecorderBuffers();
    if (i % 3 == 0) {
      e.setPlayerState(0, false);
      e.releasePlayerBuffers();
    }
  }
  stop = true;
  audio.join();
  EXPECT_GE(blocks.load(), 600u);
}

}  // namespace
