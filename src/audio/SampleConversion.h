#pragma once
// Conversion between an ASIO driver's buffer half and the host's float arrays, one pass over
// `frames` contiguous samples per call.
//
// Input side: integers map to (2s + 1) / 2^bits-ish floats through single-precision constants,
// floats copy, doubles round. Big-endian types are byte-reversed in place in the driver's buffer
// first, then read as their little-endian partner.
//
// Output side: integer types go through t = |x + L| - |x - L| (twice x clamped to +-L, L = 1 - 2^-23)
// and truncate toward zero. Samples the formula cannot handle are defined here: NaN is written as 0,
// and anything beyond +-1.0 (infinities included) as the value of +-1.0, because the formula itself
// turns NaN into an undefined integer conversion, infinities into NaN, and samples of 2^24 and
// more into 0 (x + L and x - L round to the same value). Float64 outputs are the clamped value under the same
// rule; Float32 outputs copy unchanged. Big-endian types are written as their partner, then byte-reversed.
//
// Audio thread: every function here is allocation- and lock-free.
#include <cstddef>
#include <cstdint>

namespace sampleconv {

// True for every sample type of the conversion tables (codes 0-4, 8-11, 16-20, 24-27).
bool isConvertible(int32_t type) noexcept;

// Audio thread: driver buffer -> floats. False (nothing touched) for a type outside the tables.
bool toFloat(int32_t type, void* driverBuffer, float* out, size_t frames) noexcept;
// Audio thread: floats -> driver buffer. False (nothing touched) for a type outside the tables.
bool fromFloat(int32_t type, const float* in, void* driverBuffer, size_t frames) noexcept;

// The loops exist twice: for the baseline instruction set and for AVX-512, chosen once at load
// time.
// Tests and benchmarks may hold the choice to the baseline to check and time both.
bool wideLoopsAvailable() noexcept;
void allowWideLoops(bool allowed) noexcept;

// The same conversions sample by sample, written straight from the formulas and never vectorised:
// the oracle the fast paths are checked against. `toFloatReference` reads `sample` as it lies in
// the driver's buffer (big-endian types included) without changing it.
float toFloatReference(int32_t type, const uint8_t* sample) noexcept;
void fromFloatReference(int32_t type, float x, uint8_t* sample) noexcept;

}  // namespace sampleconv
