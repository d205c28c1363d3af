#include "platform/clock/Clock.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace plat::clock {

int64_t SystemClock::performanceCounter() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

uint32_t SystemClock::tickCount() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1'000'000);
}

// /proc/stat's first line sums all CPUs in clock ticks (USER_HZ): user nice system idle iowait irq
// softirq steal. Kernel time as the meter wants it is system + idle + iowait + irq + softirq.
bool SystemClock::systemTimes(SystemTimes& out) noexcept {
  FILE* f = std::fopen("/proc/stat", "re");
  if (!f) return false;
  unsigned long long user = 0, nice = 0, sys = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &sys, &idle, &iowait,
                      &irq, &softirq, &steal);
  std::fclose(f);
  if (n < 4) return false;
  static const long hz = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
  const uint64_t unit = 10'000'000ull / uint64_t(hz);  // 100 ns units per tick
  out.idle = (idle + iowait) * unit;
  out.kernel = (sys + idle + iowait + irq + softirq) * unit;
  out.user = (user + nice + steal) * unit;
  return true;
}

bool SystemClock::processTimes(ProcessTimes& out) noexcept {
  rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) return false;
  auto to100ns = [](const timeval& tv) { return uint64_t(tv.tv_sec) * 10'000'000 + uint64_t(tv.tv_usec) * 10; };
  out.kernel = to100ns(ru.ru_stime);
  out.user = to100ns(ru.ru_utime);
  return true;
}

void SystemClock::sleepMs(uint32_t ms) noexcept {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1'000'000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

SystemClock& systemClock() {
  static SystemClock clock;
  return clock;
}

bool ManualClock::systemTimes(SystemTimes& out) noexcept {
  out.idle = sysIdle_.load();
  out.kernel = sysKernel_.load();
  out.user = sysUser_.load();
  return true;
}

bool ManualClock::processTimes(ProcessTimes& out) noexcept {
  out.kernel = procKernel_.load();
  out.user = procUser_.load();
  return true;
}

void ManualClock::setTimes(const SystemTimes& s, const ProcessTimes& p) {
  sysIdle_ = s.idle;
  sysKernel_ = s.kernel;
  sysUser_ = s.user;
  procKernel_ = p.kernel;
  procUser_ = p.user;
}

}  // namespace plat::clock
