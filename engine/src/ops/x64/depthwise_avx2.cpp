// Depthwise convolution of the output pixels whose windows lie inside the input, for AVX2:
// int16 values of two taps are interleaved so that one multiply-add-pairs instruction sums both
// for 8 channels.
#include "ops/simd.h"
#include "ops/window.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace nuvra::ops::detail {

namespace {

constexpr size_t kChunk = 16;  // channels per pair of registers

// Output pixels [begin, end) of one axis whose windows of `kernel` lie inside `size`.
Span whole(int64_t stride, int64_t pad, uint32_t kernel, uint32_t size, uint32_t outputs) {
  // o * stride - pad >= 0 and o * stride - pad + kernel <= size.
  const int64_t lo = pad <= 0 ? 0 : (pad + stride - 1) / stride;
  const int64_t top = int64_t{size} - kernel + pad;
  const int64_t hi = top < 0 ? 0 : std::min<int64_t>(top / stride + 1, outputs);
  return {static_cast<uint32_t>(std::min(lo, hi)), static_cast<uint32_t>(hi)};
}

// Weights of chunk ch and tap pair tp, as the interleaving of the two taps' values lays them out:
// unpacklo takes channels 0-3 and 8-11 of the chunk, unpackhi 4-7 and 12-15.
std::vector<int16_t> pack(const int8_t* w, size_t taps, size_t c) {
  const size_t chunks = (c + kChunk - 1) / kChunk, pairs = (taps + 1) / 2;
  std::vector<int16_t> packed(chunks * pairs * 2 * kChunk, 0);
  for (size_t ch = 0; ch < chunks; ++ch)
    for (size_t tp = 0; tp < pairs; ++tp)
      for (size_t half = 0; half < 2; ++half)  // unpacklo, unpackhi
        for (size_t lane = 0; lane < 2; ++lane)
          for (size_t q = 0; q < 4; ++q)
            for (size_t e = 0; e < 2; ++e) {
              const size_t channel = ch * kChunk + lane * 8 + half * 4 + q, tap = 2 * tp + e;
              if (channel < c && tap < taps)
                packed[((ch * pairs + tp) * 2 + half) * kChunk + lane * 8 + 2 * q + e] = w[tap * c + channel];
            }
  return packed;
}

}  // namespace

NUVRA_AVX2 void depthwise_inside_avx2(const int32_t* in, size_t in_size, const Window& g, const int8_t* w,
                                      int32_t* out) {
  const Span xs = whole(g.sx, g.pad_left, g.kw, g.x, g.out_w), ys = whole(g.sy, g.pad_top, g.kh, g.y, g.out_h);
  if (xs.begin == xs.end || ys.begin == ys.end) return;
  const size_t c = g.c, taps = size_t{g.kw} * g.kh, pairs = (taps + 1) / 2, chunks = (c + kChunk - 1) / kChunk;
  // Loads of a whole chunk may run past the last channel: the spare values keep them inside.
  std::vector<int16_t> values(in_size + kChunk, 0);
  std::copy(in, in + in_size, values.begin());
  const std::vector<int16_t> packed = pack(w, taps, c);
  std::vector<size_t> offsets(pairs * 2, 0);
  for (size_t t = 0; t < taps; ++t) offsets[t] = (t / g.kh * size_t{g.y} + t % g.kh) * c;
  const bool odd = taps % 2 != 0;

  for (uint32_t ox = xs.begin; ox < xs.end; ++ox)
    for (uint32_t oy = ys.begin; oy < ys.end; ++oy) {
      const int16_t* base =
          values.data() + (static_cast<size_t>(g.first_x(ox)) * g.y + static_cast<size_t>(g.first_y(oy))) * c;
      int32_t* dst = out + (size_t{ox} * g.out_h + oy) * c;
      for (size_t ch = 0; ch < chunks; ++ch) {
        const int16_t* src = base + ch * kChunk;
        const int16_t* wp = packed.data() + ch * pairs * 2 * kChunk;
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        for (size_t tp = 0; tp < pairs; ++tp) {
          const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offsets[2 * tp]));
          const __m256i x1 = odd && tp + 1 == pairs
                                 ? _mm256_setzero_si256()
                                 : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offsets[2 * tp + 1]));
          const __m256i* wv = reinterpret_cast<const __m256i*>(wp + tp * 2 * kChunk);
          lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(x0, x1), _mm256_loadu_si256(wv)));
          hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(x0, x1), _mm256_loadu_si256(wv + 1)));
        }
        // Back to channel order: 0-3 and 4-7 from the low halves, 8-11 and 12-15 from the high.
        alignas(32) int32_t sums[kChunk];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
        std::memcpy(dst + ch * kChunk, sums, std::min(kChunk, c - ch * kChunk) * sizeof(int32_t));
      }
    }
}

}  // namespace nuvra::ops::detail
