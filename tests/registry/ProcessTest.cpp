// The file backing against other processes: a writer killed at random moments, and writers in two
// processes and several threads at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "registry/CrashLayout.h"
#include "registry/RegistryFixture.h"

extern char** environ;

using namespace regtest;

namespace {

// Starts the writer; with `output` its stdout goes into a pipe whose read end is stored there.
pid_t spawnWriter(std::vector<std::string> args, int* output = nullptr) {
  args.insert(args.begin(), VL_REGISTRY_WRITER);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) {
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  }
  pid_t pid = -1;
  int r = posix_spawn(&pid, VL_REGISTRY_WRITER, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    ::close(fds[1]);
    *output = fds[0];
  }
  return r == 0 ? pid : -1;
}

// Waits up to 30 s for one byte from the writer (one rewrite stored).
bool awaitRewrite(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return ::poll(&p, 1, 30000) == 1 && ::read(fd, &c, 1) == 1;
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
