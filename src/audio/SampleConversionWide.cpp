// The conversion loops built for AVX-512 (F, BW, VL, DQ); SampleConversion.cpp calls them where
// the processor has it. The float-to-integer side is written by hand here: the compiler's own
// form of the clamp costs twice the instructions of min/max with a NaN mask.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "audio/SampleConversion.h"
#include "platform/asio/Asio.h"

namespace sampleconv::wide {
namespace {

// t = |x + L| - |x - L| of the sanitised sample: NaN -> 0, clamped to [-1, 1] first. max(x, -1)
// gives -1 for NaN and min(.., 1) keeps it; the ordered mask then zeroes those lanes.
inline __m512 twiceClamped16(__m512 x) noexcept {
  __mmask16 ordered = _mm512_cmp_ps_mask(x, x, _CMP_ORD_Q);
  __m512 c = _mm512_maskz_min_ps(ordered, _mm512_max_ps(x, _mm512_set1_ps(-1.0f)), _mm512_set1_ps(1.0f));
  const __m512 L = _mm512_set1_ps(std::bit_cast<float>(0x3F7FFFFEu));
  return _mm512_sub_ps(_mm512_abs_ps(_mm512_add_ps(c, L)), _mm512_abs_ps(_mm512_sub_ps(c, L)));
}
inline __m512i scaled16(__m512 x, float scale) noexcept {
  return _mm512_cvttps_epi32(
      _mm512_sub_ps(_mm512_mul_ps(twiceClamped16(x), _mm512_set1_ps(scale)), _mm512_set1_ps(0.5f)));
}

size_t blockOut16(const float* in, uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512i v = scaled16(_mm512_loadu_ps(in + i), std::bit_cast<float>(0x467FFF03u));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 2 * i), _mm512_cvtepi32_epi16(v));  // in range
  }
  return i;
}

size_t blockOut24(const float* in, uint8_t* p, size_t n) noexcept {
  // Per 128-bit lane: the low three bytes of each of the four words, packed into 12 bytes.
  const __m512i pack =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512i v = _mm512_shuffle_epi8(scaled16(_mm512_loadu_ps(in + i), 4194304.0f), pack);
    uint8_t* q = p + 3 * i;
    _mm_mask_storeu_epi8(q, 0x0FFF, _mm512_extracti32x4_epi32(v, 0));
    _mm_mask_storeu_epi8(q + 12, 0x0FFF, _mm512_extracti32x4_epi32(v, 1));
    _mm_mask_storeu_epi8(q + 24, 0x0FFF, _mm512_extracti32x4_epi32(v, 2));
    _mm_mask_storeu_epi8(q + 36, 0x0FFF, _mm512_extracti32x4_epi32(v, 3));
  }
  return i;
}

template <int Shift>
size_t blockOut32(const float* in, uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512i v = scaled16(_mm512_loadu_ps(in + i), 4194304.0f);
    if constexpr (Shift > 0)
      v = _mm512_slli_epi32(v, Shift);
    else if constexpr (Shift < 0)
      v = _mm512_srai_epi32(v, -Shift);
    _mm512_storeu_si512(p + 4 * i, v);
  }
  return i;
}

size_t blockOutF64(const float* in, uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512 h = _mm512_mul_ps(twiceClamped16(_mm512_loadu_ps(in + i)), _mm512_set1_ps(0.5f));
    _mm512_storeu_pd(p + 8 * i, _mm512_cvtps_pd(_mm512_castps512_ps256(h)));
    _mm512_storeu_pd(p + 8 * i + 64,
                     _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(h), 1))));
  }
  return i;
}

}  // namespace

#include "audio/SampleKernels.inc"
}  // namespace sampleconv::wide
