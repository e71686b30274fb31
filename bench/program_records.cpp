// Packing weight words into program records: 32 MB in large (extended) blocks, and the
// same amount in small blocks over many NPs.
#include "program/record.h"

#include <chrono>
#include <cstdio>
#include <vector>

using namespace nuvra;

namespace {

double run(size_t block_words, size_t total_words) {
  const std::vector<uint32_t> block(block_words, 0x5A5A5A5A);
  const auto start = std::chrono::steady_clock::now();
  auto record = program::new_record(versions::FPGA_v2);
  size_t tracks = 0;
  for (size_t done = 0, i = 0; done < total_words; done += block_words, ++i) {
    const hw::Ident np{static_cast<uint8_t>(i % 64), static_cast<uint8_t>(i / 64 % 8), 0, 0};
    record->add_np_track(np, static_cast<dma::Target>(6), 0, block);
  }
  tracks = record->tracks().size();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%7zu-word blocks: %zu tracks, %.1f ms, %.0f MB/s\n", block_words, tracks, s * 1e3,
              double(total_words) * 4 / 1e6 / s);
  return s;
}

}  // namespace

int main() {
  const size_t total = 8u << 20;  // 8 Mi words = 32 MB
  for (size_t n : {60000u, 4095u, 64u, 3u}) run(n, total);
  return 0;
}
