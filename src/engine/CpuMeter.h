#pragma once
// The process's CPU load as a share of all processors' time: one fully busy core of four reads 25.
// A measurement samples the system and process times at most every 251 ms and compares them with
// the previous sample; in between it answers the last value. Not for the audio thread (reading
// the system times opens a file): the engine's worker thread takes the samples.
#include <atomic>
#include <cstdint>

namespace plat::clock {
class Clock;
}

class CpuMeter {
 public:
  explicit CpuMeter(plat::clock::Clock& clock) : clock_(clock) {}

  // The load in percent; -1 until two samples lie more than 250 ms apart. A caller that finds
  // another measurement running gets the last value at once.
  int16_t measure() noexcept;

  uint64_t lastSystemKernel = 0;  // 100 ns units, includes idle time
  uint64_t lastSystemUser = 0;
  uint64_t lastProcessKernel = 0;
  uint64_t lastProcessUser = 0;
  std::atomic<int16_t> lastPercent{-1};
  uint64_t lastTick = 0;  // ms of the last sample
  std::atomic<int32_t> inUse{0};

 private:
  plat::clock::Clock& clock_;
  // Whether a sample was taken; kept apart from lastTick because a tick count of 0 is a valid
  // reading on a clock that has just started.
  bool sampled_ = false;
};
