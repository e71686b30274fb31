// How many parts a layer is cut into along x, y and the filters, and how large each is.
#pragma once

#include "backend/strategies.h"

#include <nuvra/types.h>

#include <compare>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

namespace nuvra {

// Parts along one axis. A record whose count or size is 0 means the axis cannot be split.
struct AxisSplit {
  uint32_t count = 0;        // parts along the axis
  uint32_t size = 0;         // extent of every part but the last
  uint32_t total = 0;        // extent of the whole axis
  uint32_t max_size = 0;     // largest part allowed
  uint32_t granularity = 0;  // part sizes are multiples of it when it is at least 2
  bool valid() const { return count != 0 && size != 0; }
  bool operator==(const AxisSplit&) const = default;
};

// What a part's input window is held to: the input SRAM and the register fields that count the
// window (CompatibilityChecker::is_input_window_recordable), or the input SRAM alone.
enum class WindowLimits { SramAndRegisters, SramOnly };

enum class InputBuffering : uint32_t { None = 0, Dual = 1, Single = 2 };

struct SplitSearchResult {
  bool found = false;
  AxisSplit width;
  AxisSplit height;
  AxisSplit filters;
  InputBuffering buffering = InputBuffering::None;
};

// Parts along x, y and the filters; ordered lexicographically.
struct SplitsNumChunks {
  uint32_t a = 0, b = 0, c = 0;
  auto operator<=>(const SplitsNumChunks&) const = default;

  // Every unordered factorisation of n into three factors, each sorted ascending.
  static std::set<SplitsNumChunks> factor_triplets(uint32_t n);
  // Every ordered factorisation of n into three factors, in descending lexicographic order.
  static std::vector<SplitsNumChunks> get_splits_number(uint32_t n);
};

// The pairs (n / i, i) for every divisor i <= sqrt(n); empty for 0.
std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n);

// The axis rule: parts of at most `max_size` (rounded to `granularity`) covering `total`.
AxisSplit axis_split(uint32_t total, uint32_t max_size, uint32_t granularity);

// The record of `axis` cut into `parts` parts as the search cuts it (total, maximum and
// granularity kept); an invalid record when that number of parts leaves a part empty or
// cannot be made.
AxisSplit axis_parts(const AxisSplit& axis, uint32_t parts);

// What find_np_split answered, kept for one checker whose fit tests are repeatable: the same
// layer shapes come again and again in one map. Holds a bounded number of answers.
class SplitSearchMemo {
 public:
  struct Key {
    uint32_t channels = 0;
    uint8_t input_bits = 0;
    NpSplitParams sp;
    AxisSplit height, width, filters;
    uint32_t fifo_size = 0;
    hw::Type type{};
    bool loop_itself = false;
    uint32_t reserve = 0;
    bool depthwise = false, allow_height_split = false, tnp_b = false;
    WindowLimits limits = WindowLimits::SramAndRegisters;
    uint32_t max_start = kAnyPartStart;
    bool operator==(const Key&) const = default;
  };
  const SplitSearchResult* find(const Key& key) const;
  void keep(const Key& key, const SplitSearchResult& result);

 private:
  static constexpr size_t kMaxAnswers = 64;
  std::vector<std::pair<Key, SplitSearchResult>> answers_;
};

// One way to cut an axis: the number of parts asked for, the record it gives, and the extent it
// puts into the fit test (the widest bordered window, or the channels on the filter axis).
struct AxisCandidate {
  uint32_t parts = 0;
  AxisSplit split;
  uint32_t extent = 0;
};

// The smallest total number of parts whose input window fits the NP's input SRAM; among
// equal totals more parts along x first, then y, then the filters. A dual-buffered fit is
// taken before a single-buffered one, which `loop_itself` forbids; the window is held to `limits`,
// and with the register fields every part to start at `max_start` at most (the last part of an
// axis of `count` parts of `size` starts at (count - 1) * size). With `memo` (kept for this checker
// only) an answer is reused when the checker's fit tests are repeatable.
SplitSearchResult find_np_split(uint32_t channels, uint8_t input_bits, const NpSplitParams& sp,
                                const CompatibilityChecker& checker, const AxisSplit& height,
                                const AxisSplit& width, const AxisSplit& filters, uint32_t fifo_size,
                                hw::Type type, bool loop_itself, uint32_t reserve, bool depthwise,
                                bool allow_height_split, bool tnp_b, SplitSearchMemo* memo = nullptr,
                                WindowLimits limits = WindowLimits::SramAndRegisters,
                                uint32_t max_start = kAnyPartStart);

// The same search over the given ways to cut x and y, each list by increasing parts, and the
// filter axis cut as find_np_split cuts it; the window is held to the input SRAM and the register
// fields. `x_choice` and `y_choice`, when given, receive the positions of the cuts taken.
SplitSearchResult find_np_split_among(const std::vector<AxisCandidate>& xs, const std::vector<AxisCandidate>& ys,
                                      uint32_t channels, uint8_t input_bits, const CompatibilityChecker& checker,
                                      const AxisSplit& filters, uint32_t fifo_size, hw::Type type, bool loop_itself,
                                      uint32_t reserve, bool depthwise, bool tnp_b, size_t* x_choice,
                                      size_t* y_choice);

}  // namespace nuvra
