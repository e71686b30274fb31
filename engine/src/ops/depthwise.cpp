// Depthwise convolution: each channel with its own window of weights, zero outside the input.
#include "ops/depthwise_rows.h"
#include "ops/route.h"
#include "ops/simd.h"

#include <limits>
#include <type_traits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace detail {

namespace {

constexpr size_t kChunk = 16;

// Weights of chunk ch and tap pair tp, as the interleaving of the two taps' values lays them out:
// unpacklo takes channels 0-3 and 8-11 of the chunk, unpackhi 4-7 and 12-15.
std::vector<int16_t> pack(const int8_t* w, size_t taps, size_t c) {
  const size_t chunks = c / kChunk, pairs = (taps + 1) / 2;
  std::vector<int16_t> packed(chunks * pairs * 2 * kChunk, 0);
  for (size_t ch = 0; ch < chunks; ++ch)
    for (size_t tp = 0; tp < pairs; ++tp)
      for (size_t half = 0; half < 2; ++half)  // unpacklo, unpackhi
        for (size_t lane = 0; lane < 2; ++lane)
          for (size_t q = 0; q < 4; ++q)
            for (size_t e = 0; e < 2; ++e) {
              const size_t channel = ch * kChunk + lane * 8 + half * 4 + q, tap = 2 * tp + e;
              if (tap < taps) packed[((ch * pairs + tp) * 2 + half) * kChunk + lane * 8 + 2 * q + e] = w[tap * c + channel];
            }
  return packed;
}

typedef int8_t I8x8 __attribute__((vector_size(8)));
typedef uint8_t U8x8 __attribute__((vector_size(8)));
typedef int16_t I16x8 __attribute__((vector_size(16)));

// 8 channels from p as int32 lanes.
template <class In>
NUVRA_INLINE void lanes_of(Lanes& out, const In* p) {
  if constexpr (std::is_same_v<In, int32_t>) {
    load(out, p);
  } else {
    using V = std::conditional_t<std::is_same_v<In, uint8_t>, U8x8,
                                 std::conditional_t<std::is_same_v<In, int8_t>, I8x8, I16x8>>;
    V v;
    std::memcpy(&v, p, sizeof v);
    out = __builtin_convertvector(v, Lanes);
  }
}

// Every output pixel of columns [ox0, ox1): its channels from `from` on when its window lies
// inside the input (the AVX2 route did those below), else all of them. Channels in runs of 8.
template <class In>
NUVRA_INLINE void portable(const In* in, const Window& g, const int32_t* taps, size_t from, uint32_t ox0, uint32_t ox1,
                           const Epilogue& e) {
  const size_t c = g.c;
  for (uint32_t ox = ox0; ox < ox1; ++ox) {
    const int64_t x0 = g.first_x(ox);
    const Span cols = inside(x0, g.kw, g.x);
    for (uint32_t oy = 0; oy < g.out_h; ++oy) {
      const int64_t y0 = g.first_y(oy);
      const Span rows = inside(y0, g.kh, g.y);
      const bool whole = cols.begin == 0 && cols.end == g.kw && rows.begin == 0 && rows.end == g.kh;
      const size_t pixel = size_t{ox} * g.out_h + oy;
      const auto tap = [&](uint32_t i, uint32_t j, size_t k) {
        return std::pair{in + (static_cast<size_t>(x0 + i) * g.y + static_cast<size_t>(y0 + j)) * c + k,
                         taps + (size_t{i} * g.kh + j) * c + k};
      };
      for (size_t k = whole ? from : 0; k < c; k += kLanes) {
        alignas(32) int32_t sums[kLanes] = {};
        if (k + kLanes <= c) {
          Lanes acc{}, x, wv;
          for (uint32_t i = cols.begin; i < cols.end; ++i)
            for (uint32_t j = rows.begin; j < rows.end; ++j) {
              const auto [src, w] = tap(i, j, k);
              lanes_of(x, src);
              load(wv, w);
              acc += x * wv;
            }
          store(sums, acc);
        } else {
          for (size_t q = 0; q < c - k; ++q)
            for (uint32_t i = cols.begin; i < cols.end; ++i)
              for (uint32_t j = rows.begin; j < rows.end; ++j) {
                const auto [src, w] = tap(i, j, k + q);
                sums[q] += int32_t{*src} * *w;
              }
        }
        emit(e, pixel, k, sums, std::min(kLanes, c - k));
      }
    }
  }
}

template <class In>
NUVRA_AVX2 void portable_avx2(const In* in, const Window& g, const int32_t* taps, size_t from, uint32_t ox0,
                              uint32_t ox1, const Epilogue& e) {
  portable(in, g, taps, from, ox0, ox1, e);
}
template <class In>
void portable_base(const In* in, const Window& g, const int32_t* taps, size_t from, uint32_t ox0, uint32_t ox1,
                   const Epilogue& e) {
  portable(in, g, taps, from, ox0, ox1, e);
}

template <class In>
void rows_of(const DepthwiseFilters& w, const ConvSource& s, uint32_t ox0, uint32_t ox1, const Epilogue& e) {
  // int32 values go through the portable route.
  const size_t from = std::is_same_v<In, int32_t> ? 0 : w.wide_channels();
  if (from) depthwise_inside_avx2(w, s, ox0, ox1, e);
  // The vector route took every channel of every pixel.
  if (from == s.g.c && !reaches_out(s.g)) return;
  (has_avx2() ? portable_avx2<In> : portable_base<In>)(static_cast<const In*>(s.data), s.g, w.taps().data(), from,
                                                       ox0, ox1, e);
}

// Per output pixel, channels in runs of 8, in the wide accumulators Acc.
template <class Acc>
void wide(const int32_t* in, const Window& g, const int32_t* taps, int32_t* out) {
  const size_t c = g.c;
  for (uint32_t ox = 0; ox < g.out_w; ++ox) {
    const int64_t x0 = g.first_x(ox);
    const Span cols = inside(x0, g.kw, g.x);
    for (uint32_t oy = 0; oy < g.out_h; ++oy) {
      const int64_t y0 = g.first_y(oy);
      const Span rows = inside(y0, g.kh, g.y);
      int32_t* dst = out + (size_t{ox} * g.out_h + oy) * c;
      for (size_t k = 0; k < c; ++k) {
        Acc acc = 0;
        for (uint32_t i = cols.begin; i < cols.end; ++i)
          for (uint32_t j = rows.begin; j < rows.end; ++j)
            acc += Acc{in[(static_cast<size_t>(x0 + i) * g.y + static_cast<size_t>(y0 + j)) * c + k]} *
                   taps[(size_t{i} * g.kh + j) * c + k];
        dst[k] = sat32(acc);
      }
    }
  }
}

}  // namespace

DepthwiseFilters::DepthwiseFilters(const int8_t* w, size_t taps, size_t channels, bool avx2)
    : channels_(channels), avx2_(avx2 && channels >= kChunk), taps_(w, w + taps * channels) {
  std::vector<uint64_t> sums(channels, 0);
  for (size_t t = 0; t < taps_.size(); ++t) sums[t % channels] += static_cast<uint64_t>(std::abs(taps_[t]));
  for (const uint64_t s : sums) largest_ = std::max(largest_, s);
  if (avx2_) pairs_ = pack(w, taps, channels);
}

void depthwise_rows(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1, const Epilogue& e) {
  if (ox0 >= ox1) return;
  switch (in.type) {
    case TensorType::uint8: return rows_of<uint8_t>(w, in, ox0, ox1, e);
    case TensorType::int8: return rows_of<int8_t>(w, in, ox0, ox1, e);
    case TensorType::int16: return rows_of<int16_t>(w, in, ox0, ox1, e);
    default: return rows_of<int32_t>(w, in, ox0, ox1, e);
  }
}

}  // namespace detail

DensePtr depthwise_conv2d(const Dense& input, int stride_x, int stride_y, int pad_left, int pad_top,
                          unsigned int out_w, unsigned int out_h, const Dense& weights) {
  const char* kernel = "depthwise_conv2d";
  expect_type(kernel, "the input", input, TensorType::int32);
  expect_type(kernel, "the weights", weights, TensorType::int8);
  expect_rank(kernel, "the weights", weights, 4);
  const Shape ws = weights.shape();
  const Window g = sweep(kernel, input, ws[0], ws[1], stride_x, stride_y, pad_left, pad_top, out_w, out_h);
  if (ws[2] != 1 || ws[3] != g.c)
    refuse(kernel, "the weights " + ws.to_string() + " must be (kernel_w, kernel_h, 1, " + std::to_string(g.c) + ")");
  const size_t c = g.c, taps = size_t{g.kw} * g.kh;
  const int32_t* in = input.data<int32_t>();
  const uint64_t max_in = max_abs(in, input.size());
  const DepthwiseFilters w(weights.data<int8_t>(), taps, c, active_route().route != Route::portable && max_in <= 32767);
  const unsigned __int128 bound = static_cast<unsigned __int128>(max_in) * w.largest_sum();
  DensePtr y = result(TensorType::int32, {out_w, out_h, g.c});
  int32_t* out = y->data<int32_t>();
  if (bound <= std::numeric_limits<int32_t>::max()) {
    Epilogue e;
    e.out = out;
    e.ldo = c;
    if (max_in > 32767) {
      depthwise_rows(w, ConvSource{in, TensorType::int32, g, nullptr}, 0, g.out_w, e);
    } else if (w.wide_channels() == c && reaches_out(g) && g.pad_left >= 0 && g.pad_top >= 0 && g.pad_left < g.kw &&
               g.pad_top < g.kh) {
      // int16 values, which the vector route takes, with the padding in the copy. Other pads (that
      // crop the input, or leave whole windows outside it) go through the portable pass.
      Window inner = g;
      const auto copy = padded<int16_t>(in, TensorType::int16, inner);
      depthwise_rows(w, ConvSource{copy->data<int16_t>(), TensorType::int16, inner, nullptr}, 0, g.out_w, e);
    } else {
      Scratch<int16_t> narrow(input.size());
      std::copy(in, in + input.size(), narrow.data());
      depthwise_rows(w, ConvSource{narrow.data(), TensorType::int16, g, nullptr}, 0, g.out_w, e);
    }
  } else if (bound < (unsigned __int128){1} << 61) {
    wide<int64_t>(in, g, w.taps().data(), out);
  } else {
    wide<int128>(in, g, w.taps().data(), out);
  }
  return y;
}

}  // namespace nuvra::ops
