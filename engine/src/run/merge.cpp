// Add and Concatenate on their inbounds' own widths, written at the width the layer carries.
#include "run/common.h"
#include "run/thread_pool.h"

#include "ops/common.h"

#include <algorithm>

namespace nuvra::detail {

namespace {

using ops::detail::sat32;
using ops::detail::Shifter;

// Values moved below which a sample's merge is not split over threads.
constexpr uint64_t kSplitValues = uint64_t{1} << 16;

// Values [at, at + n) of t (any byte family, int16 or int32) as int32.
void load_row(const Dense& t, size_t at, size_t n, int32_t* out) {
  switch (t.type()) {
    case TensorType::int32: std::copy_n(t.data<int32_t>() + at, n, out); return;
    case TensorType::int16: std::copy_n(t.data<int16_t>() + at, n, out); return;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: std::copy_n(t.data<uint8_t>() + at, n, out); return;
    default: std::copy_n(t.data<int8_t>() + at, n, out); return;
  }
}
// v[0, n) into t (uint8, int8, int16 or int32, holding them) from `at`.
void store_row(Dense& t, size_t at, size_t n, const int32_t* v) {
  switch (t.type()) {
    case TensorType::uint8: std::copy_n(v, n, t.data<uint8_t>() + at); return;
    case TensorType::int8: std::copy_n(v, n, t.data<int8_t>() + at); return;
    case TensorType::int16: std::copy_n(v, n, t.data<int16_t>() + at); return;
    default: std::copy_n(v, n, t.data<int32_t>() + at); return;
  }
}

bool integer(TensorType t) { return t != TensorType::float32; }

// The output range of `bits` bits.
struct Range {
  int64_t lo, hi;
  Range(int bits, bool is_signed)
      : lo(is_signed ? (bits >= 32 ? INT32_MIN : -(int64_t{1} << (bits - 1))) : 0),
        hi(is_signed ? (bits >= 32 ? INT32_MAX : (int64_t{1} << (bits - 1)) - 1) : (int64_t{1} << std::min(bits, 31)) - 1) {}
  int32_t operator()(int64_t v) const { return static_cast<int32_t>(std::clamp(v, lo, hi)); }
};

// y = sshift((a << a_shift) + (b << b_shift), output_shift), each step saturated to int32, then
// to the output range; shifts per channel.
class AddStep final : public LayerStep {
 public:
  explicit AddStep(const Layer& layer)
      : a_(variable(layer, "a_shift")), b_(variable(layer, "b_shift")), out_(variable(layer, "output_shift")),
        bits_(layer.output_bits()), signed_(layer.output_signed()),
        type_(carried_type(layer.output_bits(), layer.output_signed())), range_(bits_, signed_) {
    if (a_->size() != b_->size() || a_->size() != out_->size()) return;
    for (size_t k = 0; k < a_->size(); ++k) {
      a_by_.emplace_back(a_->data<uint8_t>()[k]);
      b_by_.emplace_back(b_->data<uint8_t>()[k]);
      out_by_.emplace_back(out_->data<int8_t>()[k]);
    }
  }
  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const Dense &a = *in[0], &b = *in[1];
    const Shape s = a.shape();
    const size_t c = a_by_.size();
    // Other shapes take the general kernels, and their refusals.
    if (c == 0 || b.shape() != s || s[s.size() - 1] != c || !integer(a.type()) || !integer(b.type())) return general(in);
    auto y = ops::detail::result(type_, s);
    const size_t rows = a.size() / c;
    over_parts(rows, a.size(), kSplitValues, [&](size_t r0, size_t r1) {
      std::vector<int32_t> ra(c), rb(c);
      for (size_t r = r0; r < r1; ++r) {
        load_row(a, r * c, c, ra.data());
        load_row(b, r * c, c, rb.data());
        for (size_t k = 0; k < c; ++k) {
          const int64_t sum = int64_t{sat32(a_by_[k](ra[k]))} + sat32(b_by_[k](rb[k]));
          ra[k] = range_(sat32(out_by_[k](sat32(sum))));
        }
        store_row(*y, r * c, c, ra.data());
      }
    });
    return y;
  }

 private:
  ConstDensePtr general(const std::vector<ConstDensePtr>& in) const {
    const auto sum = ops::add(*ops::lshift(*as_int32(in[0]), *a_, 0), *ops::lshift(*as_int32(in[1]), *b_, 0), 0);
    auto y = ops::shift(*sum, *out_, 0);
    saturate(*y, bits_, signed_);
    return narrowed(y, type_);
  }

  std::shared_ptr<const Dense> a_, b_, out_;
  int bits_;
  bool signed_;
  TensorType type_;
  Range range_;
  std::vector<Shifter> a_by_, b_by_, out_by_;
};

// Inbounds of wider ranges than the first one's saturate to it, as Add does: the output holds no
// value its type cannot.
class ConcatenateStep final : public LayerStep {
 public:
  explicit ConcatenateStep(const Layer& layer)
      : bits_(layer.output_bits()), signed_(layer.output_signed()),
        type_(carried_type(layer.output_bits(), layer.output_signed())), range_(bits_, signed_) {}
  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const Shape s = in[0]->shape();
    const size_t r = s.size();
    uint64_t width = 0;
    bool plain = r >= 1;
    for (const auto& p : in) {
      const Shape ps = p->shape();
      plain = plain && integer(p->type()) && ps.size() == r;
      for (size_t d = 0; plain && d + 1 < r; ++d) plain = ps[d] == s[d];
      if (plain) width += ps[r - 1];
    }
    // Shapes that do not join take the general kernel, and its refusals.
    if (!plain || width > UINT32_MAX) {
      std::vector<ConstDensePtr> wide;
      for (const auto& p : in) wide.push_back(as_int32(p));
      auto y = ops::concatenate_last_dim(wide);
      saturate(*y, bits_, signed_);
      return narrowed(y, type_);
    }
    Shape out = s;
    out[r - 1] = static_cast<uint32_t>(width);
    auto y = ops::detail::result(type_, out);
    const size_t rows = in[0]->size() / s[r - 1];
    over_parts(rows, rows * width, kSplitValues, [&](size_t r0, size_t r1) {
      std::vector<int32_t> row(width);
      for (size_t q = r0; q < r1; ++q) {
        size_t at = 0;
        for (const auto& p : in) {
          const size_t n = p->shape()[r - 1];
          load_row(*p, q * n, n, row.data() + at);
          at += n;
        }
        for (int32_t& v : row) v = range_(v);
        store_row(*y, q * width, width, row.data());
      }
    });
    return y;
  }

 private:
  int bits_;
  bool signed_;
  TensorType type_;
  Range range_;
};

}  // namespace

std::unique_ptr<LayerStep> make_merge_step(const Layer& layer) {
  if (layer.type() == LayerType::Add) return std::make_unique<AddStep>(layer);
  return std::make_unique<ConcatenateStep>(layer);
}

}  // namespace nuvra::detail
