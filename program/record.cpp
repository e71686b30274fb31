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
  uint32_t* out = append_uninitialized(np, target, address, count, allow_xl);
  if (out == nullptr) return false;
  if (count != 0) std::copy(data, data + count, out);
  return true;
}

uint32_t* NpTrack::append_uninitialized(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                                        bool allow_xl) {
  // 64-bit sum: a huge count must not wrap into a "fitting" block.
  const uint64_t needed = static_cast<uint64_t>(words_.size()) + kHeaderWords + count;
  if (needed > kMaxWords) return nullptr;
  const auto n = static_cast<uint32_t>(count);
  const bool xl = dma::config_block_size_needs_xl(n);
  if (xl && !allow_xl) return nullptr;

  // The header goes to a local pair first so that a refused field leaves the track as it was.
  uint32_t header[kHeaderWords] = {0, 0};
  dma::format_config_header(header, np, target, n, address, xl);

  // Grow geometrically (bounded by the track limit) so that neither step reallocates:
  // they then cannot throw, and many small blocks stay linear.
  if (words_.capacity() < needed) {
    const size_t doubled = std::min<size_t>(2 * words_.capacity(), kMaxWords);
    words_.reserve(std::max<size_t>(needed, doubled));
  }
  words_.insert(words_.end(), header, header + kHeaderWords);
  const size_t start = words_.size();
  words_.resize(start + count);
  return words_.data() + start;
}

Record::Record(const HwVersion& version) : version_(version) {}

Record::~Record() = default;

bool Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                          const std::vector<uint32_t>& data) {
  return add_np_track(np, target, address, data.data(), data.size());
}

bool Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                          const uint32_t* data, size_t count) {
  uint32_t* out = open_block(np, target, address, count);
  if (count != 0) std::copy(data, data + count, out);
  return true;
}

Record::Mark Record::mark() const {
  return {tracks_.size(), tracks_.empty() ? 0 : tracks_.back().size()};
}

void Record::rollback(const Mark& mark) {
  tracks_.erase(tracks_.begin() + static_cast<std::ptrdiff_t>(mark.tracks), tracks_.end());
  if (!tracks_.empty()) tracks_.back().truncate(mark.last_track_words);
}

uint32_t* Record::open_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count) {
  const Mark before = mark();
  try {
    if (tracks_.empty()) tracks_.emplace_back();
    if (uint32_t* out = tracks_.back().append_uninitialized(np, target, address, count, false)) return out;
    // Tracks are never revisited: a block that does not fit, or needs the extended header,
    // starts a new one.
    tracks_.emplace_back();
    if (uint32_t* out = tracks_.back().append_uninitialized(np, target, address, count, true)) return out;
  } catch (...) {
    rollback(before);
    throw;
  }
  rollback(before);
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
