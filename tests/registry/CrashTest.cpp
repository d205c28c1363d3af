// A writer process killed at random moments while it rewrites a large hive.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "registry/CrashLayout.h"
#include "registry/RegistryFixture.h"
#include "registry/WriterProcess.h"

using namespace regtest;

namespace {

TEST(RegistryCrash, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewHive) {
  testsupport::TempDir dir;
  const std::string hive = dir.file("user.reg");
  const int keys = 40, values = 40;  // about 150 kB of text per generation
  unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  DWORD last = 0;
  const int kills = 200;
  for (int i = 0; i < kills; ++i) {
    // Let the writer store two rewrites, timing the second, then kill it at a random moment of
    // the third: in the middle of building, writing, syncing or renaming the file.
    int output = -1;
    pid_t pid = spawnWriter({"rewrite", hive, std::to_string(keys), std::to_string(values)}, &output);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(awaitRewrite(output));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(awaitRewrite(output));
    auto oneRewrite =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, oneRewrite.count())(rng)));
    ::kill(pid, SIGKILL);
    ::close(output);
    ASSERT_EQ(waitExit(pid), -SIGKILL) << "the writer stopped on its own";
    std::string text = readFile(hive);
    Hive parsed;
    std::string error;
    ASSERT_TRUE(parseHive(text, kUserRoots, &parsed, &error))
        << error << " after kill " << i << " (seed " << seed << ")";
    const HiveKey* crash = parsed.root(HiveRoot::CurrentUser).child("Crash");
    ASSERT_NE(crash, nullptr);
    const HiveValue* g = crash->value("generation");
    ASSERT_NE(g, nullptr);
    DWORD generation = uint8_t(g->bytes[0]) | uint8_t(g->bytes[1]) << 8 | uint8_t(g->bytes[2]) << 16 |
                       DWORD(uint8_t(g->bytes[3])) << 24;
    ASSERT_GE(generation, last + 2) << "stored rewrites were lost by kill " << i;
    Hive whole;
    crashlayout::expected(whole, generation, keys, values);
    ASSERT_TRUE(parsed.equals(whole)) << "generation " << generation << " is not whole after kill " << i;
    last = generation;
  }
  int temporaries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().starts_with(".user.reg.tmp-")) ++temporaries;
  }
  EXPECT_LE(temporaries, 1) << "leftovers of killed writers pile up";
}

}  // namespace
