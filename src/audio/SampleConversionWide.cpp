// The conversion loops built for AVX-512 (F, BW, VL, DQ); SampleConversion.cpp calls them where
// the processor has it. Blocks of 16 samples are converted by hand here, with the byte reversal of
// big-endian types folded into the same pass; the compiler's own form of the output clamp costs
// twice the instructions of min/max with a NaN mask. The remaining samples go through the plain
// loops of SampleKernels.inc.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "audio/SampleConversion.h"
#include "platform/asio/Asio.h"

namespace sampleconv::wide {
namespace {

using namespace plat::asio;

// Byte orders within each 128-bit lane.
inline __m512i lanes(__m128i pattern) noexcept {
  return _mm512_broadcast_i32x4(pattern);
}
inline __m512i swap16Pattern() noexcept {
  return lanes(_mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
}
inline __m512i swap32Pattern() noexcept {
  return lanes(_mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
}
inline __m512i swap64Pattern() noexcept {
  return lanes(_mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8));
}

constexpr __mmask16 k12Bytes = 0x0FFF;

// Four 12-byte groups (four packed 24-bit samples each) into the four lanes, and back.
inline __m512i load24(const uint8_t* q) noexcept {
  __m512i v = _mm512_castsi128_si512(_mm_maskz_loadu_epi8(k12Bytes, q));
  v = _mm512_inserti32x4(v, _mm_maskz_loadu_epi8(k12Bytes, q + 12), 1);
  v = _mm512_inserti32x4(v, _mm_maskz_loadu_epi8(k12Bytes, q + 24), 2);
  return _mm512_inserti32x4(v, _mm_maskz_loadu_epi8(k12Bytes, q + 36), 3);
}
inline void store24(uint8_t* q, __m512i v) noexcept {
  _mm_mask_storeu_epi8(q, k12Bytes, _mm512_extracti32x4_epi32(v, 0));
  _mm_mask_storeu_epi8(q + 12, k12Bytes, _mm512_extracti32x4_epi32(v, 1));
  _mm_mask_storeu_epi8(q + 24, k12Bytes, _mm512_extracti32x4_epi32(v, 2));
  _mm_mask_storeu_epi8(q + 36, k12Bytes, _mm512_extracti32x4_epi32(v, 3));
}

inline __m512 in24Formula(__m512i s) noexcept {
  return _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(s), _mm512_set1_ps(0x1p-23f)),
                       _mm512_set1_ps(0x1p-24f));
}

template <int Shift>
inline __m512i shift32(__m512i v) noexcept {
  if constexpr (Shift > 0)
    return _mm512_slli_epi32(v, Shift);
  else if constexpr (Shift < 0)
    return _mm512_srai_epi32(v, -Shift);
  else
    return v;
}

template <int Shift>
size_t in32(bool swap, uint8_t* p, float* out, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512i s = _mm512_loadu_si512(p + 4 * i);
    if (swap) {
      s = _mm512_shuffle_epi8(s, swap32Pattern());
      _mm512_storeu_si512(p + 4 * i, s);
    }
    _mm512_storeu_ps(out + i, in24Formula(shift32<Shift>(s)));
  }
  return i;
}

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

template <int Shift>
size_t out32(bool swap, const float* in, uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512i v = shift32<Shift>(scaled16(_mm512_loadu_ps(in + i), 4194304.0f));
    if (swap) v = _mm512_shuffle_epi8(v, swap32Pattern());
    _mm512_storeu_si512(p + 4 * i, v);
  }
  return i;
}

size_t blockToFloat(int32_t little, bool swap, uint8_t* p, float* out, size_t n) noexcept {
  size_t i = 0;
  switch (little) {
    case ASIOSTInt16LSB:
      for (; i + 16 <= n; i += 16) {
        __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * i));
        if (swap) {
          s = _mm256_shuffle_epi8(s, _mm512_castsi512_si256(swap16Pattern()));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 2 * i), s);
        }
        __m512 f = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(s));
        _mm512_storeu_ps(out + i,
                         _mm512_add_ps(_mm512_mul_ps(f, _mm512_set1_ps(std::bit_cast<float>(0x3800007Fu))),
                                       _mm512_set1_ps(std::bit_cast<float>(0x3780007Fu))));
      }
      return i;
    case ASIOSTInt24LSB: {
      // Each sample's three bytes go to the top of a word; the arithmetic shift sign-extends them.
      const __m512i little3 = lanes(_mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
      const __m512i reverse3 = lanes(_mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15));
      // The reversed bytes of a block are written back one block later: a 12-byte masked store
      // right before the next block's load at the adjacent bytes stalls the load until it retires.
      __m512i pending = _mm512_setzero_si512();
      uint8_t* pendingAt = nullptr;
      for (; i + 16 <= n; i += 16) {
        __m512i b = load24(p + 3 * i);
        if (swap) {
          b = _mm512_shuffle_epi8(b, reverse3);
          if (pendingAt) store24(pendingAt, pending);
          pending = b;
          pendingAt = p + 3 * i;
        }
        __m512i s = _mm512_srai_epi32(_mm512_shuffle_epi8(b, little3), 8);
        _mm512_storeu_ps(out + i, in24Formula(s));
      }
      if (pendingAt) store24(pendingAt, pending);
      return i;
    }
    case ASIOSTInt32LSB:
      return in32<-8>(swap, p, out, n);
    case ASIOSTInt32LSB16:
      return in32<8>(swap, p, out, n);
    case ASIOSTInt32LSB18:
      return in32<6>(swap, p, out, n);
    case ASIOSTInt32LSB20:
      return in32<4>(swap, p, out, n);
    case ASIOSTInt32LSB24:
      return in32<0>(swap, p, out, n);
    case ASIOSTFloat32LSB:
      if (!swap) return 0;  // a plain copy
      for (; i + 16 <= n; i += 16) {
        __m512i s = _mm512_shuffle_epi8(_mm512_loadu_si512(p + 4 * i), swap32Pattern());
        _mm512_storeu_si512(p + 4 * i, s);
        _mm512_storeu_si512(out + i, s);
      }
      return i;
    case ASIOSTFloat64LSB:
      for (; i + 16 <= n; i += 16) {
        __m512i a = _mm512_loadu_si512(p + 8 * i);
        __m512i b = _mm512_loadu_si512(p + 8 * i + 64);
        if (swap) {
          a = _mm512_shuffle_epi8(a, swap64Pattern());
          b = _mm512_shuffle_epi8(b, swap64Pattern());
          _mm512_storeu_si512(p + 8 * i, a);
          _mm512_storeu_si512(p + 8 * i + 64, b);
        }
        _mm256_storeu_ps(out + i, _mm512_cvtpd_ps(_mm512_castsi512_pd(a)));
        _mm256_storeu_ps(out + i + 8, _mm512_cvtpd_ps(_mm512_castsi512_pd(b)));
      }
      return i;
    default:
      return 0;
  }
}

size_t blockFromFloat(int32_t little, bool swap, const float* in, uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  switch (little) {
    case ASIOSTInt16LSB:
      for (; i + 16 <= n; i += 16) {
        // The values lie in [-32768, 32767]: the narrowing keeps them exactly.
        __m256i v =
            _mm512_cvtepi32_epi16(scaled16(_mm512_loadu_ps(in + i), std::bit_cast<float>(0x467FFF03u)));
        if (swap) v = _mm256_shuffle_epi8(v, _mm512_castsi512_si256(swap16Pattern()));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 2 * i), v);
      }
      return i;
    case ASIOSTInt24LSB: {
      // Per lane: the low three bytes of each of the four words, packed into 12 bytes.
      const __m512i pack = swap
                               ? lanes(_mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1))
                               : lanes(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
      for (; i + 16 <= n; i += 16)
        store24(p + 3 * i, _mm512_shuffle_epi8(scaled16(_mm512_loadu_ps(in + i), 4194304.0f), pack));
      return i;
    }
    case ASIOSTInt32LSB:
      return out32<8>(swap, in, p, n);
    case ASIOSTInt32LSB16:
      return out32<-8>(swap, in, p, n);
    case ASIOSTInt32LSB18:
      return out32<-6>(swap, in, p, n);
    case ASIOSTInt32LSB20:
      return out32<-4>(swap, in, p, n);
    case ASIOSTInt32LSB24:
      return out32<0>(swap, in, p, n);
    case ASIOSTFloat32LSB:
      if (!swap) return 0;  // a plain copy
      for (; i + 16 <= n; i += 16)
        _mm512_storeu_si512(p + 4 * i, _mm512_shuffle_epi8(_mm512_loadu_si512(in + i), swap32Pattern()));
      return i;
    case ASIOSTFloat64LSB:
      for (; i + 16 <= n; i += 16) {
        __m512 h = _mm512_mul_ps(twiceClamped16(_mm512_loadu_ps(in + i)), _mm512_set1_ps(0.5f));
        __m512i a = _mm512_castpd_si512(_mm512_cvtps_pd(_mm512_castps512_ps256(h)));
        __m512i b = _mm512_castpd_si512(
            _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(h), 1))));
        if (swap) {
          a = _mm512_shuffle_epi8(a, swap64Pattern());
          b = _mm512_shuffle_epi8(b, swap64Pattern());
        }
        _mm512_storeu_si512(p + 8 * i, a);
        _mm512_storeu_si512(p + 8 * i + 64, b);
      }
      return i;
    default:
      return 0;
  }
}

}  // namespace

#include "audio/SampleKernels.inc"
}  // namespace sampleconv::wide
