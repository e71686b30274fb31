// The kernel rows: each draws one call of a nuvra::ops kernel, sized to stay quick.
#include "reference_cases.h"

#include <nuvra/ops.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace nuvra::test {

namespace ref = reference;

using Dims = std::vector<uint32_t>;

Outcome outcome(const std::function<std::vector<Values>()>& f) {
  try {
    return {f(), ""};
  } catch (const std::invalid_argument& e) {
    return {{}, e.what()};
  }
}

std::shared_ptr<Dense> dense(const Values& v, TensorType type) {
  Shape s;
  for (uint32_t d : v.shape) s.push_back(d);
  auto t = Dense::create(type, s);
  for (size_t i = 0; i < v.size(); ++i) {
    const int64_t x = v.v[i];
    switch (type) {
      case TensorType::int32: t->data<int32_t>()[i] = static_cast<int32_t>(x); break;
      case TensorType::float32: {
        const auto bits = static_cast<uint32_t>(x);
        std::memcpy(t->data<float>() + i, &bits, sizeof bits);
        break;
      }
      case TensorType::int16: t->data<int16_t>()[i] = static_cast<int16_t>(x); break;
      case TensorType::int8: t->data<int8_t>()[i] = static_cast<int8_t>(x); break;
      default: t->data<uint8_t>()[i] = static_cast<uint8_t>(x); break;
    }
  }
  return t;
}

Values values(const Dense& t) {
  Dims dims;
  for (size_t d = 0; d < t.shape().size(); ++d) dims.push_back(t.shape()[d]);
  Values v(dims);
  for (size_t i = 0; i < v.size(); ++i) {
    switch (t.type()) {
      case TensorType::int32: v.v[i] = t.data<int32_t>()[i]; break;
      case TensorType::float32: {
        uint32_t bits;
        std::memcpy(&bits, t.data<float>() + i, sizeof bits);
        v.v[i] = bits;
        break;
      }
      case TensorType::int16: v.v[i] = t.data<int16_t>()[i]; break;
      case TensorType::int8: v.v[i] = t.data<int8_t>()[i]; break;
      default: v.v[i] = t.data<uint8_t>()[i]; break;
    }
  }
  return v;
}

int64_t Drawer::value(int64_t lo, int64_t hi) {
  switch (d_.below(6)) {
    case 0: return lo;
    case 1: return hi;
    default: return d_.range(lo, hi);
  }
}

uint32_t Drawer::channels() { return d_.one_of({1u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 48u, 65u}); }

uint32_t Drawer::size() { return static_cast<uint32_t>(one_in(8) ? d_.range(14, 24) : d_.range(1, 13)); }

std::pair<int64_t, int64_t> Drawer::range_of(int bits, bool is_signed) {
  if (!is_signed) return {0, (int64_t{1} << bits) - 1};
  return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
}

std::pair<int64_t, int64_t> Drawer::input_range(std::string* label) {
  const bool is_signed = one_in(2);
  const int bits = static_cast<int>(one_in(8) ? d_.range(17, 31) : d_.range(1, 16));
  *label += std::string(is_signed ? " s" : " u") + std::to_string(bits);
  const auto [lo, hi] = range_of(bits, is_signed);
  if (!is_signed) return {lo, hi};
  // Now and then negative values only (their magnitude bounds the sums), or without the lowest
  // one (which has no positive counterpart).
  if (one_in(5)) return *label += " negative", std::pair<int64_t, int64_t>{lo, -1};
  if (one_in(4)) return *label += " symmetric", std::pair<int64_t, int64_t>{lo + 1, hi};
  return {lo, hi};
}

std::pair<int64_t, int64_t> Drawer::weight_range() {
  if (!one_in(3)) return {-128, 127};
  const int64_t m = d_.range(1, 8);
  return {-m, m};
}

Values Drawer::tensor(Dims dims, int64_t lo, int64_t hi) {
  Values t(std::move(dims));
  for (auto& v : t.v) v = value(lo, hi);
  return t;
}

ReferenceCase make_case(std::string label, Run engine, Run reference) {
  return {std::move(label), [engine] { return outcome(engine); }, [reference] { return outcome(reference); }};
}

Run one(std::function<Values()> f) {
  return [f] { return std::vector<Values>{f()}; };
}

std::string dims_text(const Dims& d) {
  std::string s = "(";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) s += ",";
    s += std::to_string(d[i]);
  }
  return s + ")";
}

namespace {

// Multiply-adds a kernel row may take: quick under the sanitizers too.
constexpr uint64_t kBudget = 400000;

// Output size of one axis: the windows from -pad_before to the input's end plus pad_after.
uint32_t out_size(uint32_t size, int64_t pad_before, int64_t pad_after, uint32_t kernel, int64_t stride) {
  const int64_t span = int64_t{size} + pad_before + pad_after - kernel;
  return span < 0 ? 1 : static_cast<uint32_t>(span / stride + 1);
}

// A window sweep over (x, y) drawn within `budget` multiply-adds of `depth_per_tap` each.
struct Geometry {
  uint32_t x, y, kw, kh;
  int sx, sy, pad_left, pad_top;
  uint32_t out_w, out_h;
  std::string text() const {
    return " in " + std::to_string(x) + "x" + std::to_string(y) + " k " + std::to_string(kw) + "x" +
           std::to_string(kh) + " stride " + std::to_string(sx) + "," + std::to_string(sy) + " pad " +
           std::to_string(pad_left) + "," + std::to_string(pad_top) + " out " + std::to_string(out_w) + "x" +
           std::to_string(out_h);
  }
};
Geometry geometry(Drawer& d, uint64_t depth_per_tap, uint64_t budget, uint32_t max_kernel = 7) {
  Geometry g{};
  g.x = d.size(), g.y = d.size();
  g.kw = uint32_t(d.uniform(1, max_kernel)), g.kh = uint32_t(d.uniform(1, max_kernel));
  // The largest of the sizes shrinks until the work fits.
  while (uint64_t{g.x} * g.y * g.kw * g.kh * depth_per_tap > budget && (g.x > 1 || g.y > 1 || g.kw > 1 || g.kh > 1)) {
    uint32_t* largest = &g.x;
    for (uint32_t* p : {&g.y, &g.kw, &g.kh}) largest = *p > *largest ? p : largest;
    *largest -= (*largest + 2) / 3;
  }
  g.sx = int(d.uniform(1, 2));
  g.sy = int(d.uniform(1, 2));
  // Each side padded or not on its own: -1 crops the input; kw leaves the first windows wholly
  // outside it.
  const auto pad = [&d](int64_t lo, int64_t hi) { return d.one_in(2) ? 0 : d.uniform(lo, hi); };
  g.pad_left = int(pad(-1, g.kw));
  g.pad_top = int(pad(-1, g.kh));
  g.out_w = out_size(g.x, g.pad_left, pad(-1, g.kw - 1), g.kw, g.sx);
  g.out_h = out_size(g.y, g.pad_top, pad(-1, g.kh - 1), g.kh, g.sy);
  return g;
}

// Now and then a stride or an output size the kernels must refuse.
void spoil(Drawer& d, Geometry& g, std::string& label) {
  if (!d.one_in(12)) return;
  switch (d.uniform(0, 2)) {
    case 0: g.sx = 0; break;
    case 1: g.sy = int(d.uniform(-1, 0)); break;
    default: g.out_h = 0; break;
  }
  label += " (refused)";
}

ReferenceCase conv_row(Drawer& d) {
  const uint32_t c = d.channels(), f = d.channels();
  Geometry g = geometry(d, uint64_t{c} * f, kBudget);
  std::string label = "conv2d_v2 c " + std::to_string(c) + " f " + std::to_string(f) + g.text();
  const auto [lo, hi] = d.input_range(&label);
  const auto [wlo, whi] = d.weight_range();
  const int pad = int(d.one_in(4) ? d.uniform(-300, 300) : d.value(lo, std::min<int64_t>(hi, INT32_MAX)));
  label += " w " + std::to_string(whi) + " pad value " + std::to_string(pad);
  spoil(d, g, label);
  const Values in = d.tensor({g.x, g.y, c}, lo, hi), w = d.tensor({g.kw, g.kh, c, f}, wlo, whi);
  return make_case(
      label, one([=] {
        return values(*ops::conv2d_v2(*dense(in, TensorType::int32), g.sx, g.sy, g.pad_left, g.pad_top, g.out_w,
                                      g.out_h, *dense(w, TensorType::int8), pad));
      }),
      one([=] { return ref::conv2d_v2(in, g.sx, g.sy, g.pad_left, g.pad_top, g.out_w, g.out_h, w, pad); }));
}

ReferenceCase depthwise_row(Drawer& d) {
  // Whole runs of 16 channels half the time: the vector route then takes every channel.
  const uint32_t c = d.one_in(2) ? d.one_of({16u, 32u, 48u}) : d.channels();
  Geometry g = geometry(d, c, kBudget);
  std::string label = "depthwise_conv2d c " + std::to_string(c) + g.text();
  const auto [lo, hi] = d.input_range(&label);
  const auto [wlo, whi] = d.weight_range();
  label += " w " + std::to_string(whi);
  spoil(d, g, label);
  const Values in = d.tensor({g.x, g.y, c}, lo, hi), w = d.tensor({g.kw, g.kh, 1, c}, wlo, whi);
  return make_case(
      label, one([=] {
        return values(*ops::depthwise_conv2d(*dense(in, TensorType::int32), g.sx, g.sy, g.pad_left, g.pad_top, g.out_w,
                                             g.out_h, *dense(w, TensorType::int8)));
      }),
      one([=] { return ref::depthwise_conv2d(in, g.sx, g.sy, g.pad_left, g.pad_top, g.out_w, g.out_h, w); }));
}

ReferenceCase input_conv_row(Drawer& d) {
  const uint32_t c = d.one_in(2) ? uint32_t(d.uniform(1, 4)) : d.channels(), f = d.channels();
  Geometry g = geometry(d, uint64_t{c} * f, kBudget);
  const bool per_channel = d.one_in(2);
  std::string label = "input_conv2d c " + std::to_string(c) + " f " + std::to_string(f) + g.text() +
                      (per_channel ? " pads per channel" : " one pad");
  spoil(d, g, label);
  const Values in = d.tensor({g.x, g.y, c}, 0, 255), pads = d.tensor({per_channel ? c : 1}, 0, 255);
  const auto [wlo, whi] = d.weight_range();
  const Values filters = d.tensor({f, g.kw * g.kh * c}, wlo, whi);
  // The bottom and right pads are implied by the output size: any value does.
  const int pad_bottom = int(d.uniform(0, 3)), pad_right = int(d.uniform(0, 3));
  return make_case(label, one([=] {
                     return values(*ops::input_conv2d(*dense(in, TensorType::uint8), *dense(pads, TensorType::uint8),
                                                      static_cast<signed char>(g.sx), static_cast<signed char>(g.sy),
                                                      g.pad_top, pad_bottom, g.pad_left, pad_right, g.out_w, g.out_h,
                                                      g.kw, g.kh, *dense(filters, TensorType::int8)));
                   }),
                   one([=] {
                     return ref::input_conv2d(in, pads, g.sx, g.sy, g.pad_top, g.pad_left, g.out_w, g.out_h, g.kw, g.kh,
                                              filters);
                   }));
}

ReferenceCase stem_row(Drawer& d) {
  const uint32_t k = uint32_t(d.uniform(1, 6)), c = uint32_t(d.uniform(1, 3)), f = d.channels();
  const uint32_t x = k + uint32_t(d.uniform(0, 2 * k + 3)), y = k + uint32_t(d.uniform(0, 2 * k + 3));
  int stride = int(d.uniform(1, k));
  std::string label = "stem_conv " + dims_text({x, y, c}) + " patch " + std::to_string(k) + " f " + std::to_string(f);
  if (d.one_in(12)) stride = 0, label += " (refused)";
  label += " stride " + std::to_string(stride);
  const Values in = d.tensor({x, y, c}, 0, 255), w = d.tensor({k, k, c, f}, -128, 127);
  return make_case(label, one([=] {
                     return values(*ops::stem_conv(*dense(in, TensorType::uint8), *dense(w, TensorType::int8), stride));
                   }),
                   one([=] { return ref::stem_conv(in, w, stride); }));
}

ReferenceCase transposed_row(Drawer& d) {
  const bool per_channel = d.one_in(3);
  const uint32_t c = d.channels(), f = per_channel ? c : d.channels();
  const uint32_t kw = uint32_t(d.uniform(1, 5)), kh = uint32_t(d.uniform(1, 5));
  uint32_t x = uint32_t(d.uniform(1, 8)), y = uint32_t(d.uniform(1, 8));
  while (uint64_t{x} * y * kw * kh * (per_channel ? c : uint64_t{c} * f) > kBudget) (x > y ? x : y) -= 1;
  int stride = int(d.uniform(1, 3));
  const int pad_x = int(d.uniform(0, kw)), pad_y = int(d.uniform(0, kh));
  const uint32_t out_x = std::max<int64_t>(1, stride * x + d.uniform(-1, 1));
  const uint32_t out_y = std::max<int64_t>(1, stride * y + d.uniform(-1, 1));
  std::string label = "conv2d_transpose " + dims_text({x, y, c}) + " w " + dims_text({kw, kh, per_channel ? 1 : c, f}) +
                      " pad " + std::to_string(pad_x) + "," + std::to_string(pad_y) + " out " + std::to_string(out_x) +
                      "x" + std::to_string(out_y);
  const auto [lo, hi] = d.input_range(&label);
  if (d.one_in(12)) stride = 0, label += " (refused)";
  label += " stride " + std::to_string(stride);
  const auto [wlo, whi] = d.weight_range();
  const Values in = d.tensor({x, y, c}, lo, hi), w = d.tensor({kw, kh, per_channel ? 1 : c, f}, wlo, whi);
  return make_case(label, one([=] {
                     return values(*ops::conv2d_transpose(*dense(in, TensorType::int32), *dense(w, TensorType::int8),
                                                          stride, pad_x, pad_y, out_x, out_y));
                   }),
                   one([=] { return ref::conv2d_transpose(in, w, stride, pad_x, pad_y, out_x, out_y); }));
}

ReferenceCase matmul_row(Drawer& d) {
  Dims a_dims;
  const size_t rank = size_t(d.uniform(2, 4));
  for (size_t i = 0; i + 2 < rank; ++i) a_dims.push_back(uint32_t(d.uniform(1, 3)));
  const uint32_t lead = std::max<uint32_t>(1, [&] {
    uint32_t n = 1;
    for (uint32_t v : a_dims) n *= v;
    return n;
  }());
  uint32_t m = d.size(), k = d.one_in(2) ? d.channels() : uint32_t(d.uniform(1, 40)), n = d.channels();
  while (uint64_t{lead} * m * k * n > kBudget) (m > k ? m : k) -= 1;
  a_dims.push_back(m);
  a_dims.push_back(k);
  const bool batched_b = rank > 2 && d.one_in(2), transpose_b = d.one_in(2);
  Dims b_dims = batched_b ? Dims(a_dims.begin(), a_dims.end() - 2) : Dims{};
  b_dims.push_back(transpose_b ? n : k);
  b_dims.push_back(transpose_b ? k : n);
  const int shift = int(d.one_of({0, 1, 2}) == 0 ? 0 : d.one_in(2) ? d.uniform(-6, -1) : d.uniform(1, 24));
  std::string label = "matmul " + dims_text(a_dims) + " x " + dims_text(b_dims) + (transpose_b ? " transposed" : "") +
                      " shift " + std::to_string(shift);
  const auto [lo, hi] = d.input_range(&label);
  // b as int8 filters, as 16-bit values (int16 rows only; -32768 is past them), or wider.
  auto [blo, bhi] = d.one_in(2) ? d.weight_range() : Drawer::range_of(int(d.one_in(3) ? 20 : 16), true);
  if (bhi == 32767 && d.one_in(2)) blo = -32767;
  label += " b " + std::to_string(bhi);
  const Values a = d.tensor(a_dims, lo, hi), b = d.tensor(b_dims, blo, bhi);
  return make_case(
      label, one([=] {
        return values(*ops::matmul(*dense(a, TensorType::int32), *dense(b, TensorType::int32), shift, transpose_b));
      }),
      one([=] { return ref::matmul(a, b, shift, transpose_b); }));
}

ReferenceCase pooling_row(Drawer& d) {
  const uint32_t c = d.channels();
  if (d.one_in(4)) {
    const Dims dims{d.size(), d.size(), c};
    const int shift = int(d.uniform(-3, 10));
    std::string label = "global_average_pooling " + dims_text(dims) + " shift " + std::to_string(shift);
    const auto [lo, hi] = d.input_range(&label);
    const Values in = d.tensor(dims, lo, hi);
    return make_case(label,
                     one([=] { return values(*ops::global_average_pooling(dense(in, TensorType::int32), shift)); }),
                     one([=] { return ref::global_average_pooling(in, shift); }));
  }
  Geometry g = geometry(d, c, kBudget, 4);
  g.sx = int(d.uniform(1, 3));
  g.sy = int(d.uniform(1, 3));
  // A window of width or height 0 holds no position.
  int pool_w = d.one_in(10) ? 0 : int(g.kw), pool_h = d.one_in(10) ? 0 : int(g.kh);
  const bool global = d.one_in(8);
  const int empty = int(d.one_in(3) ? INT32_MIN : d.uniform(-1000, 1000));
  std::string label = std::string("max_pooling") + (global ? " global" : "") + " c " + std::to_string(c) + g.text() +
                      " window " + std::to_string(pool_w) + "x" + std::to_string(pool_h) + " empty " +
                      std::to_string(empty);
  if (d.one_in(10)) pool_h = -int(d.uniform(1, 3)), label += " negative height";
  spoil(d, g, label);
  const auto [lo, hi] = d.input_range(&label);
  const Values in = d.tensor({g.x, g.y, c}, lo, hi);
  return make_case(label, one([=] {
                     return values(*ops::max_pooling(dense(in, TensorType::int32), static_cast<signed char>(pool_w),
                                                     static_cast<signed char>(pool_h), global, g.out_w, g.out_h,
                                                     static_cast<signed char>(g.sx), static_cast<signed char>(g.sy),
                                                     g.pad_top, 0, g.pad_left, 0, empty));
                   }),
                   one([=] {
                     return ref::max_pooling(in, pool_w, pool_h, global, g.out_w, g.out_h, g.sx, g.sy, g.pad_top,
                                             g.pad_left, empty);
                   }));
}

// An operand of a shape that broadcasts to `dims`: its last dimensions, some of them 1.
Dims broadcast_dims(Drawer& d, const Dims& dims) {
  Dims out(dims.end() - d.uniform(1, int64_t(dims.size())), dims.end());
  for (auto& v : out)
    if (d.one_in(3)) v = 1;
  return out;
}

ReferenceCase elementwise_row(Drawer& d) {
  Dims dims;
  for (int64_t r = d.uniform(1, 4); r > 1; --r) dims.push_back(uint32_t(d.uniform(1, 4)));
  dims.push_back(d.one_in(2) ? d.channels() : uint32_t(d.uniform(1, 5)));
  // Whole int32, or small values whose shifts often land on halves.
  const int64_t most = d.one_of<int64_t>({INT32_MAX, 70000, 40});
  const Values x = d.tensor(dims, most == INT32_MAX ? INT32_MIN : -most, most);
  const Dims b_dims = broadcast_dims(d, dims);
  int bits = int(d.uniform(-1, 33));
  const bool refused = d.one_in(4);
  std::string label = dims_text(dims) + " with " + dims_text(b_dims);
  const auto make_op = [&](std::string name, Run engine, Run reference) {
    return make_case(name + " " + label + " bits " + std::to_string(bits) + (refused ? " (refused?)" : ""), engine,
                     reference);
  };
  switch (d.uniform(0, 10)) {
    case 0: {
      const Values s = d.tensor(b_dims, 0, d.one_in(4) ? 255 : 40);
      return make_op("lshift", one([=] {
                       return values(*ops::lshift(*dense(x, TensorType::int32), *dense(s, TensorType::uint8), bits));
                     }),
                     one([=] { return ref::lshift(x, s, bits); }));
    }
    case 1: {
      const Values s = d.one_in(4) ? d.tensor(b_dims, -128, 127) : d.tensor(b_dims, -40, 40);
      return make_op("shift", one([=] {
                       return values(*ops::shift(*dense(x, TensorType::int32), *dense(s, TensorType::int8), bits));
                     }),
                     one([=] { return ref::shift(x, s, bits); }));
    }
    case 2: {
      bits = refused ? int(d.one_in(2) ? 0 : 32) : int(d.uniform(1, 31));
      const Values s = d.tensor(b_dims, -40, 40);
      return make_op("shift_out", one([=] {
                       return values(*ops::shift_out(*dense(x, TensorType::int32), *dense(s, TensorType::int8), bits));
                     }),
                     one([=] { return ref::shift_out(x, s, bits); }));
    }
    case 3: {
      const Values b = d.tensor(b_dims, INT32_MIN, INT32_MAX);
      const int shift = int(d.uniform(-3, 33));
      return make_op("add shift " + std::to_string(shift), one([=] {
                       return values(*ops::add(*dense(x, TensorType::int32), *dense(b, TensorType::int32), shift));
                     }),
                     one([=] { return ref::add(x, b, shift); }));
    }
    case 4: {
      Values b = d.tensor(b_dims, -70000, 70000);
      for (auto& v : b.v) v = v == 0 ? -1 : v;
      if (refused) b.v[d.one_in(2) ? b.size() - 1 : size_t(d.uniform(0, int64_t(b.size()) - 1))] = 0;
      return make_op("divide", one([=] {
                       return values(*ops::divide(*dense(x, TensorType::int32), *dense(b, TensorType::int32)));
                     }),
                     one([=] { return ref::divide(x, b); }));
    }
    case 5: {
      Values m = d.tensor(b_dims, 0, d.one_in(2) ? INT32_MAX : 3000);
      if (refused)
        m.v[d.one_in(2) ? m.size() - 1 : size_t(d.uniform(0, int64_t(m.size()) - 1))] = d.one_in(2) ? -1 : INT32_MIN;
      return make_op("relu_activation", one([=] {
                       return values(*ops::relu_activation(*dense(x, TensorType::int32), *dense(m, TensorType::int32)));
                     }),
                     one([=] { return ref::relu_activation(x, m); }));
    }
    case 6: {
      const Values table = d.tensor(broadcast_dims(d, dims), INT32_MIN, INT32_MAX);
      const Values index = d.tensor(dims, -3, int64_t(table.size()) + 2);
      return make_op("look_up", one([=] {
                       return values(*ops::look_up(*dense(index, TensorType::int32), *dense(table, TensorType::int32)));
                     }),
                     one([=] { return ref::look_up(index, table); }));
    }
    case 7: {
      const int is_signed = int(d.uniform(0, 1));
      bits = refused ? int(d.one_in(2) ? 0 : 32 + is_signed) : int(d.uniform(1, 31 + is_signed));
      const Values scales = d.tensor(broadcast_dims(d, dims), 0, 255), shifts = d.tensor(b_dims, -40, 20);
      return make_op(is_signed ? "scale_out signed" : "scale_out unsigned", one([=] {
                       return values(*ops::scale_out(*dense(x, TensorType::int32), *dense(scales, TensorType::uint8),
                                                     *dense(shifts, TensorType::int8), bits, is_signed));
                     }),
                     one([=] { return ref::scale_out(x, scales, shifts, bits, is_signed); }));
    }
    case 8: {
      const Values s = d.tensor(b_dims, 0, d.one_in(4) ? 255 : 40);
      return make_op(
          "rounded_rshift", one([=] {
            return values(*ops::rounded_rshift(*dense(x, TensorType::int32), *dense(s, TensorType::uint8), bits));
          }),
          one([=] { return ref::rounded_rshift(x, s, bits); }));
    }
    case 9: {
      const int axis = int(d.uniform(-int64_t(dims.size()), int64_t(dims.size()) - 1));
      return make_op("sum_abs axis " + std::to_string(axis),
                     one([=] { return values(*ops::sum_abs(*dense(x, TensorType::int32), axis)); }),
                     one([=] { return ref::sum_abs(x, axis); }));
    }
    default: {
      Values scales(b_dims);
      for (auto& v : scales.v) {
        const float f = d.one_of({0.5f, -1.25f, 3.0f, 1e-3f, 0.0f, -7.75f, 1.0f / 3});
        uint32_t pattern;
        std::memcpy(&pattern, &f, sizeof pattern);
        v = pattern;
      }
      return make_op(
          "dequantize", one([=] {
            return values(*ops::dequantize(*dense(x, TensorType::int32), *dense(scales, TensorType::float32)));
          }),
          one([=] { return ref::dequantize(x, scales); }));
    }
  }
}

// Rows at edges the draws seldom meet. Sums at the int32 bound, where the kernels change
// accumulators: every value at the end of its range, so that the largest possible sum is the one
// made, once just within int32 and once past it (saturated); values just past a byte or int16; a
// refusal decided by the last value alone; windows past the input on one side only.
std::vector<ReferenceCase> edge_rows() {
  const auto filled = [](Dims dims, int64_t v) {
    Values t(std::move(dims));
    std::fill(t.v.begin(), t.v.end(), v);
    return t;
  };
  std::vector<ReferenceCase> rows;
  // conv2d_v2: 32767 x 128 x depth passes 2^31 from a depth of 513 on.
  for (const auto& [c, k] : {std::pair{32u, 4u}, {65u, 3u}}) {
    const Values in = filled({2, 2, c}, 32767);
    Values w = filled({k, k, c, 2}, -128);
    for (size_t i = 1; i < w.size(); i += 2) w.v[i] = 127;
    rows.push_back(make_case("conv2d_v2 at the int32 bound, depth " + std::to_string(k * k * c), one([=] {
                               return values(*ops::conv2d_v2(*dense(in, TensorType::int32), 1, 1, 1, 1, 2, 2,
                                                             *dense(w, TensorType::int8), 32767));
                             }),
                             one([=] { return ref::conv2d_v2(in, 1, 1, 1, 1, 2, 2, w, 32767); })));
  }
  // matmul: 32767 x 32767 x k passes 2^31 from k = 3 on.
  for (const uint32_t k : {2u, 3u}) {
    const Values a = filled({2, k}, 32767);
    Values b = filled({k, 2}, 32767);
    for (size_t i = 1; i < b.size(); i += 2) b.v[i] = -32767;
    rows.push_back(make_case(
        "matmul at the int32 bound, depth " + std::to_string(k),
        one([=] { return values(*ops::matmul(*dense(a, TensorType::int32), *dense(b, TensorType::int32), 0, false)); }),
        one([=] { return ref::matmul(a, b, 0, false); })));
  }
  // conv2d_transpose: 16 taps of 33 channels reach the middle of the output.
  for (const int64_t v : {32767, -32768}) {
    const Values in = filled({4, 4, 33}, v), w = filled({4, 4, 33, 1}, 127);
    rows.push_back(make_case("conv2d_transpose at the int32 bound, inputs " + std::to_string(v), one([=] {
                               return values(*ops::conv2d_transpose(*dense(in, TensorType::int32),
                                                                    *dense(w, TensorType::int8), 1, 0, 0, 7, 7));
                             }),
                             one([=] { return ref::conv2d_transpose(in, w, 1, 0, 0, 7, 7); })));
  }
  // conv2d_v2 of -129 and 127: one value past the signed bytes.
  Values mixed({3, 3, 8});
  for (size_t i = 0; i < mixed.size(); ++i) mixed.v[i] = i % 3 ? 127 : -129;
  Values taps({3, 3, 8, 3});
  for (size_t i = 0; i < taps.size(); ++i) taps.v[i] = int64_t(i % 7) - 3;
  rows.push_back(make_case("conv2d_v2 of -129 and 127", one([=] {
                             return values(*ops::conv2d_v2(*dense(mixed, TensorType::int32), 1, 1, 1, 1, 3, 3,
                                                           *dense(taps, TensorType::int8), 0));
                           }),
                           one([=] { return ref::conv2d_v2(mixed, 1, 1, 1, 1, 3, 3, taps, 0); })));
  const Values x = filled({2, 3}, 9);
  Values bounds({3});
  bounds.v = {4, 0, -1};
  rows.push_back(
      make_case("relu_activation with the last bound negative", one([=] {
                  return values(*ops::relu_activation(*dense(x, TensorType::int32), *dense(bounds, TensorType::int32)));
                }),
                one([=] { return ref::relu_activation(x, bounds); })));
  // depthwise_conv2d: values past int16 (negative only, sums within int32 and past it), and
  // windows that reach past the input only at the top.
  const auto add_depthwise = [&](std::string label, Values in, Values w, int pad_left, int pad_top, uint32_t out_w,
                                 uint32_t out_h) {
    rows.push_back(make_case(label, one([=] {
                               return values(*ops::depthwise_conv2d(*dense(in, TensorType::int32), 1, 1, pad_left,
                                                                    pad_top, out_w, out_h,
                                                                    *dense(w, TensorType::int8)));
                             }),
                             one([=] { return ref::depthwise_conv2d(in, 1, 1, pad_left, pad_top, out_w, out_h, w); })));
  };
  for (const int64_t v : {int64_t{-40000}, -(int64_t{1} << 30)})
    add_depthwise("depthwise_conv2d of " + std::to_string(v), filled({3, 3, 16}, v), filled({3, 3, 1, 16}, 100), 1, 1,
                  3, 3);
  Values ramp({4, 4, 16});
  for (size_t i = 0; i < ramp.size(); ++i) ramp.v[i] = int64_t(i % 97) - 40;
  add_depthwise("depthwise_conv2d padded at the top only", ramp, filled({3, 3, 1, 16}, -3), 0, 1, 2, 3);
  return rows;
}

}  // namespace

std::vector<ReferenceCase> kernel_cases(uint64_t seed, size_t count) {
  Drawer d(seed);
  using Row = ReferenceCase (*)(Drawer&);
  // The kinds that branch the most, or hold the most kernels, come more often.
  const Row kinds[] = {conv_row,      depthwise_row,  matmul_row,  elementwise_row, sequence_row, conv_row,
                       depthwise_row, input_conv_row, pooling_row, elementwise_row, sequence_row, transposed_row,
                       stem_row,      matmul_row,     pooling_row, elementwise_row, sequence_row};
  std::vector<ReferenceCase> rows = edge_rows();
  for (size_t i = rows.size(); i < count; ++i) rows.push_back(kinds[i % std::size(kinds)](d));
  for (auto& row : rounding_rows()) rows.push_back(std::move(row));
  return rows;
}

}  // namespace nuvra::test
