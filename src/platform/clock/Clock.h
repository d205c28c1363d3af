#pragma once
// The clock layer: the performance counter, the tick count, system and process CPU times and sleep,
// behind one interface so that tap tempo, MIDI clock and the CPU meter can run on a manual clock in
// tests. Every operation may be called from any thread; `performanceCounter` and `tickCount` are
// safe on the audio thread (no allocation, no lock, a vDSO clock read at most).
#include <atomic>
#include <cstdint>

namespace plat::clock {

// CPU times in 100 ns units, as the CPU meter expects them: kernel time includes idle time.
struct SystemTimes {
  uint64_t idle = 0;
  uint64_t kernel = 0;  // includes idle
  uint64_t user = 0;
};
struct ProcessTimes {
  uint64_t kernel = 0;
  uint64_t user = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // A monotonic counter and its ticks per second (the real clock counts nanoseconds).
  virtual int64_t performanceCounter() noexcept = 0;
  virtual int64_t performanceFrequency() noexcept = 0;
  // Milliseconds since an arbitrary start, wrapping at 2^32 like a 32-bit tick count.
  virtual uint32_t tickCount() noexcept = 0;
  virtual bool systemTimes(SystemTimes& out) noexcept = 0;
  virtual bool processTimes(ProcessTimes& out) noexcept = 0;
  virtual void sleepMs(uint32_t ms) noexcept = 0;
};

// The machine's clocks: CLOCK_MONOTONIC, /proc/stat and getrusage.
class SystemClock final : public Clock {
 public:
  int64_t performanceCounter() noexcept override;
  int64_t performanceFrequency() noexcept override { return 1'000'000'000; }
  uint32_t tickCount() noexcept override;
  bool systemTimes(SystemTimes& out) noexcept override;
  bool processTimes(ProcessTimes& out) noexcept override;
  void sleepMs(uint32_t ms) noexcept override;
};

// The process-wide system clock, for composition roots and code that has no clock injected.
SystemClock& systemClock();

// A clock that moves only when a test moves it. The counter runs at 1 MHz so that microsecond
// steps are exact. `sleepMs` advances the clock instead of blocking, so code that polls with
// sleeps finishes in no real time. All fields are atomics: a test thread may advance the clock
// while the code under test reads it.
class ManualClock final : public Clock {
 public:
  int64_t performanceCounter() noexcept override { return micros.load(); }
  int64_t performanceFrequency() noexcept override { return 1'000'000; }
  uint32_t tickCount() noexcept override { return static_cast<uint32_t>(micros.load() / 1000); }
  bool systemTimes(SystemTimes& out) noexcept override;
  bool processTimes(ProcessTimes& out) noexcept override;
  void sleepMs(uint32_t ms) noexcept override {
    micros.fetch_add(int64_t(ms) * 1000);
    sleptMs.fetch_add(ms);
  }

  void advanceMs(double ms) { micros.fetch_add(static_cast<int64_t>(ms * 1000.0 + (ms >= 0 ? 0.5 : -0.5))); }
  void advanceMicros(int64_t us) { micros.fetch_add(us); }
  // CPU times a test sets for the meter (100 ns units).
  void setTimes(const SystemTimes& s, const ProcessTimes& p);

  std::atomic<int64_t> micros{0};
  std::atomic<uint64_t> sleptMs{0};

 private:
  std::atomic<uint64_t> sysIdle_{0}, sysKernel_{0}, sysUser_{0}, procKernel_{0}, procUser_{0};
};

}  // namespace plat::clock
