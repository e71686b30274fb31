// First-generation CNP weight packing throughput for every bit width: one NP's whole filter
// range of a few large layers, as MB/s of weights read, against a memcpy of the same weight
// bytes timed in the same run (ratio = packing time / copy time; best of several repetitions).
#include "v1/cnp/weight_formats.h"

#include <nuvra/tensor.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

using namespace nuvra;

namespace {

// Representable values of `bits`-bit weights: 0/1 (1 bit), -1..1 (2 bits), -7..7 (4 bits).
std::shared_ptr<Dense> random_weights(const Shape& shape, int lo, int hi) {
  auto t = Dense::create(TensorType::int8, shape, Layout::Reversed);
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(lo, hi);
  for (size_t i = 0; i < t->size(); ++i) t->set<int8_t>(i, static_cast<int8_t>(pick(rng)));
  return t;
}

double best_seconds(const std::function<void()>& f, int repetitions) {
  double best = 1e30;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void run(const char* name, const Dense& w, size_t image_words, const std::function<void(std::span<uint32_t>)>& pack,
         int repetitions) {
  std::vector<uint32_t> image(image_words);
  std::vector<uint8_t> copy(w.byte_size());
  const double packing = best_seconds([&] { pack(image); }, repetitions);
  const double copying = best_seconds([&] { std::memcpy(copy.data(), w.storage().data(), copy.size()); }, repetitions);
  const double mb = static_cast<double>(w.byte_size()) / 1e6;
  std::printf(
      "%-34s %7.2f MB read %7.3f MB image  pack %7.3f ms %7.0f MB/s  memcpy %6.3f ms %7.0f MB/s  ratio %5.1f (%08x)\n",
      name, mb, image_words * 4 / 1e6, packing * 1e3, mb / packing, copying * 1e3, mb / copying, packing / copying,
      image[image.size() / 2]);
}

}  // namespace

int main() {
  const int reps = 15;
  struct StdCase {
    const char* name;
    int bits;
    uint32_t k, channels, filters;
  };
  const StdCase std_cases[] = {
      {"standard 1 bit 3x3 512->512", 1, 3, 512, 512},      {"standard 2 bits 3x3 512->512", 2, 3, 512, 512},
      {"standard 4 bits 3x3 512->512", 4, 3, 512, 512},     {"standard 2 bits 1x1 1024->1024", 2, 1, 1024, 1024},
      {"standard 4 bits 1x1 1024->1024", 4, 1, 1024, 1024}, {"standard 1 bit 5x5 256->256", 1, 5, 256, 256},
      {"standard 4 bits 5x5 256->256", 4, 5, 256, 256},     {"standard 2 bits 7x7 256->256", 2, 7, 256, 256},
      {"standard 4 bits 7x7 256->256", 4, 7, 256, 256},
  };
  for (const StdCase& c : std_cases) {
    const auto w = random_weights({c.filters, c.channels, c.k, c.k}, c.bits == 4 ? -7 : (c.bits == 1 ? 0 : -1),
                                  c.bits == 4 ? 7 : 1);
    run(
        c.name, *w, v1::std_cnp_weights_32b_size(*w, c.bits, c.filters),
        [&](std::span<uint32_t> out) {
          if (c.bits == 4)
            v1::format_4bits_std_cnp_weights(out, *w, 0, c.filters);
          else
            v1::format_std_cnp_weights(out, *w, c.bits == 2, 0, c.filters);
        },
        reps);
  }
  for (int bits : {2, 4}) {
    const int lo = -(1 << (bits - 1)), hi = (1 << (bits - 1)) - 1;
    const auto dw = random_weights({1, 16384, 3, 3}, lo, hi);
    run(
        bits == 2 ? "depthwise 2 bits 3x3 x16384" : "depthwise 4 bits 3x3 x16384", *dw,
        v1::sep_cnp_dw_weights_32b_size(*dw, bits),
        [&](std::span<uint32_t> out) { v1::format_sep_cnp_dw_weights(out, *dw, bits); }, reps);
    const auto pw = random_weights({1024, 1024}, lo, hi);
    run(
        bits == 2 ? "pointwise 2 bits 1024->1024" : "pointwise 4 bits 1024->1024", *pw,
        v1::sep_cnp_pw_weights_32b_size(*pw, bits, 1024),
        [&](std::span<uint32_t> out) { v1::format_sep_cnp_pw_weights(out, *pw, bits, 0, 1024); }, reps);
  }
  return 0;
}
