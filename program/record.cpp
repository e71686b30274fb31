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
      stored_(std::exchange(other.stored_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      deferred_(std::move(other.deferred_)),
      filled_(std::move(other.filled_)) {
  other.deferred_.clear();
}

NpTrack& NpTrack::operator=(NpTrack&& other) noexcept {
  if (this != &other) {
    std::free(words_);
    words_ = std::exchange(other.words_, nullptr);
    size_ = std::exchange(other.size_, 0);
    stored_ = std::exchange(other.stored_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    deferred_ = std::move(other.deferred_);
    other.deferred_.clear();
    filled_ = std::move(other.filled_);
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
  uint32_t* data = open(np, target, address, count, count, allow_xl);
#ifndef NDEBUG
  // Whoever fills the block must write every word; a word left out shows in checked builds.
  if (data != nullptr) std::fill(data, data + count, 0xA5A5A5A5u);
#endif
  return data;
}

bool NpTrack::append_deferred(const hw::Ident& np, dma::Target target, uint16_t address, size_t count, Fill&& fill,
                              bool allow_xl, const BlockSource& source,
                              const std::shared_ptr<const BlockSweep>& sweep) {
  // Room for the entry first, so that nothing can fail once the header is in.
  if (deferred_.size() == deferred_.capacity()) deferred_.reserve(std::max<size_t>(4, deferred_.size() * 2));
  if (open(np, target, address, count, 0, allow_xl) == nullptr) return false;
  deferred_.push_back(Deferred{size_ - count, stored_, count, std::move(fill), source, sweep});
  return true;
}

uint32_t* NpTrack::open(const hw::Ident& np, dma::Target target, uint16_t address, size_t count, size_t held,
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
  const size_t stored = stored_ + kHeaderWords + held;
  if (capacity_ < stored) reserve(std::max<size_t>(stored, std::min<size_t>(capacity_ + capacity_ / 2, kMaxWords)));
  words_[stored_] = header[0];
  words_[stored_ + 1] = header[1];
  uint32_t* data = words_ + stored_ + kHeaderWords;
  stored_ = stored;
  size_ = needed;
  filled_.reset();
  return data;
}

void NpTrack::truncate(size_t size) {
  if (size >= size_) return;
  while (!deferred_.empty() && deferred_.back().at >= size) deferred_.pop_back();
  size_t deferred_words = 0;
  for (const Deferred& d : deferred_) deferred_words += d.count;
  stored_ = size - deferred_words;
  size_ = size;
  filled_.reset();
}

void NpTrack::reserve(size_t words) {
  words = std::min<size_t>(words, kMaxWords);
  if (words <= capacity_) return;
  auto* grown = static_cast<uint32_t*>(std::realloc(words_, words * sizeof(uint32_t)));
  if (grown == nullptr) throw std::bad_alloc();
  words_ = grown;
  capacity_ = words;
}

void NpTrack::write_to(std::span<uint32_t> out, DeferredWriter* deferred) const {
  if (out.size() != size_) throw std::invalid_argument("A track is written to room of its own size.");
  size_t at = 0, held = 0;
  for (const Deferred& d : deferred_) {
    std::copy(words_ + held, words_ + d.stored, out.data() + at);
    at += d.stored - held;
    held = d.stored;
    const std::span<uint32_t> block = out.subspan(at, d.count);
    if (deferred != nullptr)
      deferred->place({&d.fill, &d.source, d.sweep.get()}, block);
    else
      d.fill(block);
    at += d.count;
  }
  std::copy(words_ + held, words_ + stored_, out.data() + at);
}

TrackWords NpTrack::words() const {
  if (deferred_.empty()) return {words_, size_};
  if (!filled_) {
    auto all = std::make_unique<uint32_t[]>(size_);
    write_to({all.get(), size_});
    filled_ = std::move(all);
  }
  return {filled_.get(), size_};
}

Record::Record(const HwVersion& version) : version_(version) {}

void Record::plan_blocks(std::span<const PlannedBlock> blocks) {
  // The packing rules of open_block, played through without writing: per track its words and
  // the room it needs. The last open track (or, in a record without tracks, the first one the
  // plan opens) is the first planned; the tracks after it go to planned_tracks_ in order.
  size_t words = tracks_.empty() ? 0 : tracks_.back().size(), room = 0, first_room = 0;
  bool first = true;
  planned_tracks_.clear();
  const auto close_track = [&] {
    if (first)
      first_room = room;
    else
      planned_tracks_.push_back(room);
    first = false;
    words = room = 0;
  };
  for (const PlannedBlock& b : blocks) {
    const uint64_t block = uint64_t{NpTrack::kHeaderWords} + b.words;
    const bool xl = b.words > NpTrack::kMaxWords || dma::config_block_size_needs_xl(static_cast<uint32_t>(b.words));
    if (xl || words + block > NpTrack::kMaxWords) close_track();
    if (block > NpTrack::kMaxWords) break;  // refused when it comes
    words += block;
    room += NpTrack::kHeaderWords + (b.deferred ? 0 : b.words);
  }
  close_track();
  // A record without tracks opens its first one for the first block.
  if (!tracks_.empty())
    tracks_.back().reserve(first_room);
  else
    planned_tracks_.insert(planned_tracks_.begin(), first_room);
  // Taken from the back as tracks open.
  std::reverse(planned_tracks_.begin(), planned_tracks_.end());
  tracks_.reserve(tracks_.size() + planned_tracks_.size());
}

void Record::plan_blocks(std::span<const size_t> counts) {
  std::vector<PlannedBlock> blocks;
  blocks.reserve(counts.size());
  for (const size_t n : counts) blocks.push_back({n, false});
  plan_blocks(blocks);
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

bool Record::add_deferred_np_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                                   NpTrack::Fill fill, const BlockSource& source,
                                   const std::shared_ptr<const BlockSweep>& sweep) {
  open_block(np, target, address, count, &fill, source, sweep);
  return true;
}

uint32_t* Record::open_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                             NpTrack::Fill* fill, const BlockSource& source,
                             const std::shared_ptr<const BlockSweep>& sweep) {
  const Mark before = mark();
  // A new track takes the room the plan gave it.
  const auto open_track = [this] {
    tracks_.emplace_back();
    if (!planned_tracks_.empty()) {
      tracks_.back().reserve(planned_tracks_.back());
      planned_tracks_.pop_back();
    }
  };
  // Tracks are never revisited: a block that does not fit, or needs the extended header,
  // starts a new one. A deferred fill is handed on only by the append that takes it.
  const auto append = [&](bool allow_xl) -> std::pair<bool, uint32_t*> {
    NpTrack& t = tracks_.back();
    if (fill == nullptr) {
      uint32_t* out = t.append_uninitialized(np, target, address, count, allow_xl);
      return {out != nullptr, out};
    }
    return {t.append_deferred(np, target, address, count, std::move(*fill), allow_xl, source, sweep), nullptr};
  };
  try {
    if (tracks_.empty()) open_track();
    if (const auto [ok, out] = append(false); ok) return out;
    open_track();
    if (const auto [ok, out] = append(true); ok) return out;
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
