// Per-NP program records: what every recorder produces and the serializer writes out.
#pragma once

#include <nuvra/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace nuvra::program {

// A view of a track's words that also converts to (and compares with) a word vector.
class TrackWords : public std::span<const uint32_t> {
 public:
  using std::span<const uint32_t>::span;
  operator std::vector<uint32_t>() const { return {begin(), end()}; }
  friend bool operator==(const TrackWords& a, const std::vector<uint32_t>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
};

// What a deferred block is made from: blocks of one record with the same source (not null) and
// the same size have the same words.
struct BlockSource {
  const void* data = nullptr;
  uint64_t first = 0, count = 0;
  bool operator==(const BlockSource&) const = default;
};

// Writes all the words of a deferred block, from what it owns; never throws.
using BlockFill = std::function<void(std::span<uint32_t>)>;

// One block of a sweep: the range (first, count) of its BlockSource and its words.
struct SweepPart {
  uint64_t first = 0, count = 0;
  std::span<uint32_t> out;
};
// Writes several deferred blocks of one source in one pass over it, each exactly as its own fill
// would (the filter ranges of a layer split over NPs; a range may come more than once); never
// throws.
using BlockSweep = std::function<void(std::span<const SweepPart>)>;

// Takes the deferred blocks of a track as the track is written out, with the room their words
// go to; it fills each there, at once or later (before the words are used).
class DeferredWriter {
 public:
  struct Block {
    const BlockFill* fill = nullptr;
    const BlockSource* source = nullptr;
    const BlockSweep* sweep = nullptr;  // null when the block has none
  };
  virtual ~DeferredWriter() = default;
  virtual void place(const Block& block, std::span<uint32_t> out) = 0;
};

// One run of DMA configuration blocks (two header words, then the block's data words).
// Never longer than kMaxWords; may be empty (a record whose first block needed the
// extended header keeps an empty first track). Its words are written once, in place: growing
// moves them without initialising new room. A deferred block holds no words of its own: its
// fill writes them where the track is written out.
class NpTrack {
 public:
  static constexpr uint32_t kMaxWords = 65535;
  static constexpr uint32_t kHeaderWords = 2;
  // The data of one block: what a track holds beside the block's header.
  static constexpr uint32_t kMaxBlockWords = kMaxWords - kHeaderWords;
  using Fill = BlockFill;

  NpTrack() = default;
  NpTrack(NpTrack&& other) noexcept;
  NpTrack& operator=(NpTrack&& other) noexcept;
  ~NpTrack();

  // Appends one block, or refuses (returns false, track unchanged) when the block does
  // not fit or needs the extended header while `allow_xl` is false. Never throws for
  // size reasons; a header field the engine refuses throws and leaves the track unchanged.
  bool append(const hw::Ident& np, dma::Target target, uint16_t address,
              const std::vector<uint32_t>& data, bool allow_xl);
  // Same, from `count` words at `data`, for callers that do not hold a vector.
  bool append(const hw::Ident& np, dma::Target target, uint16_t address, const uint32_t* data,
              size_t count, bool allow_xl);

  // Opens a block of `count` data words and returns them for the caller to write (their
  // contents are unspecified until then), or nullptr when refused as `append` refuses.
  uint32_t* append_uninitialized(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                                 bool allow_xl);
  // Same, the data words left to `fill` (or to `sweep`, with other blocks of its source) until
  // the track is written out or read; refusals return false and leave `fill` as it was.
  bool append_deferred(const hw::Ident& np, dma::Target target, uint16_t address, size_t count, Fill&& fill,
                       bool allow_xl, const BlockSource& source = {},
                       const std::shared_ptr<const BlockSweep>& sweep = nullptr);
  // Drops words from the end, back to `size` words (undoes blocks on failure; `size` is a
  // block boundary).
  void truncate(size_t size);
  // Room for `words` words in all (at most kMaxWords), so that appending up to there moves nothing.
  void reserve(size_t words);

  // All words, deferred blocks filled (on the first call after they were added).
  TrackWords words() const;
  // Writes all size() words to `out`, each once; deferred blocks are filled straight there, or
  // handed to `deferred` with their room.
  void write_to(std::span<uint32_t> out, DeferredWriter* deferred = nullptr) const;
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Deferred {
    size_t at = 0;      // the first data word, counted over the whole track
    size_t stored = 0;  // words held before it
    size_t count = 0;
    Fill fill;
    BlockSource source;
    std::shared_ptr<const BlockSweep> sweep;
  };
  // Opens a block whose first `held` data words are held by the track; nullptr when refused.
  uint32_t* open(const hw::Ident& np, dma::Target target, uint16_t address, size_t count, size_t held,
                 bool allow_xl);

  uint32_t* words_ = nullptr;  // malloc'd, so that a large track grows without copying
  size_t size_ = 0;            // words of the track, deferred ones included
  size_t stored_ = 0;          // words held in words_
  size_t capacity_ = 0;
  std::vector<Deferred> deferred_;
  mutable std::unique_ptr<uint32_t[]> filled_;  // all words, once words() was asked with blocks deferred
};

// Weights of an FNP2 NP. They live in external memory, so they carry no header and are
// kept apart from the tracks.
struct Fnp2FiltersTrack {
  hw::Ident np;
  std::vector<uint32_t> words;
};

// The program of one layer (or of the input/output set-up) on one or more NPs.
class Record {
 public:
  explicit Record(const HwVersion& version);
  virtual ~Record();

  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Appends one block to the current track, opening a new track when it does not fit or
  // needs the extended header (a block needing it always starts a track). Returns true;
  // throws std::runtime_error "Error generating NP program" when even a fresh track cannot
  // take it (more than 65533 words). On any exception the record is left as it was.
  bool add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                    const std::vector<uint32_t>& data);
  bool add_np_track(const hw::Ident& np, dma::Target target, uint16_t address,
                    const uint32_t* data, size_t count);

  // Appends a block of `count` data words that `fill(std::span<uint32_t>)` writes in place;
  // fill must write every word. Same track rules and guarantees as add_np_track: if fill
  // throws, the record is left as it was.
  template <class Fill>
  bool add_np_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count, Fill&& fill) {
    const Mark mark = this->mark();
    uint32_t* data = open_block(np, target, address, count);
    try {
      fill(std::span<uint32_t>(data, count));
    } catch (...) {
      rollback(mark);
      throw;
    }
    return true;
  }

  // Appends a block of `count` data words that `fill` writes only when the record is written
  // out (or its words read), straight into their place in the program. Everything that can be
  // refused must be checked before; `fill` must write every word, never throw, and own what it
  // reads. Same track rules and failures as add_np_track.
  // Blocks given the same `sweep` may be written by it together, each with its source's range.
  bool add_deferred_np_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                             NpTrack::Fill fill, const BlockSource& source = {},
                             const std::shared_ptr<const BlockSweep>& sweep = nullptr);

  // The blocks about to be added, in order: each track they will fill gets its room at once, so
  // that none grows. Blocks that differ from the plan are still taken, only less cheaply.
  struct PlannedBlock {
    size_t words = 0;
    bool deferred = false;  // held by its fill: only the header takes room
  };
  void plan_blocks(std::span<const PlannedBlock> blocks);
  void plan_blocks(std::span<const size_t> counts);

  // Makes (np, words) the FNP2 filters track, replacing any earlier one.
  void add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words);
  void add_fnp2_filters_track(const hw::Ident& np, std::vector<uint32_t>&& words);

  const std::vector<NpTrack>& tracks() const { return tracks_; }
  const std::optional<Fnp2FiltersTrack>& fnp2_filters_track() const { return fnp2_filters_track_; }
  const HwVersion& version() const { return version_; }

 private:
  struct Mark {
    size_t tracks = 0;
    size_t last_track_words = 0;
  };
  Mark mark() const;
  void rollback(const Mark& mark);
  // Room for one block under the track rules of add_np_track; throws as it does. With `fill`
  // the block is deferred and nullptr comes back.
  uint32_t* open_block(const hw::Ident& np, dma::Target target, uint16_t address, size_t count,
                       NpTrack::Fill* fill = nullptr, const BlockSource& source = {},
                       const std::shared_ptr<const BlockSweep>& sweep = nullptr);

  std::vector<NpTrack> tracks_;
  std::vector<size_t> planned_tracks_;  // room of the tracks the plan opens, the next one last
  std::optional<Fnp2FiltersTrack> fnp2_filters_track_;
  HwVersion version_;
};

// A new empty record for `version`; every layer recording starts with it.
std::unique_ptr<Record> new_record(const HwVersion& version);

// What a recorder returns for a learning layer. Members are destroyed in reverse order of
// declaration: weights, then registers_b, then registers_a.
struct LearnRecordsPtr {
  std::unique_ptr<Record> registers_a;  // registers with on-chip learning enabled
  std::unique_ptr<Record> registers_b;  // the same registers with learning disabled
  std::unique_ptr<Record> weights;      // FNP memory: an FNP3 weights track or FNP2 filters
  uint32_t fnp_sram_size = 0;           // FNP memory image size, in words
};

}  // namespace nuvra::program
