// CNP weight packing throughput: the words of one NP's whole filter range for a few large
// layers, reported as MB/s of packed image (best and median of several repetitions). Packing
// should run near memory speed: a 3x3 Conv2D with 512 input and 512 output channels packs
// 2.4 MB of weights.
#include "v2/cnp/weight_formats.h"

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

std::shared_ptr<Dense> random_weights(const Shape& shape, Layout layout) {
  auto t = Dense::create(TensorType::int8, shape, layout);
  std::mt19937 rng(42);
  for (size_t i = 0; i < t->storage().size(); ++i) t->storage().data()[i] = static_cast<uint8_t>(rng());
  return t;
}

void run(const char* name, const std::function<std::vector<uint32_t>()>& pack, int repetitions) {
  std::vector<double> seconds;
  size_t words = 0;
  uint32_t checksum = 0;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const auto image = pack();
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    words = image.size();
    checksum ^= image[image.size() / 2];
  }
  std::sort(seconds.begin(), seconds.end());
  const double mb = static_cast<double>(words) * 4 / 1e6;
  std::printf("%-40s %9.2f MB  best %8.3f ms %8.0f MB/s  median %8.3f ms %8.0f MB/s  (%08x)\n", name, mb,
              seconds.front() * 1e3, mb / seconds.front(), seconds[seconds.size() / 2] * 1e3,
              mb / seconds[seconds.size() / 2], checksum);
}

}  // namespace

int main() {
  const int reps = 15;
  struct ConvCase {
    const char* name;
    uint32_t k, channels, filters;
    Layout layout;
  };
  const ConvCase conv_cases[] = {
      {"conv2d 3x3 512->512", 3, 512, 512, Layout::RowMajor},
      {"conv2d 3x3 512->512 (layout 1)", 3, 512, 512, Layout::Reversed},
      {"conv2d 1x1 512->512", 1, 512, 512, Layout::RowMajor},
      {"conv2d 5x5 256->256", 5, 256, 256, Layout::RowMajor},
      {"conv2d 7x7 256->256", 7, 256, 256, Layout::RowMajor},
  };
  {
    // Reference: a plain copy of as many bytes as the 3x3 512->512 image.
    const auto w = random_weights({3, 3, 512, 512}, Layout::RowMajor);
    run("reference: copy of 2.36 MB", [&] {
      std::vector<uint32_t> words(w->storage().size() / 4);
      std::memcpy(words.data(), w->storage().data(), words.size() * 4);
      return words;
    }, reps);
  }
  for (const auto& c : conv_cases) {
    const auto w = random_weights({c.k, c.k, c.channels, c.filters}, c.layout);
    run(c.name, [&] { return v2::format_conv2d_cnp_weights(*w, 0, c.filters); }, reps);
  }
  struct DwcCase {
    const char* name;
    uint32_t k, channels;
  };
  const DwcCase dwc_cases[] = {
      {"depthwise 3x3 x16384", 3, 16384},
      {"depthwise 7x7 x16384", 7, 16384},
  };
  for (const auto& c : dwc_cases) {
    const auto w = random_weights({c.k, c.k, 1, c.channels}, Layout::RowMajor);
    run(c.name, [&] { return v2::format_depthwise_conv_cnp_weights(*w, 0, c.channels); }, reps);
  }
  return 0;
}
