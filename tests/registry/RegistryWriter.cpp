// A writer process for the crash and concurrency tests of the file backing.
//   vl_registry_writer rewrite <hive> <keys> <values>
//       rewrites the whole layout of generation N+1, N+2, ... in one batch each, forever, and
//       writes one byte to stdout after each, so the test knows when the rewrites run.
//   vl_registry_writer values <hive> <prefix> <threads> <count>
//       threads each store their own values under "Shared", one write or a small batch at a time.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "registry/CrashLayout.h"

using namespace plat::registry;

namespace {

int rewrite(const std::string& hive, int keys, int values) {
  FileRegistryOptions o;
  o.userHivePath = hive;
  auto reg = openFileRegistry(o);
  DWORD generation = crashlayout::storedGeneration(*reg);
  for (;;) {
    ++generation;
    if (!crashlayout::write(*reg, generation, keys, values)) return 1;
    if (::write(1, "w", 1) != 1) return 1;
  }
}

int values(const std::string& hive, const std::string& prefix, int threads, int count) {
  FileRegistryOptions o;
  o.userHivePath = hive;
  auto reg = openFileRegistry(o);
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      if (!crashlayout::writeOwnValues(*reg, prefix, t, count)) ++failures;
    });
  }
  for (auto& w : workers) w.join();
  return failures.load() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv, argv + argc);
  if (argc == 5 && a[1] == "rewrite") return rewrite(a[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (argc == 6 && a[1] == "values") return values(a[2], a[3], std::atoi(argv[4]), std::atoi(argv[5]));
  std::fprintf(stderr,
               "usage: %s rewrite <hive> <keys> <values> | values <hive> <prefix> <threads> <count>\n",
               argv[0]);
  return 2;
}
