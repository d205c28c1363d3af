// The file backing against other processes: a writer killed at random moments, and writers in two
// processes and several threads at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "registry/CrashLayout.h"
#include "registry/RegistryFixture.h"

extern char** environ;

using namespace regtest;

namespace {

pid_t spawnWriter(std::vector<std::string> args) {
  args.insert(args.begin(), VL_REGISTRY_WRITER);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, VL_REGISTRY_WRITER, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(RegistryCrash, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewHive) {
  testsupport::TempDir dir;
  const std::string hive = dir.file("user.reg");
  const int keys = 40, values = 40;  // about 150 kB of text per generation
  unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delayUs(0, 25000);
  DWORD last = 0;
  int advanced = 0;
  const int kills = 200;
  for (int i = 0; i < kills; ++i) {
    pid_t pid = spawnWriter({"rewrite", hive, std::to_string(keys), std::to_string(values)});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(waitExit(pid), -SIGKILL) << "the writer stopped on its own";
    std::string text = readFile(hive);
    if (text.empty() && !std::filesystem::exists(hive)) {
      ASSERT_EQ(last, 0u) << "the hive vanished after kill " << i << " (seed " << seed << ")";
      continue;
    }
    Hive parsed;
    std::string error;
    ASSERT_TRUE(parseHive(text, kUserRoots, &parsed, &error)) << error << " after kill " << i << " (seed " << seed << ")";
    const HiveKey* crash = parsed.root(HiveRoot::CurrentUser).child("Crash");
    ASSERT_NE(crash, nullptr);
    const HiveValue* g = crash->value("generation");
    ASSERT_NE(g, nullptr);
    DWORD generation = uint8_t(g->bytes[0]) | uint8_t(g->bytes[1]) << 8 | uint8_t(g->bytes[2]) << 16 |
                       DWORD(uint8_t(g->bytes[3])) << 24;
    ASSERT_GE(generation, last) << "an older hive came back after kill " << i;
    Hive whole;
    crashlayout::expected(whole, generation, keys, values);
    ASSERT_TRUE(parsed.equals(whole)) << "generation " << generation << " is not whole after kill " << i;
    if (generation > last) ++advanced;
    last = generation;
  }
  // Most runs must have got as far as writing, or the kills tested nothing.
  EXPECT_GT(advanced, kills / 2) << "writes completed in only " << advanced << " of " << kills << " runs";
  int temporaries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().starts_with(".user.reg.tmp-")) ++temporaries;
  }
  EXPECT_LE(temporaries, 1) << "leftovers of killed writers pile up";
}

TEST(RegistryConcurrency, TwoProcessesAndSeveralThreadsLoseNoValue) {
  testsupport::TempDir dir;
  const std::string hive = dir.file("user.reg");
  const int threads = 3, count = 40;
  pid_t child = spawnWriter({"values", hive, "B", std::to_string(threads), std::to_string(count)});
  ASSERT_GT(child, 0);
  FileRegistryOptions o;
  o.userHivePath = hive;
  auto a = openFileRegistry(o);
  auto c = openFileRegistry(o);  // a second object in this process takes the file lock like a process
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      if (!crashlayout::writeOwnValues(*a, "A", t, count)) ++failures;
    });
  }
  workers.emplace_back([&] {
    if (!crashlayout::writeOwnValues(*c, "C", 0, count)) ++failures;
  });
  for (auto& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(waitExit(child), 0);

  auto check = openFileRegistry(o);
  HKEY shared = nullptr;
  ASSERT_EQ(check->openKey(HKEY_CURRENT_USER, "Shared", &shared), ERROR_SUCCESS);
  int lost = 0;
  for (const auto& [prefix, n] : {std::pair<const char*, int>{"A", threads}, {"B", threads}, {"C", 1}}) {
    for (int t = 0; t < n; ++t) {
      for (int i = 0; i < count; ++i) {
        Query q = query(*check, shared, crashlayout::ownName(prefix, t, i).c_str(), 4);
        if (q.status != ERROR_SUCCESS || q.buffer != dwordValue(DWORD(i))) {
          ++lost;
          ADD_FAILURE() << crashlayout::ownName(prefix, t, i) << " lost";
        }
      }
    }
  }
  EXPECT_EQ(lost, 0);
  check->closeKey(shared);
}

}  // namespace
