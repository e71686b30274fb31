// First-generation CNP weight formats and sizes: the worked examples, and round trips of random
// representable weights through test-only decoders that read each layout by absolute bit
// position (every bit the layout does not use must be 0).
#include "v1/cnp/cnp_sizes.h"
#include "v1/cnp/weight_formats.h"

#include "v1_layers.h"
#include "v2/v2_testing.h"

#include <random>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Image = std::vector<uint32_t>;

// (filters, channels, k, k) or (filters, channels) int8 weights of `values` (drawn from `pick`).
std::shared_ptr<Dense> weights(Shape shape, const std::function<int(size_t)>& pick, Layout layout = Layout::Reversed) {
  auto t = Dense::create(TensorType::int8, shape, layout);
  for (size_t i = 0; i < t->size(); ++i) t->set<int8_t>(i, static_cast<int8_t>(pick(i)));
  return t;
}

std::function<int(size_t)> random_in(int lo, int hi, unsigned seed) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [=](size_t) { return std::uniform_int_distribution<int>(lo, hi)(*rng); };
}

// Reads an image by slot and bit, remembering every bit read.
class Reader {
 public:
  explicit Reader(const Image& image) : image_(image), used_(image.size() / 2) {}
  int64_t bits(size_t slot, unsigned at, unsigned n) {
    uint64_t v = 0;
    for (unsigned b = 0; b < n; ++b) {
      const unsigned p = at + b;
      EXPECT_LT(slot, used_.size());
      if (slot >= used_.size()) return 0;
      used_[slot] |= uint64_t{1} << p;
      v |= uint64_t{(image_[2 * slot + p / 32] >> (p % 32)) & 1u} << b;
    }
    return static_cast<int64_t>(v);
  }
  // Every bit no field covers is 0.
  void expect_unused_zero() const {
    for (size_t s = 0; s < used_.size(); ++s) {
      const uint64_t slot = uint64_t{image_[2 * s]} | uint64_t{image_[2 * s + 1]} << 32;
      EXPECT_EQ(slot & ~used_[s], 0u) << "slot " << s;
    }
  }

 private:
  const Image& image_;
  std::vector<uint64_t> used_;
};

int64_t sign_extend(int64_t v, unsigned bits) { return v >= (int64_t{1} << (bits - 1)) ? v - (int64_t{1} << bits) : v; }

Image pack_std(const Dense& w, int bits, uint32_t first, uint32_t count) {
  Image out(std_cnp_weights_32b_size(w, bits, count), 0xDEADBEEF);
  if (bits == 4)
    format_4bits_std_cnp_weights(out, w, first, count);
  else
    format_std_cnp_weights(out, w, bits == 2, first, count);
  return out;
}

// w[f][c][y][x] of the image's filters, from absolute positions.
using Decoded = std::vector<std::vector<std::vector<std::vector<int>>>>;

Decoded decode_std(const Image& image, int bits, uint32_t k, uint32_t channels, uint32_t count) {
  Reader r(image);
  Decoded w(count, std::vector(channels, std::vector(k, std::vector<int>(k))));
  const size_t channel_slots = image.size() / 2 / channels;
  for (uint32_t c = 0; c < channels; ++c) {
    const size_t base = c * channel_slots;
    for (uint32_t f = 0; f < count; ++f)
      for (uint32_t y = 0; y < k; ++y)
        for (uint32_t x = 0; x < k; ++x) {
          int& v = w[f][c][y][x];
          if (bits == 4) {  // nibble p of the slots from `slot` on, slot_bits used in each
            // 1x1: twelve filters a slot. 7x7: rows of six slots; filters 0-2, 3-5, 6-7 start a slot
            // pair. 3x3 and 5x5: groups of eight filters, row-major, over 6 or 16 slots.
            const uint32_t g = f / 8, j = f % 8;
            const unsigned slot_bits = k == 1 || k == 3 ? 48 : 50;
            const size_t group = k == 7 ? g * 42 + y * 6 + 2 * (j / 3) : g * (k == 3 ? 6 : 16);
            const size_t slot = base + (k == 1 ? f / 12 : group);
            const uint64_t p = k == 1   ? 4 * (f % 12)
                               : k == 7 ? (j % 3) * 28 + x * 4
                                        : ((uint64_t{y} * 8 + j) * k + x) * 4;
            int64_t n = 0;
            for (unsigned b = 0; b < 4; ++b) n |= r.bits(slot + (p + b) / slot_bits, (p + b) % slot_bits, 1) << b;
            v = (n & 8) ? n & 7 : -(n & 7);
          } else {
            const bool both = bits == 2 || k == 1;
            const unsigned kb = k == 1 ? 1 : (k == 5 ? 25 : k * k + 1), per = (k == 1 ? 48 : 50) / kb;
            const uint64_t i = uint64_t{f} * (both ? 2 : 1);
            v = static_cast<int>(r.bits(base + i / per, (i % per) * kb + y * k + x, 1));
            if (both) v -= static_cast<int>(r.bits(base + (i + 1) / per, ((i + 1) % per) * kb + y * k + x, 1));
          }
        }
  }
  r.expect_unused_zero();
  return w;
}

TEST(V1CnpFormats, SizesOfTheExamples) {
  using Sizes = std::vector<uint32_t>;
  const auto sz = [](auto... a) { return get_std_cnp_sram_size(a...); };
  const auto pw = [](auto... a) { return get_nb_words_per_pw_channel(a...); };
  const auto dw = [](auto... a) { return get_dw_weights_sram_size(a...); };
  const auto container = [](auto... a) { return get_cnp_channel_container_size(a...); };
  // Standard, in words: 3x3 2-bit, 8 filters: 16 kernels of 10 bits, 5 a slot: 4 slots (16 words a
  // channel); 5x5 4-bit, one filter: 800 bits, 16 slots of 50; 8-bit weights have no size.
  EXPECT_EQ((Sizes{sz(3, 1, 8, 2), sz(3, 3, 8, 2), sz(5, 1, 1, 4), sz(7, 2, 9, 4), sz(1, 1, 13, 4), sz(3, 1, 8, 8)}),
            (Sizes{16, 48, 32, 2 * 96 * 2, 32, 0xFFFFFFFF}));
  EXPECT_EQ(sz(1, 2, 24, 1), sz(1, 2, 24, 2));
  // Pointwise words a channel; depthwise: ((6 + 4) / 5) * 2 = 4 and 18, rounded to 16; 14 x 3 = 42.
  EXPECT_EQ((Sizes{pw(16, 4), pw(10, 4), pw(12, 4), pw(2, 4), pw(9, 1), pw(24, 2)}), (Sizes{2, 2, 2, 1, 2, 1}));
  EXPECT_EQ((Sizes{dw(3, 6, 1), dw(3, 41, 1), dw(7, 3, 4), sep_cnp_dw_weights_32b_size(7, 3, 4),
                   get_sep_cnp_sram_size(7, 3, 16, 4)}),
            (Sizes{16, 32, 48, 42, 48 + 3 * 2 * 2}));
  // Channel containers and input images; a size past 32 bits saturates, never wraps.
  EXPECT_EQ((Sizes{container(0, 8), container(5, 1), container(5, 2), get_cnp_input_sram_size(5, 3, 6),
                   get_cnp_input_sram_size(0xFFFFFFFF, 0xFFFFFFFF, 2)}),
            (Sizes{0, 1, 2, 24, 0xFFFFFFFF}));

  const std::pair<std::function<void()>, std::string> refusals[] = {
      {[] { get_std_cnp_sram_size(2, 1, 8, 4); }, "Unsupported kernel size"},
      {[] { get_dw_weights_sram_size(13, 1, 4); }, "Unsupported kernel size"},  // a row of 52 bits
      {[] { get_dw_weights_sram_size(3, 1, 3); }, "Unsupported weights bitwidth"},
      {[] { get_nb_words_per_pw_channel(8, 0); }, "Unsupported weights bitwidth"},
      {[] { get_weights_size(*OneLayer(LayerType::FullyConnected, {{"units", 2}}), 2); },
       "unexpected layer type for CNP"},
  };
  for (const auto& [f, message] : refusals) EXPECT_EQ(message_of(f), message);
}

TEST(V1CnpFormats, ExampleImages) {
  // Sign and magnitude nibbles: 7 -> F, -7 -> 7, 0 -> 0, -1 -> 1, 1 -> 9; -8 keeps no bit.
  const std::vector<int> v = {7, -7, 0, -1, 1, -8};
  const auto w1 = weights({6, 1, 1, 1}, [&](size_t i) { return v[i]; });
  EXPECT_EQ(pack_std(*w1, 4, 0, 6), Image({0x0009107F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0,          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // 3x3, 2 bits: filter 0 all 1, filter 1 all -1, filter 2 all 2 or -2 (no bit). Kernels of 10
  // bits, plus then minus: f0+ at bit 0, f1- at bit 30 of slot 0; 6 kernels take 2 of 4 slots.
  const auto w3 = weights({3, 1, 3, 3}, [](size_t) { return 0; });
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 3; ++x) {
      w3->set<int8_t>({0, 0, y, x}, 1);
      w3->set<int8_t>({1, 0, y, x}, -1);
      w3->set<int8_t>({2, 0, y, x}, (x + y) % 2 ? 2 : -2);
    }
  Image expected(16, 0);
  expected[0] = 0xC00001FF;
  expected[1] = 0x7F;
  EXPECT_EQ(pack_std(*w3, 2, 0, 3), expected);
}

TEST(V1CnpFormats, StandardRoundTrips) {
  struct Case { int bits; uint32_t k, channels, filters, first, count; Layout layout; };
  // 1-bit 1x1 weights in [-1, 1]: packed with both masks whatever the 2-bit choice says. Counts
  // past 16 filters span several blocks of 16, the last one partial.
  const Case cases[] = {
      {1, 3, 3, 40, 2, 35, Layout::Reversed}, {1, 5, 2, 9, 0, 9, Layout::Reversed},
      {1, 7, 2, 5, 1, 4, Layout::Reversed},   {1, 1, 3, 60, 5, 50, Layout::Reversed},
      {2, 3, 3, 40, 2, 35, Layout::RowMajor}, {2, 5, 2, 20, 0, 20, Layout::Reversed},
      {2, 7, 2, 20, 1, 18, Layout::Reversed}, {2, 1, 2, 30, 0, 30, Layout::RowMajor},
      {4, 1, 3, 40, 3, 25, Layout::Reversed}, {4, 3, 3, 40, 2, 35, Layout::Reversed},
      {4, 5, 2, 17, 1, 16, Layout::RowMajor}, {4, 7, 2, 20, 0, 19, Layout::Reversed},
  };
  unsigned seed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, k " + std::to_string(c.k));
    const int lo = c.bits == 4 ? -7 : (c.bits == 2 || c.k == 1 ? -1 : 0);
    const auto w = weights({c.filters, c.channels, c.k, c.k}, random_in(lo, c.bits == 4 ? 7 : 1, ++seed), c.layout);
    const Image image = pack_std(*w, c.bits, c.first, c.count);
    EXPECT_EQ(image.size(), get_std_cnp_sram_size(c.k, c.channels, c.count, c.bits));
    const Decoded d = decode_std(image, c.bits, c.k, c.channels, c.count);
    for (uint32_t f = 0; f < c.count; ++f)
      for (uint32_t ch = 0; ch < c.channels; ++ch)
        for (uint32_t y = 0; y < c.k; ++y)
          for (uint32_t x = 0; x < c.k; ++x)
            ASSERT_EQ(d[f][ch][y][x], w->at<int8_t>({c.first + f, ch, y, x})) << f << " " << ch << " " << y << " " << x;
  }
}

TEST(V1CnpFormats, SeparableRoundTrips) {
  unsigned seed = 100;
  // 10x10 1-bit rows fill their slots exactly; 2-bit weights are read through row-major strides.
  for (int bits : {1, 2, 4})
    for (uint32_t k : {3u, 5u, 7u, 10u}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, k " + std::to_string(k));
      const int lo = bits == 1 ? 0 : -(1 << (bits - 1)), hi = bits == 1 ? 1 : (1 << (bits - 1)) - 1;
      const uint32_t channels = 21;
      const Layout layout = bits == 2 ? Layout::RowMajor : Layout::Reversed;
      const auto dw = weights({1, channels, k, k}, random_in(lo, hi, ++seed), layout);
      Image image(sep_cnp_dw_weights_32b_size(*dw, bits), 0xDEADBEEF);
      format_sep_cnp_dw_weights(image, *dw, bits);
      EXPECT_LE(image.size(), get_dw_weights_sram_size(static_cast<int>(k), channels, bits));
      // Kernels of several channels share a slot when it holds two of them or more; otherwise
      // each channel starts a slot and its rows fill slots q at a time.
      Reader r(image);
      const unsigned row = static_cast<unsigned>(bits) * k, q = 50 / row;
      for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t y = 0; y < k; ++y)
          for (uint32_t x = 0; x < k; ++x) {
            const bool shared = q >= 2 * k;
            const size_t slot = shared ? c / (q / k) : c * ((k + q - 1) / q) + y / q;
            const unsigned at = (shared ? (c % (q / k)) * row * k + y * row : (y % q) * row) + x * bits;
            const int64_t code = r.bits(slot, at, static_cast<unsigned>(bits));
            ASSERT_EQ(bits == 1 ? code : sign_extend(code, bits), dw->at<int8_t>({0, c, y, x}));
          }
      r.expect_unused_zero();

      for (const auto& [first, count] : {std::pair{0u, 16u}, std::pair{3u, 9u}, std::pair{1u, 50u}}) {
        const auto pw = weights({60, channels}, random_in(lo, hi, ++seed), layout);
        Image p(sep_cnp_pw_weights_32b_size(*pw, bits, count), 0xDEADBEEF);
        format_sep_cnp_pw_weights(p, *pw, bits, first, count);
        const uint32_t n = get_nb_words_per_pw_channel(count, bits), per = 48 / bits;
        ASSERT_EQ(p.size(), channels * n * 2);
        Reader rp(p);
        for (uint32_t c = 0; c < channels; ++c)
          for (uint32_t f = 0; f < count; ++f) {
            const int64_t code = rp.bits(c * n + f / per, (f % per) * bits, static_cast<unsigned>(bits));
            ASSERT_EQ(bits == 1 ? code : sign_extend(code, bits), pw->at<int8_t>({first + f, c}));
          }
        rp.expect_unused_zero();
      }
    }
}

TEST(V1CnpFormats, Refusals) {
  const auto w = weights({8, 2, 3, 3}, [](size_t) { return 1; }), w35 = weights({8, 2, 3, 5}, [](size_t) { return 0; });
  const auto u8 = Dense::create(TensorType::uint8, {8, 2, 3, 3});
  const auto dw = weights({1, 2, 3, 3}, [](size_t i) { return i == 5 ? -1 : 0; });
  const auto pw = weights({4, 2}, [](size_t i) { return i == 3 ? 2 : 0; });
  Image out(std_cnp_weights_32b_size(*w, 2, 8)), small(out.size() - 1), dw_out(sep_cnp_dw_weights_32b_size(*dw, 1)),
      pw_out(sep_cnp_pw_weights_32b_size(*pw, 2, 4));
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { format_std_cnp_weights(out, *w, true, 1, 8); }, "Coordinates are out-of-range"},
      {[&] { format_std_cnp_weights(small, *w, true, 0, 8); }, "A weight image of 31 words cannot take 32 words"},
      {[&] { format_std_cnp_weights(out, *w35, true, 0, 8); }, "CNP: width and height must be equal"},
      {[&] { format_4bits_std_cnp_weights(out, *w, 0, 8); }, "A weight image of 32 words cannot take 64 words"},
      {[&] { format_std_cnp_weights(out, *u8, true, 0, 8); }, "Wrong requested type a for a tensor of type uint8."},
      {[&] { format_sep_cnp_dw_weights(dw_out, *dw, 1); }, "-1 cannot fit in a 1 bits unsigned integer"},
      {[&] { format_sep_cnp_pw_weights(pw_out, *pw, 2, 0, 4); }, "2 cannot fit in a 2 bits signed integer"},
  };
  for (const auto& [f, message] : cases) EXPECT_EQ(message_of(f), message);
}

}  // namespace
}  // namespace nuvra::v1
