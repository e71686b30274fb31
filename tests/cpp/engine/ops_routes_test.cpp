// Every product route this CPU can run (the VNNI ones through their AVX2 stand-ins where the CPU
// lacks VNNI) against plain sums and against the portable route: random shapes, values at the
// edges of each route's range, and the fallbacks between routes.
#include <nuvra/ops.h>

#include "ops/gemm.h"
#include "ops/route.h"
#include "routes_here.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <tuple>

#include <sys/mman.h>
#include <unistd.h>

namespace nuvra {
namespace {

using ops::DensePtr;
using ops::detail::Epilogue;
using ops::detail::PackedFilters;
using ops::detail::Route;
using ops::detail::RouteChoice;
using ops::detail::Rows;

std::mt19937 rng(22);

int pick(int lo, int hi) {
  // A third of the values at the ends of the range.
  switch (rng() % 6) {
    case 0: return lo;
    case 1: return hi;
    default: return std::uniform_int_distribution<int>(lo, hi)(rng);
  }
}

using test::describe;
using test::ForcedRoute;
using test::routes_here;

// Products of every row type and offset, through the plain store and the fused tail, equal the
// plain sums modulo 2^32 (exactly, whenever they fit int32); spare output columns stay untouched.
TEST(OpsRoutes, PackedProductsEqualPlainSums) {
  for (const RouteChoice route : routes_here())
    for (const auto& [rows, filters, depth] :
         {std::tuple{1, 1, 1}, {7, 9, 7}, {13, 33, 40}, {4, 16, 3}, {9, 17, 70}, {2, 48, 5}, {25, 8, 12}}) {
      for (const Rows kind : {Rows::u8, Rows::i16}) {
        if (kind == Rows::u8 && !ops::detail::route_has_u8(route.route)) continue;
        for (const int offset : {0, 128}) {
          if (kind == Rows::i16 && offset) continue;
          const int w_lo = kind == Rows::u8 ? -128 : -32768, w_hi = kind == Rows::u8 ? 127 : 32767;
          const int a_lo = kind == Rows::u8 ? -offset : -32768, a_hi = kind == Rows::u8 ? 255 - offset : 32767;
          std::vector<int32_t> w(filters * depth), a(rows * depth);
          for (auto& v : w) v = pick(w_lo, w_hi);
          for (auto& v : a) v = pick(a_lo, a_hi);
          const PackedFilters f(filters, depth, [&](size_t fi, size_t k) { return w[fi * depth + k]; }, kind, route,
                                offset);
          std::vector<uint8_t> panel(rows * f.row_bytes(), 0);
          for (int r = 0; r < rows; ++r)
            for (int k = 0; k < depth; ++k) {
              if (kind == Rows::u8)
                panel[r * f.row_bytes() + k] = static_cast<uint8_t>(a[r * depth + k] + offset);
              else
                reinterpret_cast<int16_t*>(panel.data() + r * f.row_bytes())[k] = static_cast<int16_t>(a[r * depth + k]);
            }
          // The tail: y = clamp(((clamp(v, below, above) + bias) * scale + round) >> right, bottom, top),
          // stored as the sums (int32) or at each narrower width with that width's range.
          const size_t padded = (filters + 15) / 16 * 16;
          std::vector<int32_t> below(padded), above(padded), bias(padded), scale(padded), round(padded), right(padded);
          for (int fi = 0; fi < filters; ++fi) {
            bias[fi] = pick(-1000, 1000);
            below[fi] = pick(-(1 << 20), 0) - bias[fi];
            above[fi] = pick(0, 1 << 20) - bias[fi];
            scale[fi] = pick(0, 255);
            right[fi] = pick(0, 21);
            round[fi] = right[fi] ? 1 << (right[fi] - 1) : 0;
          }
          for (const TensorType type : {TensorType::int32, TensorType::uint8, TensorType::int8, TensorType::int16}) {
            const bool fused = type != TensorType::int32;
            const int32_t bottom = type == TensorType::uint8 ? 0 : type == TensorType::int8 ? -128 : -32768;
            const int32_t top = type == TensorType::uint8 ? 255 : type == TensorType::int8 ? 127 : 32767;
            const size_t ldo = filters + 3, width = element_size(type);
            std::vector<uint8_t> out(rows * ldo * width, 0xA5);
            Epilogue e;
            e.ldo = ldo;
            e.out = out.data();
            e.type = type;
            if (fused) {
              e.kind = Epilogue::Kind::finish;
              e.tail = {below.data(), above.data(), bias.data(), scale.data(), round.data(), right.data(), bottom, top};
            }
            const auto at = [&](size_t i) -> int64_t {
              switch (type) {
                case TensorType::uint8: return out[i];
                case TensorType::int8: return static_cast<int8_t>(out[i]);
                case TensorType::int16: return reinterpret_cast<const int16_t*>(out.data())[i];
                default: return reinterpret_cast<const int32_t*>(out.data())[i];
              }
            };
            // Rows numbered from 0 here; the epilogue places them.
            f.multiply(panel.data(), rows, f.row_bytes(), e, 0);
            for (int r = 0; r < rows; ++r) {
              for (int fi = 0; fi < filters; ++fi) {
                int64_t sum = 0;
                for (int k = 0; k < depth; ++k) sum += int64_t{a[r * depth + k]} * w[fi * depth + k];
                const auto wrapped = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(sum)));
                if (!fused) {
                  ASSERT_EQ(at(r * ldo + fi), wrapped) << describe(route) << " " << int(kind) << " " << offset;
                  continue;
                }
                const int64_t x = std::clamp<int64_t>(wrapped, below[fi], above[fi]) + bias[fi];
                const int64_t y = std::clamp<int64_t>((x * scale[fi] + round[fi]) >> right[fi], bottom, top);
                ASSERT_EQ(at(r * ldo + fi), y) << describe(route) << " fused " << type_name(type) << " " << r << " " << fi;
              }
              for (size_t i = (r * ldo + filters) * width; i < (r + 1) * ldo * width; ++i) EXPECT_EQ(out[i], 0xA5);
            }
          }
        }
      }
    }
}

// Random convolutions and products whose values sit at the edges of the routes: 8 bits unsigned
// and signed (u8 rows), one past them (int16 rows), the int32 bound of the sums (the wide
// accumulators past it) and one past int16. Each route gives the portable route's result.
TEST(OpsRoutes, KernelsAgreeWithThePortableRoute) {
  struct Case {
    int lo, hi;  // input values
    int w_abs;   // weights in [-w_abs, w_abs]
  };
  // With 3x3 windows over 5 channels of weights 127, |sum| <= 45 * 127 * max|x|: 375,763 keeps it
  // within int32 for the last-but-one case, one more passes it.
  const int edge = static_cast<int>(INT32_MAX / (45LL * 127));
  const Case cases[] = {{0, 255, 128},  {-128, 127, 128}, {0, 256, 127},       {-129, 127, 127},
                        {-300, 40, 90}, {0, 1, 128},      {-edge, edge, 127}, {-edge - 1, edge + 1, 127},
                        {-32768, 32768, 127}};
  for (const Case& c : cases) {
    const auto input = Dense::create(TensorType::int32, {9, 7, 5});
    const auto weights = Dense::create(TensorType::int8, {3, 3, 5, 11});
    for (size_t i = 0; i < input->size(); ++i) input->data<int32_t>()[i] = pick(c.lo, c.hi);
    for (size_t i = 0; i < weights->size(); ++i)
      weights->data<int8_t>()[i] = static_cast<int8_t>(c.w_abs == 128 ? pick(-128, 127) : (rng() % 2 ? c.w_abs : -c.w_abs));
    const auto a = Dense::create(TensorType::int32, {2, 6, 45});
    for (size_t i = 0; i < a->size(); ++i) a->data<int32_t>()[i] = input->data<int32_t>()[i % input->size()];
    const auto b = Dense::create(TensorType::int32, {45, 11});
    for (size_t i = 0; i < b->size(); ++i) b->data<int32_t>()[i] = weights->data<int8_t>()[i];
    const auto image = Dense::create(TensorType::uint8, {32, 17, 3});
    for (size_t i = 0; i < image->size(); ++i) image->data<uint8_t>()[i] = static_cast<uint8_t>(pick(0, 255));
    const auto stem_w = Dense::create(TensorType::int8, {16, 16, 3, 10});
    for (size_t i = 0; i < stem_w->size(); ++i) stem_w->data<int8_t>()[i] = static_cast<int8_t>(pick(-128, 127));
    // Depthwise: whole runs of 16 channels (a padded copy on the vector route), and a remainder
    // (the portable route beside it).
    std::shared_ptr<Dense> planes[2], taps[2];
    for (const uint32_t channels : {32u, 37u}) {
      auto& p = planes[channels % 2];
      auto& t = taps[channels % 2];
      p = Dense::create(TensorType::int32, {11, 6, channels});
      for (size_t i = 0; i < p->size(); ++i) p->data<int32_t>()[i] = pick(c.lo, c.hi);
      t = Dense::create(TensorType::int8, {3, 3, 1, channels});
      for (size_t i = 0; i < t->size(); ++i) t->data<int8_t>()[i] = weights->data<int8_t>()[i % weights->size()];
    }
    const auto linear = ops::linearize_filters(*weights);
    const auto pads = Dense::create(TensorType::uint8, {3});
    pads->data<uint8_t>()[1] = 255;

    const std::vector<std::function<DensePtr()>> kernels = {
        [&] { return ops::conv2d_v2(*input, 1, 1, 1, 1, 9, 7, *weights, c.lo); },
        [&] { return ops::conv2d_v2(*input, 2, 1, 0, 1, 4, 7, *weights, 0); },
        [&] { return ops::matmul(*a, *b, 0, false); },
        [&] {
          const auto l = ops::linearize_filters(*weights);  // (11, 45)
          const auto bt = Dense::create(TensorType::int32, l->shape());
          for (size_t i = 0; i < l->size(); ++i) bt->data<int32_t>()[i] = l->data<int8_t>()[i];
          return ops::matmul(*a, *bt, 3, true);
        },
        [&] {
          const auto w3 = Dense::create(TensorType::int8, {3, 3, 3, 11});
          for (size_t i = 0; i < w3->size(); ++i) w3->data<int8_t>()[i] = weights->data<int8_t>()[i];
          return ops::input_conv2d(*image, *pads, 2, 1, 1, 1, 1, 1, 16, 17, 3, 3, *ops::linearize_filters(*w3));
        },
        [&] { return ops::stem_conv(*image, *stem_w, 16); },
        [&] { return ops::depthwise_conv2d(*planes[0], 1, 1, 1, 1, 11, 6, *taps[0]); },
        [&] { return ops::depthwise_conv2d(*planes[0], 2, 2, 0, 1, 6, 3, *taps[0]); },
        [&] { return ops::depthwise_conv2d(*planes[1], 1, 2, 1, 0, 11, 3, *taps[1]); },
    };
    for (size_t k = 0; k < kernels.size(); ++k) {
      DensePtr expected;
      {
        const ForcedRoute portable({Route::portable, false});
        expected = kernels[k]();
      }
      for (const RouteChoice route : routes_here()) {
        const ForcedRoute forced(route);
        const DensePtr got = kernels[k]();
        ASSERT_EQ(got->shape(), expected->shape());
        for (size_t i = 0; i < got->size(); ++i)
          ASSERT_EQ(got->data<int32_t>()[i], expected->data<int32_t>()[i])
              << "kernel " << k << " on " << describe(route) << ", inputs " << c.lo << ".." << c.hi << ", at " << i;
      }
    }
  }
}

// The row kind at the edges of the 8-bit ranges: a signed row that reaches 128 or -129, or an
// unsigned one that reaches 256 or -1, takes int16 rows; only the u8 routes have u8 rows.
TEST(OpsRoutes, RowsAreU8OnlyWithinAnEightBitRange) {
  struct Row {
    int64_t lo, hi;
    bool u8;  // on a route with u8 rows, weights fitting int8
  };
  const Row rows[] = {{0, 255, true},     {0, 0, true},      {-128, 127, true}, {-128, -1, true}, {1, 127, true},
                      {0, 256, false},    {-1, 255, false},  {-128, 128, false}, {-129, 127, false},
                      {-129, -128, false}, {255, 256, false}, {-1, 128, false},   {127, 128, true}};
  for (const Route route : ops::detail::kRoutes)
    for (const Row& r : rows) {
      const bool u8_route = route == Route::vnni256 || route == Route::vnni512;
      EXPECT_EQ(ops::detail::rows_for(r.lo, r.hi, true, route), u8_route && r.u8 ? Rows::u8 : Rows::i16)
          << ops::detail::route_name(route) << " " << r.lo << ".." << r.hi;
      EXPECT_EQ(ops::detail::rows_for(r.lo, r.hi, false, route), Rows::i16);
    }
}

// An identity 1x1 convolution gives back inputs that span each range between two edge values,
// on every route, and a product scales them: whatever row kind the range takes, no value wraps.
TEST(OpsRoutes, IdentityConvolutionKeepsEdgeValues) {
  const int32_t edges[] = {-129, -128, -1, 0, 1, 127, 128, 255, 256};
  const auto weights = Dense::create(TensorType::int8, {1, 1, 1, 1});
  weights->data<int8_t>()[0] = 1;
  for (const RouteChoice route : routes_here()) {
    const ForcedRoute forced(route);
    for (size_t a = 0; a < std::size(edges); ++a)
      for (size_t b = a; b < std::size(edges); ++b) {
        const auto input = Dense::create(TensorType::int32, {1, static_cast<uint32_t>(b - a + 1), 1});
        std::copy(edges + a, edges + b + 1, input->data<int32_t>());
        const DensePtr got = ops::conv2d_v2(*input, 1, 1, 0, 0, 1, b - a + 1, *weights, edges[a]);
        for (size_t i = 0; i <= b - a; ++i)
          ASSERT_EQ(got->data<int32_t>()[i], edges[a + i]) << describe(route) << " " << edges[a] << ".." << edges[b];
        // A factor one past int8 keeps the rows int16 whatever their range.
        for (const int32_t factor : {128, -129}) {
          const auto b_column = Dense::create(TensorType::int32, {1, 1});
          b_column->data<int32_t>()[0] = factor;
          const DensePtr product = ops::matmul(*input, *b_column, 0, false);
          for (size_t i = 0; i <= b - a; ++i)
            ASSERT_EQ(product->data<int32_t>()[i], edges[a + i] * factor) << describe(route) << " " << factor;
        }
      }
  }
}

// Rows of a uint8 input read in place (a 1x1 window over every pixel, channels a whole number of
// u8 groups) or copied (3 channels) end where the input ends: here an inaccessible page follows it.
TEST(OpsRoutes, RowsReadInPlaceEndWithTheInput) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* map =
      static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
  for (const uint32_t c : {3u, 4u}) {
    const size_t pixels = 5 * 7, filters = 5;
    uint8_t* at = map + page - pixels * c;
    for (size_t i = 0; i < pixels * c; ++i) at[i] = static_cast<uint8_t>(pick(0, 255));
    const Dense input(TensorType::uint8, {5, 7, c}, Layout::RowMajor,
                      std::make_shared<Storage>(nullptr, at, pixels * c));
    const auto weights = Dense::create(TensorType::int8, {1, 1, c, filters});
    for (size_t i = 0; i < weights->size(); ++i) weights->data<int8_t>()[i] = static_cast<int8_t>(pick(-128, 127));
    for (const RouteChoice route : routes_here()) {
      const ForcedRoute forced(route);
      const DensePtr got = ops::stem_conv(input, *weights, 1);
      for (size_t p = 0; p < pixels; ++p)
        for (size_t f = 0; f < filters; ++f) {
          int32_t sum = 0;
          for (size_t k = 0; k < c; ++k) sum += at[p * c + k] * weights->data<int8_t>()[k * filters + f];
          ASSERT_EQ(got->data<int32_t>()[p * filters + f], sum) << describe(route) << " " << c;
        }
    }
  }
  munmap(map, 2 * page);
}

TEST(OpsRoutes, RoutesTheCpuLacksCannotBeForced) {
  for (Route r : ops::detail::kRoutes) {
    if (!ops::detail::route_available(r)) {
      EXPECT_THROW(ops::detail::force_route(RouteChoice{r, false}), std::invalid_argument);
    }
  }
  EXPECT_THROW(ops::detail::force_route(RouteChoice{Route::avx2, true}), std::invalid_argument);
  EXPECT_EQ(ops::detail::active_route().route == Route::portable, !ops::detail::route_available(Route::avx2));
}

// The choice from feature sets this CPU may not have: AVX-VNNI is bit 4 of leaf 7 sub-leaf 1
// (bit 5 beside it is another feature), read only where the leaf and sub-leaf exist, and only
// with AVX2; AVX-512 VNNI comes first.
TEST(OpsRoutes, TheChoiceFollowsTheFeatureBits) {
  using ops::detail::CpuFeatures;
  constexpr uint32_t kAvxVnni = 1u << 4, kBitBeside = 1u << 5;
  const std::tuple<CpuFeatures, Route, bool> cases[] = {  // features, best route, AVX-VNNI
      {{true, false, 7, 1, kAvxVnni}, Route::vnni256, true},
      {{true, false, 0x20, 2, ~kBitBeside}, Route::vnni256, true},
      {{true, false, 7, 1, kBitBeside}, Route::avx2, false},
      {{true, false, 7, 1, ~kAvxVnni}, Route::avx2, false},
      {{true, false, 6, 1, kAvxVnni}, Route::avx2, false},
      {{true, false, 7, 0, kAvxVnni}, Route::avx2, false},
      {{false, false, 7, 1, kAvxVnni}, Route::portable, false},
      {{true, true, 7, 1, kAvxVnni}, Route::vnni512, true},
      {{true, true, 7, 1, 0}, Route::vnni512, false},
      {{}, Route::portable, false},
  };
  for (const auto& [cpu, best, avx_vnni] : cases) {
    SCOPED_TRACE(testing::Message() << cpu.avx2 << cpu.avx512_vnni << " " << cpu.last_leaf << " " << cpu.last_leaf7_sub
                                    << " 0x" << std::hex << cpu.leaf7_sub1_eax);
    EXPECT_EQ(describe(ops::detail::best_route(cpu)), describe({best}));
    EXPECT_EQ(ops::detail::route_available(Route::vnni256, cpu), avx_vnni);
    EXPECT_EQ(ops::detail::route_available(Route::avx2, cpu), cpu.avx2);
    EXPECT_EQ(ops::detail::route_available(Route::vnni512, cpu), cpu.avx512_vnni);
  }
}

}  // namespace
}  // namespace nuvra
