#include "engine/CpuMeter.h"

#include "platform/clock/Clock.h"

int16_t CpuMeter::measure() noexcept {
  if (inUse.fetch_add(1) != 0) {
    inUse.fetch_sub(1);
    return lastPercent.load();
  }
  // The tick count wraps at 2^32 ms; the difference is taken in 32 bits so a wrap costs nothing.
  // A meter that never sampled samples now, whatever the tick count reads.
  if (sampled_ && static_cast<uint32_t>(clock_.tickCount() - static_cast<uint32_t>(lastTick)) <= 250) {
    inUse.fetch_sub(1);
    return lastPercent.load();
  }
  plat::clock::SystemTimes system;
  plat::clock::ProcessTimes process;
  if (!clock_.systemTimes(system) || !clock_.processTimes(process)) {
    inUse.fetch_sub(1);
    return lastPercent.load();
  }
  if (sampled_) {
    uint64_t systemDelta = (system.kernel - lastSystemKernel) + (system.user - lastSystemUser);
    if (systemDelta != 0) {
      double processDelta =
          static_cast<double>((process.kernel + process.user) - (lastProcessKernel + lastProcessUser));
      lastPercent.store(static_cast<int16_t>(processDelta * 100.0 / static_cast<double>(systemDelta)));
    }
  }
  lastSystemKernel = system.kernel;
  lastSystemUser = system.user;
  lastProcessKernel = process.kernel;
  lastProcessUser = process.user;
  lastTick = clock_.tickCount();
  sampled_ = true;
  inUse.fetch_sub(1);
  return lastPercent.load();
}
