// The rows of the token and state kernels: heads, shiftmax, tokens, joins, slices, the FIFO, the
// temporal depthwise convolution, the state update and the filter linearisation.
#include "reference_cases.h"

#include <nuvra/ops.h>

namespace nuvra::test {

namespace ref = reference;

using Dims = std::vector<uint32_t>;

ReferenceCase sequence_row(Drawer& d) {
  const uint32_t t = uint32_t(d.uniform(1, 9)), width = d.one_in(2) ? d.channels() : uint32_t(d.uniform(1, 12));
  switch (d.uniform(0, 8)) {
    case 0: {
      std::vector<uint32_t> divisors;
      for (uint32_t h = 1; h <= width; ++h)
        if (width % h == 0) divisors.push_back(h);
      const uint32_t heads = d.one_in(6) ? uint32_t(d.uniform(0, width + 1))
                                         : divisors[size_t(d.uniform(0, int64_t(divisors.size()) - 1))];
      const Values x = d.tensor({t, width}, INT32_MIN, INT32_MAX);
      return make_case("separate_heads " + dims_text(x.shape) + " heads " + std::to_string(heads),
                       one([=] { return values(*ops::separate_heads(*dense(x, TensorType::int32), heads)); }),
                       one([=] { return ref::separate_heads(x, heads); }));
    }
    case 1: {
      // Spreads of z within 30 bits: small values and shifts, or large values shifted far right.
      const bool small = d.one_in(2);
      const Dims dims = d.one_in(2) ? Dims{t, width} : Dims{2, t, width};
      const Values x = small ? d.tensor(dims, -7, 7) : d.tensor(dims, -1000, 1000);
      const Values shifts = d.tensor(Dims(dims.end() - 1, dims.end()), 0, small ? 1 : 0);
      const int input_shift = int(small ? d.uniform(0, 3) : d.uniform(7, 9));
      const int bits = int(d.one_in(10) ? d.one_of({0, 31}) : d.uniform(1, 30));
      return make_case("shiftmax " + dims_text(dims) + " input shift " + std::to_string(input_shift) + " bits " +
                           std::to_string(bits),
                       one([=] {
                         return values(*ops::shiftmax(*dense(x, TensorType::int32), *dense(shifts, TensorType::uint8),
                                                      input_shift, bits));
                       }),
                       one([=] { return ref::shiftmax(x, shifts, input_shift, bits); }));
    }
    case 2: {
      std::string label = "depthwise_like_conv (" + std::to_string(t) + "," + std::to_string(width) + ")";
      const auto [lo, hi] = d.input_range(&label);
      const uint32_t taps = uint32_t(d.uniform(1, 6));
      const int shift = int(d.uniform(-2, 16));
      label += " taps " + std::to_string(taps) + " shift " + std::to_string(shift);
      const Values x = d.tensor({t, width}, lo, hi), w = d.tensor({taps, width}, -128, 127);
      return make_case(
          label, one([=] {
            return values(*ops::depthwise_like_conv(*dense(x, TensorType::int32), *dense(w, TensorType::int8), shift));
          }),
          one([=] { return ref::depthwise_like_conv(x, w, shift); }));
    }
    case 3: {
      const Dims dims = d.one_in(2) ? Dims{t, width} : Dims{width};
      const Values state = d.tensor(dims, INT32_MIN, INT32_MAX), input = d.tensor(dims, -70000, 70000);
      const Values decay = d.tensor({d.one_in(2) ? width : 1}, -32768, 32767);
      const Values gain = d.tensor({d.one_in(2) ? width : 1}, -32768, 32767);
      const int shift = int(d.uniform(-2, 20));
      return make_case(
          "update_internal_state " + dims_text(dims) + " shift " + std::to_string(shift),
          [=] {
            const auto [first, second] =
                ops::update_internal_state(*dense(state, TensorType::int32), *dense(input, TensorType::int32),
                                           *dense(decay, TensorType::int16), *dense(gain, TensorType::int16), shift);
            return std::vector<Values>{values(*first), values(*second)};
          },
          [=] {
            const auto [first, second] = ref::update_internal_state(state, input, decay, gain, shift);
            return std::vector<Values>{first, second};
          });
    }
    case 4: {
      const uint32_t n = uint32_t(d.uniform(1, 4));
      const int count = int(d.uniform(0, n));
      const Values x = d.tensor(d.one_in(2) ? Dims{t, width} : Dims{1, t, width}, INT32_MIN, INT32_MAX);
      const Values tokens = d.tensor({n, width}, -128, 127);
      const Values shifts = d.tensor(d.one_in(2) ? Dims{width} : Dims{n, 1}, 0, d.one_in(4) ? 255 : 20);
      return make_case(
          "concat_token " + dims_text(x.shape) + " tokens " + std::to_string(n) + " count " + std::to_string(count),
          one([=] {
            return values(*ops::concat_token(*dense(x, TensorType::int32), *dense(tokens, TensorType::int8),
                                             *dense(shifts, TensorType::uint8), count));
          }),
          one([=] { return ref::concat_token(x, tokens, shifts, count); }));
    }
    case 5: {
      Dims dims{t};
      for (int64_t r = d.uniform(0, 3); r > 0; --r) dims.push_back(uint32_t(d.uniform(1, 5)));
      const uint32_t axis = uint32_t(d.uniform(0, int64_t(dims.size()) - 1));
      const int64_t length = dims[axis];
      // Half the time to the end or past it.
      const int begin = int(d.uniform(-length - 2, length + 2));
      const int end = int(d.one_in(2) ? length + d.uniform(0, 2) : d.uniform(-length - 2, length + 2));
      const Values x = d.tensor(dims, INT32_MIN, INT32_MAX);
      return make_case("extract_token " + dims_text(dims) + " [" + std::to_string(begin) + ", " + std::to_string(end) +
                           ") axis " + std::to_string(axis),
                       one([=] { return values(*ops::extract_token(*dense(x, TensorType::int32), begin, end, axis)); }),
                       one([=] { return ref::extract_token(x, begin, end, axis); }));
    }
    case 6: {
      std::vector<Values> parts;
      for (int64_t k = d.uniform(1, 3); k > 0; --k)
        parts.push_back(d.tensor({t, uint32_t(d.uniform(1, 9))}, INT32_MIN, INT32_MAX));
      return make_case("concatenate_last_dim of " + std::to_string(parts.size()), one([=] {
                         std::vector<ops::ConstDensePtr> list;
                         for (const Values& p : parts) list.push_back(dense(p, TensorType::int32));
                         return values(*ops::concatenate_last_dim(list));
                       }),
                       one([=] { return ref::concatenate_last_dim(parts); }));
    }
    case 7: {
      const Dims entry = d.one_in(2) ? Dims{width} : Dims{2, width};
      Dims dims{t};
      dims.insert(dims.end(), entry.begin(), entry.end());
      const Values fifo = d.tensor(dims, -128, 127), frame = d.tensor(entry, -128, 127);
      return make_case("fifo_op " + dims_text(dims), one([=] {
                         const auto f = dense(fifo, TensorType::int8);
                         ops::fifo_op(f.get(), *dense(frame, TensorType::int8));
                         return values(*f);
                       }),
                       one([=] { return ref::fifo_op(fifo, frame); }));
    }
    default: {
      const Values w = d.tensor({uint32_t(d.uniform(1, 4)), uint32_t(d.uniform(1, 4)), width, d.channels()}, -128, 127);
      return make_case("linearize_filters " + dims_text(w.shape),
                       one([=] { return values(*ops::linearize_filters(*dense(w, TensorType::int8))); }),
                       one([=] { return ref::linearize_filters(w); }));
    }
  }
}

}  // namespace nuvra::test
