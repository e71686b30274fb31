// Rows at the edges of the rounding shifts: every kernel that rounds a 32-, 64- or 128-bit sum,
// with values at the top of what each of its accumulators holds and shifts around where those
// values round to 0, 1 or -1 (halves on both sides of 0, and shifts past the width).
#include "reference_cases.h"

#include <nuvra/ops.h>

#include <cstdint>

namespace nuvra::test {

namespace ref = reference;

namespace {

using Dims = std::vector<uint32_t>;

constexpr int64_t kMin32 = INT32_MIN, kMax32 = INT32_MAX;

Values tensor(Dims dims, std::vector<int64_t> v) {
  Values t(std::move(dims));
  t.v = std::move(v);
  return t;
}

// Each value of a row, eight times over: one column per shift of `shifts`.
Values columns(const std::vector<int64_t>& rows) {
  std::vector<int64_t> v;
  for (int64_t r : rows) v.insert(v.end(), 8, r);
  return tensor({uint32_t(rows.size()), 8}, std::move(v));
}

}  // namespace

std::vector<ReferenceCase> rounding_rows() {
  std::vector<ReferenceCase> rows;
  const auto matmul = [&](const std::string& what, const Values& a, const Values& b,
                          std::initializer_list<int> shifts) {
    for (const int s : shifts)
      rows.push_back(make_case("matmul of " + what + " shift " + std::to_string(s), one([=] {
                                 const auto da = dense(a, TensorType::int32), db = dense(b, TensorType::int32);
                                 return values(*ops::matmul(*da, *db, s, false));
                               }),
                               one([=] { return ref::matmul(a, b, s, false); })));
  };
  // Sums within int32 from 16-bit operands (the product routes): 2^30, 2^30 - 1, -2^30,
  // -2^30 - 1 and 2^31 - 131068.
  matmul("int32 sums", tensor({1, 3}, {32767, 32767, 1}),
         tensor({3, 5}, {32767, 32767, -32767, -32767, 32767, 2, 2, -2, -2, 32767, 1, 0, -1, -2, 2}),
         {29, 30, 31, 32, 33, 61, 64});
  // 64-bit sums: +-2^60 and +-3 * 2^59; then -2^61 + 2^31, the most the 64-bit sums take.
  matmul("64-bit sums", tensor({2, 1}, {1 << 30, -3 * (1 << 29)}), tensor({1, 2}, {1 << 30, -(1 << 30)}),
         {59, 60, 61, 62, 63, 64});
  matmul("64-bit sums near 2^61", tensor({1, 2}, {kMin32, kMin32}), tensor({2, 1}, {(1 << 29) - 1, 1 << 29}),
         {60, 61, 62, 63, 100, INT32_MAX});
  // 2^60 again, in 128 bits (the zero term's operand widens the bound); then sums of 2^64 and
  // about -2^64.
  matmul("2^60 in 128 bits", tensor({1, 2}, {1 << 30, 0}), tensor({2, 1}, {1 << 30, kMax32}), {60, 61, 62});
  matmul("128-bit sums", tensor({2, 4}, {kMin32, kMin32, kMin32, kMin32, kMax32, kMax32, kMax32, kMax32}),
         tensor({4, 2}, {kMin32, kMax32, kMin32, kMax32, kMin32, kMax32, kMin32, kMax32}),
         {62, 63, 64, 65, 66, 126, 127, 128, INT32_MAX});

  const auto shiftmax = [&](const std::string& what, const Values& x, const Values& by, int input_shift, int bits) {
    rows.push_back(make_case("shiftmax of " + what + " at input shift " + std::to_string(input_shift) + " bits " +
                                 std::to_string(bits),
                             one([=] {
                               return values(*ops::shiftmax(*dense(x, TensorType::int32),
                                                            *dense(by, TensorType::uint8), input_shift, bits));
                             }),
                             one([=] { return ref::shiftmax(x, by, input_shift, bits); })));
  };
  // shiftmax: x << 60 (past 2^61 for 3, 2 and -2), then rounded >> input_shift; the terms stay
  // within 16 of each other.
  for (const int input_shift : {58, 59, 60, 61, 62, 63, 64})
    shiftmax("x << 60", tensor({2, 4}, {1, 0, -1, 3, 2, -2, 0, 1}), tensor({4}, {60, 60, 60, 59}), input_shift, 8);
  // x << s rounded >> input_shift is x rounded >> (input_shift - s), however far x << s lies past
  // 64 bits.
  shiftmax("2^30 and 2^29 << 40", tensor({1, 2}, {1 << 30, 1 << 29}), tensor({2}, {40, 40}), 55, 8);
  shiftmax("3 << 32 and 2^30 << 40", tensor({1, 2}, {3, 1 << 30}), tensor({2}, {32, 40}), 70, 2);
  // Columns whose exponents shift - input_shift run from -40 to 93: rounded right, held, and
  // shifted left past 64 bits, with terms equal or close across exponents (2^30 at 0, 1 and 4;
  // 2^30 + 16 against 2^30 + 32) and one past 2^64 against one past 2^93.
  const int64_t offsets[8] = {-40, -33, -1, 0, 1, 4, 34, 93};
  constexpr int64_t k30 = int64_t{1} << 30, k29 = int64_t{1} << 29, k26 = int64_t{1} << 26;
  const Values across = tensor({8, 8}, {
      kMax32, kMin32, 3,      k30,      k29,     k26,     0,      0,
      0,      0,      0,      0,        0,       0,       1,      -1,
      0,      0,      0,      k30 + 16, k29 + 8, k26 + 2, 0,      0,
      0,      0,      0,      0,        0,       0,       k30,    1,
      0,      0,      0,      kMax32,   0,       0,       1,      0,
      -1,     -1,     -1,     -1,       -1,      -1,      -1,     -1,
      kMax32, kMax32, kMax32, kMax32,   kMax32,  kMax32,  kMax32, kMax32,
      0,      0,      0,      0,        k29 + 8, k26 + 1, 0,      0,
  });
  for (const int input_shift : {40, 100, 162}) {
    std::vector<int64_t> by;
    for (const int64_t o : offsets) by.push_back(input_shift + o);
    for (const int bits : {8, 30}) shiftmax("exponents -40 to 93", across, tensor({8}, by), input_shift, bits);
  }

  // depthwise_like_conv: sums of 2^38 (one tap) and 2^39 (two), and of -127 and -254 times 2^31.
  const Values steps = tensor({3, 2}, {kMin32, kMin32, kMin32, kMin32, kMin32, kMin32});
  const Values taps = tensor({2, 2}, {-128, 127, -128, 127});
  for (const int s : {37, 38, 39, 40, 61, 64})
    rows.push_back(make_case("depthwise_like_conv of 2^39 shift " + std::to_string(s), one([=] {
                               return values(*ops::depthwise_like_conv(*dense(steps, TensorType::int32),
                                                                       *dense(taps, TensorType::int8), s));
                             }),
                             one([=] { return ref::depthwise_like_conv(steps, taps, s); })));

  // update_internal_state: decay * state of 2^46, -(2^31 - 1) * 2^15 and 32767.
  const Values state = tensor({3}, {kMin32, kMax32, 1}), input = tensor({3}, {0, -1, 1});
  const Values decay = tensor({3}, {-32768, -32768, 32767}), gain = tensor({1}, {3});
  for (const int s : {45, 46, 47, 61, 62, 64})
    rows.push_back(make_case("update_internal_state of 2^46 shift " + std::to_string(s), [=] {
                     const auto ds = dense(state, TensorType::int32), di = dense(input, TensorType::int32);
                     const auto [first, second] = ops::update_internal_state(
                         *ds, *di, *dense(decay, TensorType::int16), *dense(gain, TensorType::int16), s);
                     return std::vector<Values>{values(*first), values(*second)};
                   },
                   [=] {
                     const auto [first, second] = ref::update_internal_state(state, input, decay, gain, s);
                     return std::vector<Values>{first, second};
                   }));

  // global_average_pooling: means of -2^31 and 2^31 - 1.
  const Values pixels = tensor({1, 2, 2}, {kMin32, kMax32, kMin32, kMax32});
  for (const int s : {30, 31, 32, 33, 61, 64})
    rows.push_back(make_case("global_average_pooling of -2^31 shift " + std::to_string(s), one([=] {
                               return values(*ops::global_average_pooling(dense(pixels, TensorType::int32), s));
                             }),
                             one([=] { return ref::global_average_pooling(pixels, s); })));

  // add: sums of 2^32 - 2, -2^32, 2^31 and -2^31 - 1.
  const Values a = tensor({4}, {kMax32, kMin32, kMax32, kMin32}), b = tensor({4}, {kMax32, kMin32, 1, -1});
  for (const int s : {31, 32, 33, 34, 61, 62, 63, 64})
    rows.push_back(make_case("add of 2^32 shift " + std::to_string(s), one([=] {
                               return values(*ops::add(*dense(a, TensorType::int32), *dense(b, TensorType::int32), s));
                             }),
                             one([=] { return ref::add(a, b, s); })));

  // The element-wise shifts, one shift per column, over the ends of int32 and values near them.
  const Values x = columns({kMin32, kMax32, kMin32 + 1, -(int64_t{1} << 30), int64_t{1} << 30, -1, 1});
  const auto per_column = [&](const std::string& what, std::vector<int64_t> s, TensorType type,
                              const std::function<ops::DensePtr(const Dense&, const Dense&)>& engine,
                              const std::function<Values(const Values&, const Values&)>& reference) {
    const Values shifts = tensor({8}, std::move(s));
    rows.push_back(make_case(what + " at the ends of int32",
                             one([=] { return values(*engine(*dense(x, TensorType::int32), *dense(shifts, type))); }),
                             one([=] { return reference(x, shifts); })));
  };
  per_column(
      "lshift", {31, 32, 61, 62, 63, 64, 200, 255}, TensorType::uint8,
      [](const Dense& v, const Dense& s) { return ops::lshift(v, s, 0); },
      [](const Values& v, const Values& s) { return ref::lshift(v, s, 0); });
  per_column(
      "shift", {-31, -32, -33, -61, -62, -64, -128, 127}, TensorType::int8,
      [](const Dense& v, const Dense& s) { return ops::shift(v, s, 0); },
      [](const Values& v, const Values& s) { return ref::shift(v, s, 0); });
  per_column(
      "shift_out", {30, 31, 32, 33, 61, 62, 64, 127}, TensorType::int8,
      [](const Dense& v, const Dense& s) { return ops::shift_out(v, s, 31); },
      [](const Values& v, const Values& s) { return ref::shift_out(v, s, 31); });
  per_column(
      "rounded_rshift", {30, 31, 32, 33, 61, 62, 63, 255}, TensorType::uint8,
      [](const Dense& v, const Dense& s) { return ops::rounded_rshift(v, s, 0); },
      [](const Values& v, const Values& s) { return ref::rounded_rshift(v, s, 0); });
  // scale_out: products up to 255 * 2^31, just past 2^38 and 2^39.
  const Values scales = tensor({8}, {128, 129, 255, 128, 129, 255, 255, 255});
  per_column(
      "scale_out", {-38, -39, -40, -41, -61, -62, -63, -128}, TensorType::int8,
      [=](const Dense& v, const Dense& s) { return ops::scale_out(v, *dense(scales, TensorType::uint8), s, 32, 1); },
      [=](const Values& v, const Values& s) { return ref::scale_out(v, scales, s, 32, 1); });
  return rows;
}

}  // namespace nuvra::test
