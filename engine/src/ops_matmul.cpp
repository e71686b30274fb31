// Matrix product over the last two axes, with the shared dot-product core.
#include "ops_gemm.h"

#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

template <class P, class Acc>
void multiply(const P* a, const P* bt, size_t batches, bool b_batched, size_t m, size_t n,
              size_t k, int shift, int32_t* out) {
  const size_t rows = batch_rows(k, sizeof(P));
  std::vector<Acc> sums(std::is_same_v<Acc, int32_t> ? 0 : rows * n);
  for (size_t b = 0; b < batches; ++b) {
    const P* bm = bt + (b_batched ? b * n * k : 0);
    for (size_t r0 = 0; r0 < m; r0 += rows) {
      const size_t count = std::min(rows, m - r0);
      const P* am = a + (b * m + r0) * k;
      int32_t* dst = out + (b * m + r0) * n;
      if constexpr (std::is_same_v<Acc, int32_t>) {
        dot_rows(am, count, bm, n, k, dst, n);
        if (shift != 0)
          for (size_t i = 0; i < count * n; ++i) dst[i] = sat32(sshift<int64_t>(dst[i], -int64_t{shift}));
      } else {
        dot_rows<Acc>(am, count, bm, n, k, sums.data(), n);
        for (size_t i = 0; i < count * n; ++i) dst[i] = sat32(sshift<Acc>(sums[i], -int64_t{shift}));
      }
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

  // b as rows of k values, one per output column.
  const int32_t* ap = a.data<int32_t>();
  const int32_t* bp = b.data<int32_t>();
  std::vector<int32_t> bt(b.size());
  uint64_t largest = 0;
  for (size_t q = 0; q < b_count; ++q)
    for (size_t col = 0; col < n; ++col) {
      uint64_t sum = 0;
      for (size_t i = 0; i < k; ++i) {
        const int32_t v = transpose_b ? bp[(q * n + col) * k + i] : bp[(q * k + i) * n + col];
        bt[(q * n + col) * k + i] = v;
        sum += static_cast<uint64_t>(v < 0 ? -int64_t{v} : v);
      }
      largest = std::max(largest, sum);
    }
  Shape out = as;
  out[ar - 1] = static_cast<uint32_t>(n);
  DensePtr y = result(TensorType::int32, out);
  const uint64_t max_a = max_abs(ap, a.size());
  switch (choose_accumulator(max_a, max_abs(bp, b.size()), static_cast<unsigned __int128>(max_a) * largest)) {
    case Accumulator::i16: {
      const std::vector<int16_t> a16(ap, ap + a.size()), b16(bt.begin(), bt.end());
      multiply<int16_t, int32_t>(a16.data(), b16.data(), batches, b_batched, m, n, k, shift, y->data<int32_t>());
      break;
    }
    case Accumulator::i64:
      multiply<int32_t, int64_t>(ap, bt.data(), batches, b_batched, m, n, k, shift, y->data<int32_t>());
      break;
    case Accumulator::i128:
      multiply<int32_t, int128>(ap, bt.data(), batches, b_batched, m, n, k, shift, y->data<int32_t>());
      break;
  }
  return y;
}

}  // namespace nuvra::ops
