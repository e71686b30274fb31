// Depthwise convolution of the output pixels whose windows lie inside the input, for AVX2:
// int16 values of two taps are interleaved so that one multiply-add-pairs instruction sums both
// for 8 channels.
#include "ops/depthwise_rows.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

// 16 channels from p as int16.
NUVRA_AVX2 NUVRA_INLINE __m256i load16(const uint8_t* p) { return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
NUVRA_AVX2 NUVRA_INLINE __m256i load16(const int8_t* p) { return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
NUVRA_AVX2 NUVRA_INLINE __m256i load16(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The whole tail at 8 or 16 bits, on the sums in the order they come in (lo: channels 0-3 and 8-11
// of a chunk, hi: 4-7 and 12-15), stored by saturating packs that put the channels back in order.
class PackedTail {
 public:
  // Null when the epilogue is not such a tail.
  static std::unique_ptr<PackedTail> of(const Epilogue& e, size_t chunks) {
    if (e.kind != Epilogue::Kind::finish) return nullptr;
    int32_t lowest = 0, highest = 0;
    switch (e.type) {
      case TensorType::uint8: highest = 255; break;
      case TensorType::int8: lowest = -128, highest = 127; break;
      case TensorType::int16: lowest = -32768, highest = 32767; break;
      default: return nullptr;
    }
    if (e.tail.bottom < lowest || e.tail.top > highest || e.tail.bottom > e.tail.top) return nullptr;
    // The packs clamp to the type's range: a narrower output range needs clamping of its own.
    const bool clamp = e.tail.bottom != lowest || e.tail.top != highest;
    return std::unique_ptr<PackedTail>(new PackedTail(e.tail, chunks, clamp));
  }

  // Sums lo, hi of the chunk ch of row `row` through the tail into the output.
  NUVRA_AVX2 NUVRA_INLINE void store(const Epilogue& e, size_t ch, size_t row, __m256i lo, __m256i hi) const {
    const __m256i* t = reinterpret_cast<const __m256i*>(values_.data() + ch * kFields * 2 * 8);
    lo = finish(t, lo);
    hi = finish(t + 1, hi);
    // Channels 0-15 in order as int16; the packs saturate at the type's limits.
    const __m256i pairs = _mm256_packs_epi32(lo, hi);
    const size_t at = row * e.ldo + ch * kChunk;
    if (e.type == TensorType::int16) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(static_cast<int16_t*>(e.out) + at), pairs);
      return;
    }
    const __m128i a = _mm256_castsi256_si128(pairs), b = _mm256_extracti128_si256(pairs, 1);
    const __m128i bytes = e.type == TensorType::uint8 ? _mm_packus_epi16(a, b) : _mm_packs_epi16(a, b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(static_cast<uint8_t*>(e.out) + at), bytes);
  }

 private:
  static constexpr size_t kFields = 6;  // below, above, bias, scale, round, right

  PackedTail(const TailValues& t, size_t chunks, bool clamp)
      : values_(chunks * kFields * 2 * 8), bottom_(t.bottom), top_(t.top), clamp_(clamp) {
    const int32_t* fields[kFields] = {t.below, t.above, t.bias, t.scale, t.round, t.right};
    for (size_t ch = 0; ch < chunks; ++ch)
      for (size_t k = 0; k < kFields; ++k)
        for (size_t half = 0; half < 2; ++half)
          for (size_t lane = 0; lane < 8; ++lane) {
            const size_t channel = ch * kChunk + lane / 4 * 8 + half * 4 + lane % 4;
            values_[((ch * kFields + k) * 2 + half) * 8 + lane] = fields[k][channel];
          }
  }

  // The tail on v through the fields from t (every other vector: lo's or hi's).
  NUVRA_AVX2 NUVRA_INLINE __m256i finish(const __m256i* t, __m256i v) const {
    v = _mm256_max_epi32(v, _mm256_loadu_si256(t));
    v = _mm256_min_epi32(v, _mm256_loadu_si256(t + 2));
    v = _mm256_add_epi32(v, _mm256_loadu_si256(t + 4));
    v = _mm256_mullo_epi32(v, _mm256_loadu_si256(t + 6));
    v = _mm256_add_epi32(v, _mm256_loadu_si256(t + 8));
    v = _mm256_srav_epi32(v, _mm256_loadu_si256(t + 10));
    if (clamp_) {
      v = _mm256_min_epi32(v, _mm256_set1_epi32(top_));
      v = _mm256_max_epi32(v, _mm256_set1_epi32(bottom_));
    }
    return v;
  }

  std::vector<int32_t> values_;
  int32_t bottom_, top_;
  bool clamp_;
};

// R output pixels of one column (oy, oy + 1, ...) for the 16 channels of one chunk: the weights of
// each tap pair are loaded once for all of them, and the tail's values once per 8 channels.
template <int R, class In>
NUVRA_AVX2 NUVRA_INLINE void pixels(const In* src, size_t step, const size_t* offsets, size_t taps,
                                    const int16_t* wp, const Epilogue& e, const PackedTail* tail, size_t pixel,
                                    size_t ch) {
  __m256i lo[R], hi[R];
  for (int r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_si256();
  const size_t full = taps / 2;
  for (size_t tp = 0; tp < full; ++tp) {
    const __m256i* wv = reinterpret_cast<const __m256i*>(wp + tp * 2 * kChunk);
    const __m256i w0 = _mm256_loadu_si256(wv), w1 = _mm256_loadu_si256(wv + 1);
    for (int r = 0; r < R; ++r) {
      const __m256i x0 = load16(src + r * step + offsets[2 * tp]), x1 = load16(src + r * step + offsets[2 * tp + 1]);
      lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(_mm256_unpacklo_epi16(x0, x1), w0));
      hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(_mm256_unpackhi_epi16(x0, x1), w1));
    }
  }
  if (taps % 2 != 0) {
    const __m256i* wv = reinterpret_cast<const __m256i*>(wp + full * 2 * kChunk);
    const __m256i w0 = _mm256_loadu_si256(wv), w1 = _mm256_loadu_si256(wv + 1), zero = _mm256_setzero_si256();
    for (int r = 0; r < R; ++r) {
      const __m256i x0 = load16(src + r * step + offsets[2 * full]);
      lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(_mm256_unpacklo_epi16(x0, zero), w0));
      hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(_mm256_unpackhi_epi16(x0, zero), w1));
    }
  }
  if (tail) {
    for (int r = 0; r < R; ++r) tail->store(e, ch, pixel + static_cast<size_t>(r), lo[r], hi[r]);
    return;
  }
  // Back to channel order: 0-3 and 4-7 from the low halves, 8-11 and 12-15 from the high.
  const size_t f = ch * kChunk;
  I32x8 first[R], second[R];
  for (int r = 0; r < R; ++r) {
    first[r] = reinterpret_cast<I32x8>(_mm256_permute2x128_si256(lo[r], hi[r], 0x20));
    second[r] = reinterpret_cast<I32x8>(_mm256_permute2x128_si256(lo[r], hi[r], 0x31));
  }
  emit_rows<R>(e, pixel, f, first, 8);
  emit_rows<R>(e, pixel, f + 8, second, 8);
}

// Pixels per block of one output column.
constexpr uint32_t kBlock = 4;

template <class In>
NUVRA_AVX2 void inside(const DepthwiseFilters& w, const In* in, const Window& g, uint32_t ox0, uint32_t ox1, const Epilogue& e) {
  const Span xs = whole(g.sx, g.pad_left, g.kw, g.x, g.out_w), ys = whole(g.sy, g.pad_top, g.kh, g.y, g.out_h);
  const uint32_t x_begin = std::max(xs.begin, ox0), x_end = std::min(xs.end, ox1);
  if (x_begin >= x_end || ys.begin == ys.end) return;
  const size_t c = g.c, taps = size_t{g.kw} * g.kh, pairs = (taps + 1) / 2, chunks = w.wide_channels() / kChunk;
  const size_t step = static_cast<size_t>(g.sy) * c;  // from one pixel's window to the next one's
  std::vector<size_t> offsets(pairs * 2, 0);
  for (size_t t = 0; t < taps; ++t) offsets[t] = (t / g.kh * size_t{g.y} + t % g.kh) * c;
  const int16_t* packed = w.pairs().data();
  const auto tail = PackedTail::of(e, chunks);
  for (uint32_t ox = x_begin; ox < x_end; ++ox)
    for (uint32_t oy = ys.begin; oy < ys.end;) {
      const uint32_t n = std::min(kBlock, ys.end - oy);
      const In* base = in + (static_cast<size_t>(g.first_x(ox)) * g.y + static_cast<size_t>(g.first_y(oy))) * c;
      const size_t pixel = size_t{ox} * g.out_h + oy;
      for (size_t ch = 0; ch < chunks; ++ch) {
        const In* src = base + ch * kChunk;
        const int16_t* wp = packed + ch * pairs * 2 * kChunk;
        if (n == kBlock) {
          pixels<kBlock>(src, step, offsets.data(), taps, wp, e, tail.get(), pixel, ch);
        } else {
          for (uint32_t r = 0; r < n; ++r)
            pixels<1>(src + r * step, step, offsets.data(), taps, wp, e, tail.get(), pixel + r, ch);
        }
      }
      oy += n;
    }
}

}  // namespace

NUVRA_AVX2 void depthwise_inside_avx2(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1,
                                      const Epilogue& e) {
  switch (in.type) {
    case TensorType::uint8: return inside(w, static_cast<const uint8_t*>(in.data), in.g, ox0, ox1, e);
    case TensorType::int8: return inside(w, static_cast<const int8_t*>(in.data), in.g, ox0, ox1, e);
    case TensorType::int16: return inside(w, static_cast<const int16_t*>(in.data), in.g, ox0, ox1, e);
    default: return;  // int32 values go through the portable route
  }
}

}  // namespace nuvra::ops::detail
