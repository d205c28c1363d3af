#include "audio/SampleConversion.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/asio/Asio.h"

namespace sampleconv {

namespace base {
namespace {
// The baseline build has no hand-written block loops: the compiler vectorises the plain ones.
inline size_t blockToFloat(int32_t, bool, uint8_t*, float*, size_t) noexcept {
  return 0;
}
inline size_t blockFromFloat(int32_t, bool, const float*, uint8_t*, size_t) noexcept {
  return 0;
}
}  // namespace
#include "audio/SampleKernels.inc"
}  // namespace base

// The same loops built for AVX-512 (SampleConversionWide.cpp).
namespace wide {
bool toFloatImpl(int32_t type, void* driverBuffer, float* out, size_t frames) noexcept;
bool fromFloatImpl(int32_t type, const float* in, void* driverBuffer, size_t frames) noexcept;
}  // namespace wide

namespace {
bool detectWide() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
#else
  return false;
#endif
}
// Decided once, at load time, so the audio thread only reads a flag.
const bool kWideAvailable = detectWide();
std::atomic<bool> wideAllowed{true};

inline bool wideNow() noexcept {
  return kWideAvailable && wideAllowed.load(std::memory_order_relaxed);
}
}  // namespace

bool wideLoopsAvailable() noexcept {
  return kWideAvailable;
}
void allowWideLoops(bool allowed) noexcept {
  wideAllowed.store(allowed);
}

bool isConvertible(int32_t type) noexcept {
  return plat::asio::sampleWidth(type) != 0;
}

bool toFloat(int32_t type, void* driverBuffer, float* out, size_t frames) noexcept {
  return wideNow() ? wide::toFloatImpl(type, driverBuffer, out, frames)
                   : base::toFloatImpl(type, driverBuffer, out, frames);
}

bool fromFloat(int32_t type, const float* in, void* driverBuffer, size_t frames) noexcept {
  return wideNow() ? wide::fromFloatImpl(type, in, driverBuffer, frames)
                   : base::fromFloatImpl(type, in, driverBuffer, frames);
}

}  // namespace sampleconv
