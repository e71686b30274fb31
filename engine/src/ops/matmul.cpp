// Matrix product over the last two axes, with the shared dot-product core.
#include "ops/gemm.h"
#include "ops/simd.h"

#include <optional>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

// Sums that fit int32: b's columns packed as filters, a's rows (narrowed to int16 in a16) taken
// as the filters' rows. source(batch) gives b's values of a batch as packed filter values.
template <class Source>
void multiply32(const int16_t* a16, size_t batches, bool b_batched, size_t m, size_t n, size_t k, int shift,
                Source source, int64_t a_lo, int64_t a_hi, bool b_fits_int8, int32_t* out) {
  const RouteChoice route = active_route();
  const Rows kind = rows_for(a_lo, a_hi, b_fits_int8, route.route);
  const int offset = kind == Rows::u8 ? u8_offset(a_lo) : 0;
  std::optional<PackedFilters> filters;
  std::optional<Scratch<uint8_t>> rows;
  for (size_t b = 0; b < batches; ++b) {
    if (b == 0 || b_batched) filters.emplace(n, k, source(b), kind, route, offset);
    const size_t bytes = filters->row_bytes();
    const int16_t* src = a16 + b * m * k;
    const void* matrix = src;
    // int16 rows of an even depth are a's own; others are copied with their padding zero.
    if (kind == Rows::u8 || bytes != k * sizeof(int16_t)) {
      if (!rows) {
        rows.emplace(m * bytes);
        std::fill(rows->data(), rows->data() + m * bytes, uint8_t{0});
      }
      for (size_t r = 0; r < m; ++r) {
        const int16_t* from = src + r * k;
        if (kind == Rows::u8) {
          uint8_t* dst = rows->data() + r * bytes;
          for (size_t i = 0; i < k; ++i) dst[i] = static_cast<uint8_t>(from[i] + offset);
        } else {
          std::copy(from, from + k, reinterpret_cast<int16_t*>(rows->data() + r * bytes));
        }
      }
      matrix = rows->data();
    }
    int32_t* dst = out + b * m * n;
    Epilogue e;
    e.out = dst;
    e.ldo = n;
    filters->multiply(matrix, m, bytes, e, 0);
    if (shift != 0)
      for (size_t i = 0; i < m * n; ++i) dst[i] = sat32(sshift<int64_t>(dst[i], -int64_t{shift}));
  }
}

// b's range and, per output column, the sum of its |values| (what bounds every sum): one pass in
// storage order over b_count matrices, (k, n) or (n, k) when transposed.
NUVRA_INLINE void scan_b(const int32_t* bp, size_t b_count, size_t n, size_t k, bool transpose_b, uint64_t* columns,
                         int32_t* range) {
  int32_t lo = bp[0], hi = bp[0];
  for (size_t q = 0; q < b_count; ++q) {
    const int32_t* bq = bp + q * n * k;
    uint64_t* sums = columns + q * n;
    const size_t outer = transpose_b ? n : k, inner = transpose_b ? k : n;
    for (size_t r = 0; r < outer; ++r) {
      const int32_t* row = bq + r * inner;
      uint64_t total = 0;
      for (size_t c = 0; c < inner; ++c) {
        const int32_t v = row[c];
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        const auto mag = static_cast<uint64_t>(v < 0 ? -int64_t{v} : int64_t{v});
        if (transpose_b)
          total += mag;
        else
          sums[c] += mag;
      }
      if (transpose_b) sums[r] = total;
    }
  }
  range[0] = lo;
  range[1] = hi;
}
NUVRA_AVX2 void scan_b_avx2(const int32_t* bp, size_t b_count, size_t n, size_t k, bool transpose_b,
                            uint64_t* columns, int32_t* range) {
  scan_b(bp, b_count, n, k, transpose_b, columns, range);
}
void scan_b_base(const int32_t* bp, size_t b_count, size_t n, size_t k, bool transpose_b, uint64_t* columns,
                 int32_t* range) {
  scan_b(bp, b_count, n, k, transpose_b, columns, range);
}

template <class Acc>
void multiply(const int32_t* a, const int32_t* bk, size_t batches, bool b_batched, size_t m, size_t n, size_t k,
              int shift, int32_t* out) {
  const size_t rows = batch_rows(k, sizeof(int32_t));
  std::vector<Acc> sums(rows * n);
  for (size_t b = 0; b < batches; ++b) {
    const int32_t* bm = bk + (b_batched ? b * n * k : 0);
    for (size_t r0 = 0; r0 < m; r0 += rows) {
      const size_t count = std::min(rows, m - r0);
      dot_columns(a + (b * m + r0) * k, count, bm, n, k, sums.data(), n);
      int32_t* dst = out + (b * m + r0) * n;
      for (size_t i = 0; i < count * n; ++i) dst[i] = sat32(sshift<Acc>(sums[i], -int64_t{shift}));
    }
  }
}

}  // namespace

DensePtr matmul(const Dense& a, const Dense& b, int shift, bool transpose_b) {
  const char* kernel = "matmul";
  expect_type(kernel, "the first matrix", a, TensorType::int32);
  expect_type(kernel, "the second matrix", b, TensorType::int32);
  const Shape as = a.shape(), bs = b.shape();
  const size_t ar = as.size(), br = bs.size();
  if (ar < 2) refuse(kernel, "the first matrix must have at least 2 dimensions, got " + as.to_string());
  bool same_lead = br == ar;
  for (size_t d = 0; same_lead && d + 2 < ar; ++d) same_lead = as[d] == bs[d];
  if (br != 2 && !same_lead)
    refuse(kernel, "the second matrix " + bs.to_string() + " must have 2 dimensions or the leading ones of " +
                       as.to_string());
  const size_t m = as[ar - 2], k = as[ar - 1];
  const size_t bk = transpose_b ? bs[br - 1] : bs[br - 2], n = transpose_b ? bs[br - 2] : bs[br - 1];
  if (bk != k)
    refuse(kernel, "cannot multiply " + as.to_string() + " by " + bs.to_string() +
                       (transpose_b ? " transposed" : "") + ": inner sizes differ");
  const bool b_batched = br > 2;
  const size_t batches = a.size() / (m * k), b_count = b_batched ? batches : 1;

  const int32_t* ap = a.data<int32_t>();
  const int32_t* bp = b.data<int32_t>();
  // b's value for output column col of batch q.
  const auto value = [&](size_t q, size_t col, size_t i) {
    return transpose_b ? bp[(q * n + col) * k + i] : bp[(q * k + i) * n + col];
  };
  // Every sum is bounded by max|a| times the largest sum of |b| over one output column.
  std::vector<uint64_t> columns(b_count * n, 0);
  int32_t b_range[2];
  (has_avx2() ? scan_b_avx2 : scan_b_base)(bp, b_count, n, k, transpose_b, columns.data(), b_range);
  const int32_t b_lo = b_range[0], b_hi = b_range[1];
  const uint64_t largest = *std::max_element(columns.begin(), columns.end());
  Shape out = as;
  out[ar - 1] = static_cast<uint32_t>(n);
  DensePtr y = result(TensorType::int32, out);
  // a is narrowed in the pass that bounds it: int16 rows of an even depth are then used in place.
  Scratch<int16_t> a16(a.size());
  const auto [a_lo, a_hi] = min_max_narrowed(ap, a.size(), a16.data());
  const uint64_t max_a = static_cast<uint64_t>(std::max(-int64_t{a_lo}, int64_t{a_hi}));
  const uint64_t max_b = static_cast<uint64_t>(std::max(-int64_t{b_lo}, int64_t{b_hi}));
  const Accumulator acc = choose_accumulator(max_a, max_b, static_cast<unsigned __int128>(max_a) * largest);
  if (acc == Accumulator::i16) {
    const bool b8 = b_lo >= -128 && b_hi <= 127;
    if (transpose_b)
      multiply32(a16.data(), batches, b_batched, m, n, k, shift,
                 [&](size_t q) { return [bq = bp + q * n * k, k](size_t col, size_t i) { return bq[col * k + i]; }; },
                 a_lo, a_hi, b8, y->data<int32_t>());
    else
      multiply32(a16.data(), batches, b_batched, m, n, k, shift,
                 [&](size_t q) { return FilterRows<int32_t>{bp + q * k * n, n}; }, a_lo, a_hi, b8,
                 y->data<int32_t>());
    return y;
  }
  // The wider sums take b as (k, n), transposed back when given as (n, k).
  std::vector<int32_t> bt;
  const int32_t* b_rows = bp;
  if (transpose_b) {
    bt.resize(b.size());
    for (size_t q = 0; q < b_count; ++q)
      for (size_t i = 0; i < k; ++i)
        for (size_t col = 0; col < n; ++col) bt[(q * k + i) * n + col] = value(q, col, i);
    b_rows = bt.data();
  }
  if (acc == Accumulator::i64)
    multiply<int64_t>(ap, b_rows, batches, b_batched, m, n, k, shift, y->data<int32_t>());
  else
    multiply<int128>(ap, b_rows, batches, b_batched, m, n, k, shift, y->data<int32_t>());
  return y;
}

}  // namespace nuvra::ops
