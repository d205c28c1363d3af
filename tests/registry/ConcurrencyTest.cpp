// Writers in two processes and several threads at once on one hive.
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
