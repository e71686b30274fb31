#include "program/record.h"

#include <nuvra/dma.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace nuvra::program {

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t address,
                     const std::vector<uint32_t>& data, bool allow_xl) {
  return append(np, target, address, data.data(), data.size(), allow_xl);
}

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t address, const uint32_t* data,
                     size_t count, bool allow_xl) {
  // 64-bit sum: a huge count must not wrap into a "fitting" block.
  const uint64_t needed = static_cast<uint64_t>(words_.size()) + kHeaderWords + count;
  if (needed > kMaxWords) return false;
  const auto n = static_cast<uint32_t>(count);
  const bool xl = dma::config_block_size_needs_xl(n);
  if (xl && !allow_xl) return false;

  // The header goes to a local pair first so that a refused field leaves the track as it was.
  uint32_t header[kHeaderWords] = {0, 0};
  dma::format_config_header(header, np, target, n, address, xl);

  // Grow geometrically (bounded by the track limit) so that neither insert reallocates:
  // the inserts then cannot throw, and many small blocks stay linear.
  if (words_.capacity() < needed) {
    const size_t doubled = std::min<size_t>(2 * words_.capacity(), kMaxWords);
    words_.reserve(std::max<size_t>(needed, doubled));
  }
  words_.insert(words_.end(), header, header + kHeaderWords);
  if (count != 0) words_.insert(words_.end(), data, data + count);
  return true;
}

Record::Record(const HwVersion& version) : version_(version) {}

Record::~Record() = default;

bool Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                          const std::vector<uint32_t>& data) {
  return add_np_track(np, target, address, data.data(), data.size());
}

bool Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                          const uint32_t* data, size_t count) {
  const size_t tracks_before = tracks_.size();
  auto restore = [&] {
    tracks_.erase(tracks_.begin() + static_cast<std::ptrdiff_t>(tracks_before), tracks_.end());
  };
  try {
    if (tracks_.empty()) tracks_.emplace_back();
    if (tracks_.back().append(np, target, address, data, count, false)) return true;
    // Tracks are never revisited: a block that does not fit, or needs the extended
    // header, starts a new one.
    tracks_.emplace_back();
    if (tracks_.back().append(np, target, address, data, count, true)) return true;
  } catch (...) {
    restore();
    throw;
  }
  restore();
  throw std::runtime_error("Error generating NP program");
}

void Record::add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words) {
  add_fnp2_filters_track(np, std::vector<uint32_t>(words));
}

void Record::add_fnp2_filters_track(const hw::Ident& np, std::vector<uint32_t>&& words) {
  fnp2_filters_track_ = Fnp2FiltersTrack{np, std::move(words)};
}

std::unique_ptr<Record> new_record(const HwVersion& version) {
  return std::make_unique<Record>(version);
}

}  // namespace nuvra::program
