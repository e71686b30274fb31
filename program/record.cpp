#include "program/record.h"

#include <nuvra/dma.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

namespace nuvra::program {

NpTrack::NpTrack(NpTrack&& other) noexcept
    : words_(std::exchange(other.words_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

NpTrack& NpTrack::operator=(NpTrack&& other) noexcept {
  if (this != &other) {
    std::free(words_);
    words_ = std::exchange(other.words_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

NpTrack::~NpTrack() { std::free(words_); }

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
  const uint64_t needed = static_cast<uint64_t>(size_) + kHeaderWords + count;
  if (needed > kMaxWords) return nullptr;
  const auto n = static_cast<uint32_t>(count);
  const bool xl = dma::config_block_size_needs_xl(n);
  if (xl && !allow_xl) return nullptr;

  // The header goes to a local pair first so that a refused field leaves the track as it was.
  uint32_t header[kHeaderWords] = {0, 0};
  dma::format_config_header(header, np, target, n, address, xl);

  // Unplanned, a track grows geometrically up to the track limit, so that many small blocks
  // stay linear; realloc moves the pages of a large track rather than copying them.
  if (capacity_ < needed) reserve(std::max<size_t>(needed, std::min<size_t>(capacity_ + capacity_ / 2, kMaxWords)));
  words_[size_] = header[0];
  words_[size_ + 1] = header[1];
  uint32_t* data = words_ + size_ + kHeaderWords;
  size_ = needed;
#ifndef NDEBUG
  // Whoever fills the block must write every word; a word left out shows in checked builds.
  std::fill(data, data + count, 0xA5A5A5A5u);
#endif
  return data;
}

void NpTrack::reserve(size_t words) {
  words = std::min<size_t>(words, kMaxWords);
  if (words <= capacity_) return;
  auto* grown = static_cast<uint32_t*>(std::realloc(words_, words * sizeof(uint32_t)));
  if (grown == nullptr) throw std::bad_alloc();
  words_ = grown;
  capacity_ = words;
}

Record::Record(const HwVersion& version) : version_(version) {}

void Record::plan_blocks(std::span<const size_t> counts) {
  // The packing rules of open_block, played through without writing.
  std::vector<size_t> sizes{tracks_.empty() ? 0 : tracks_.back().size()};
  for (const size_t n : counts) {
    const uint64_t block = uint64_t{NpTrack::kHeaderWords} + n;
    const bool xl = n > NpTrack::kMaxWords || dma::config_block_size_needs_xl(static_cast<uint32_t>(n));
    if (xl || sizes.back() + block > NpTrack::kMaxWords) sizes.push_back(0);
    if (block > NpTrack::kMaxWords) break;  // refused when it comes
    sizes.back() += block;
  }
  if (!tracks_.empty()) tracks_.back().reserve(sizes.front());
  // A record without tracks opens its first one for the first block.
  planned_tracks_.assign(sizes.rbegin(), sizes.rend() - (tracks_.empty() ? 0 : 1));
}

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
  // A new track takes the room the plan gave it.
  const auto open_track = [this] {
    tracks_.emplace_back();
    if (!planned_tracks_.empty()) {
      tracks_.back().reserve(planned_tracks_.back());
      planned_tracks_.pop_back();
    }
  };
  try {
    if (tracks_.empty()) open_track();
    if (uint32_t* out = tracks_.back().append_uninitialized(np, target, address, count, false)) return out;
    // Tracks are never revisited: a block that does not fit, or needs the extended header,
    // starts a new one.
    open_track();
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
