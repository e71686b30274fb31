#include "backend/split_search.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

namespace nuvra {

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t round_up(uint64_t v, uint64_t g) { return ceil_div(v, g) * g; }

uint32_t saturate(uint64_t v) {
  return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

// The candidates of one axis. Most axes have a few dozen, kept on the stack; a longer list moves
// to the heap.
class CandidateList {
 public:
  CandidateList() {}  // the inline storage is written before it is read
  CandidateList(const CandidateList&) = delete;
  CandidateList& operator=(const CandidateList&) = delete;

  void push_back(const AxisCandidate& c) {
    if (size_ < kInline) {
      std::construct_at(&storage_.items[size_], c);
    } else {
      if (heap_.empty()) heap_.assign(storage_.items, storage_.items + kInline);
      heap_.push_back(c);
    }
    ++size_;
  }
  const AxisCandidate* begin() const { return size_ <= kInline ? storage_.items : heap_.data(); }
  const AxisCandidate* end() const { return begin() + size_; }
  const AxisCandidate& front() const { return *begin(); }
  const AxisCandidate& operator[](size_t i) const { return begin()[i]; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  static constexpr size_t kInline = 64;
  union Storage {
    Storage() {}
    AxisCandidate items[kInline];
  } storage_;
  std::vector<AxisCandidate> heap_;
  size_t size_ = 0;
};

// Every part of a split but the outer ones reads `before` and `after` beyond its edges.
uint32_t window_extent(const AxisSplit& s, uint32_t before, uint32_t after) {
  uint64_t w = s.size;
  if (s.count == 2)
    w += std::max(before, after);
  else if (s.count >= 3)
    w += uint64_t{before} + after;
  return saturate(w);
}

// The usable ways to cut `axis` into `first` to `last` parts, fewest parts first.
// ceil(total / parts) decides the record, so within a run of part counts that share it only
// the first can be valid or differ from the others: a later one is either rejected by the
// empty-part test or gives the same parts with a larger count, and so never wins.
// Stepping from run to run keeps the list at O(sqrt(total)) entries.
template <class Accept>
void candidates(const AxisSplit& axis, uint32_t first, uint32_t last, Accept accept, CandidateList& out) {
  if (axis.total == 0) return;
  uint64_t a = std::max<uint32_t>(first, 1);
  const uint64_t end = std::min(last, axis.total);
  while (a <= end) {
    const AxisSplit s = axis_parts(axis, static_cast<uint32_t>(a));
    if (s.valid()) {
      const auto extent = accept(s);
      if (extent) out.push_back({static_cast<uint32_t>(a), s, *extent});
    }
    const uint64_t q = ceil_div(axis.total, a);
    if (q <= 1) break;
    a = std::max(a + 1, ceil_div(axis.total, q - 1));
  }
}

using Wide = unsigned __int128;

// The filter parts: on a depthwise layer their size is the channels of the fit test.
void filter_candidates(const AxisSplit& filters, uint32_t channels, bool depthwise, bool tnp_b, CandidateList& fs) {
  candidates(
      filters, filters.count, filters.total,
      [&](const AxisSplit& s) -> std::optional<uint32_t> {
        // A depthwise TNP-B part must hold whole groups of filters, the last one included.
        if (depthwise && tnp_b && s.count >= 2 && filters.granularity >= 2 &&
            (s.total - uint64_t{s.count - 1} * s.size) % filters.granularity != 0)
          return std::nullopt;
        return depthwise ? s.size : channels;
      },
      fs);
}

// Whether an input window fits one NP, and in which buffering: the input SRAM, dual-buffered
// first, single-buffered unless the pass loops on itself; and, unless left out, the register
// fields.
struct WindowTest {
  const CompatibilityChecker& checker;
  hw::Type type;
  uint32_t fifo_size;
  uint8_t input_bits;
  uint32_t reserve;
  bool loop_itself;
  bool depthwise;
  WindowLimits limits;

  bool operator()(uint32_t rows, uint32_t cols, uint32_t chans, InputBuffering* how) const {
    if (limits == WindowLimits::SramAndRegisters &&
        !checker.is_input_window_recordable(type, rows, cols, chans, input_bits, depthwise))
      return false;
    if (checker.is_sram_input_fit_dual_buffer(type, rows, cols, chans, fifo_size, input_bits, reserve)) {
      *how = InputBuffering::Dual;
      return true;
    }
    if (!loop_itself &&
        checker.is_sram_input_fit_single_buffer(type, rows, cols, chans, fifo_size, input_bits, reserve)) {
      *how = InputBuffering::Single;
      return true;
    }
    return false;
  }
};

template <class List>
uint32_t smallest_extent(const List& list) {
  uint32_t m = list.front().extent;
  for (const auto& c : list) m = std::min(m, c.extent);
  return m;
}

// The candidates taken along x, y and the filters, and the buffering.
struct Choice {
  size_t x = 0, y = 0, f = 0;
  InputBuffering how = InputBuffering::None;
};

// The smallest total of parts whose window fits; among equal totals more parts along x first,
// then y, then the filters. Each list holds its candidates by increasing parts.
template <class XList, class YList>
std::optional<Choice> choose(const XList& xs, const YList& ys, const CandidateList& fs, uint32_t channels,
                             bool depthwise, const WindowTest& fits) {
  if (xs.empty() || ys.empty() || fs.empty()) return std::nullopt;

  // The fit tests only get harder as the window grows, so when the smallest window of every
  // axis fails together, no split fits.
  InputBuffering how = InputBuffering::None;
  const uint32_t min_channels = smallest_extent(fs);
  if (!fits(smallest_extent(ys), smallest_extent(xs), min_channels, &how)) return std::nullopt;

  // The smallest total of parts that fits.
  Wide best = ~Wide{0};
  for (const auto& x : xs) {
    if (Wide{x.parts} * ys.front().parts * fs.front().parts >= best) break;
    for (const auto& y : ys) {
      const Wide xy = Wide{x.parts} * y.parts;
      if (xy * fs.front().parts >= best) break;
      if (!depthwise) {
        // The channels do not depend on the filter parts: the fewest filter parts decide.
        if (fits(y.extent, x.extent, channels, &how)) best = xy * fs.front().parts;
        continue;
      }
      if (!fits(y.extent, x.extent, min_channels, &how)) continue;
      std::optional<uint32_t> failed;
      for (const auto& f : fs) {
        if (xy * f.parts >= best) break;
        if (failed == f.extent) continue;
        if (fits(y.extent, x.extent, f.extent, &how)) {
          best = xy * f.parts;
          break;
        }
        failed = f.extent;
      }
    }
  }
  if (best == ~Wide{0}) return std::nullopt;

  // Among the splits of that total, the first in descending order of (x, y, filter) parts.
  for (size_t xi = xs.size(); xi-- > 0;) {
    const auto& x = xs[xi];
    if (best % x.parts != 0) continue;
    const Wide rest = best / x.parts;
    for (size_t yi = ys.size(); yi-- > 0;) {
      const auto& y = ys[yi];
      if (rest % y.parts != 0) continue;
      const Wide c = rest / y.parts;
      const auto f = std::find_if(fs.begin(), fs.end(), [&](const AxisCandidate& k) { return k.parts == c; });
      if (f == fs.end()) continue;
      if (fits(y.extent, x.extent, f->extent, &how)) return Choice{xi, yi, static_cast<size_t>(f - fs.begin()), how};
    }
  }
  return std::nullopt;
}

// The records of the candidates chosen, or not found.
template <class XList, class YList>
SplitSearchResult result_of(const XList& xs, const YList& ys, const CandidateList& fs,
                            const std::optional<Choice>& chosen) {
  SplitSearchResult result;
  if (!chosen) return result;
  result.found = true;
  result.width = xs[chosen->x].split;
  result.height = ys[chosen->y].split;
  result.filters = fs[chosen->f].split;
  result.buffering = chosen->how;
  return result;
}

}  // namespace

std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n) {
  std::set<std::pair<uint32_t, uint32_t>> pairs;
  for (uint64_t i = 1; i * i <= n; ++i)
    if (n % i == 0) pairs.emplace(static_cast<uint32_t>(n / i), static_cast<uint32_t>(i));
  return pairs;
}

std::set<SplitsNumChunks> SplitsNumChunks::factor_triplets(uint32_t n) {
  std::set<SplitsNumChunks> triplets;
  auto add = [&](uint32_t x, uint32_t y, uint32_t z) {
    uint32_t t[3] = {x, y, z};
    std::sort(t, t + 3);
    triplets.insert({t[0], t[1], t[2]});
  };
  for (const auto& [p, q] : factor_pairs(n)) {
    for (const auto& [r, s] : factor_pairs(q)) add(p, r, s);
    for (const auto& [r, s] : factor_pairs(p)) add(r, s, q);
  }
  return triplets;
}

std::vector<SplitsNumChunks> SplitsNumChunks::get_splits_number(uint32_t n) {
  std::set<SplitsNumChunks> all;
  for (const auto& t : factor_triplets(n)) {
    uint32_t v[3] = {t.a, t.b, t.c};
    do {
      all.insert({v[0], v[1], v[2]});
    } while (std::next_permutation(v, v + 3));
  }
  return {all.rbegin(), all.rend()};
}

AxisSplit axis_split(uint32_t total, uint32_t max_size, uint32_t granularity) {
  if (max_size < granularity) return {};
  AxisSplit r{0, total, total, max_size, granularity};
  if (max_size >= total) {
    r.count = total == 0 ? 0 : 1;
    return r;
  }
  uint64_t count = ceil_div(total, max_size);
  uint64_t size = ceil_div(total, count);
  if (count > 1 && granularity >= 2) {
    const uint64_t rounded = round_up(size, granularity);
    if (rounded <= max_size) {
      size = rounded;
    } else {
      // rounded > max_size >= granularity, so the smaller multiple is still positive.
      size = rounded - granularity;
      count = ceil_div(total, size);
    }
  }
  r.count = static_cast<uint32_t>(count);
  r.size = static_cast<uint32_t>(size);
  return r;
}

AxisSplit axis_parts(const AxisSplit& axis, uint32_t parts) {
  AxisSplit r = axis;
  r.count = 0;
  r.size = 0;
  if (parts == 0 || parts > axis.total) return r;
  if (parts == 1) {
    r.count = 1;
    r.size = axis.total;
    return r;
  }
  uint64_t size = ceil_div(axis.total, parts);
  uint64_t count = parts;
  if (axis.granularity >= 2) {
    size = round_up(size, axis.granularity);
    if (size > axis.max_size) {
      size -= axis.granularity;
      if (size == 0) return r;
      count = ceil_div(axis.total, size);
    }
  }
  if ((count - 1) * size >= axis.total) return r;  // the last part would be empty
  r.count = static_cast<uint32_t>(count);
  r.size = static_cast<uint32_t>(size);
  return r;
}

const SplitSearchResult* SplitSearchMemo::find(const Key& key) const {
  for (const auto& [k, result] : answers_)
    if (k == key) return &result;
  return nullptr;
}

void SplitSearchMemo::keep(const Key& key, const SplitSearchResult& result) {
  if (answers_.size() < kMaxAnswers) answers_.emplace_back(key, result);
}

SplitSearchResult find_np_split(uint32_t channels, uint8_t input_bits, const NpSplitParams& sp,
                                const CompatibilityChecker& checker, const AxisSplit& height,
                                const AxisSplit& width, const AxisSplit& filters, uint32_t fifo_size,
                                hw::Type type, bool loop_itself, uint32_t reserve, bool depthwise,
                                bool allow_height_split, bool tnp_b, SplitSearchMemo* memo, WindowLimits limits,
                                uint32_t max_start) {
  if (limits == WindowLimits::SramOnly) max_start = kAnyPartStart;
  if (memo && checker.fit_tests_repeatable()) {
    const SplitSearchMemo::Key key{channels,  input_bits, sp,          height,  width,     filters,
                                   fifo_size, type,       loop_itself, reserve, depthwise, allow_height_split,
                                   tnp_b,     limits,     max_start};
    if (const SplitSearchResult* known = memo->find(key)) return *known;
    const SplitSearchResult result = find_np_split(channels, input_bits, sp, checker, height, width, filters,
                                                   fifo_size, type, loop_itself, reserve, depthwise,
                                                   allow_height_split, tnp_b, nullptr, limits, max_start);
    memo->keep(key, result);
    return result;
  }
  // Parts that start too far are no candidates; the rest as the window decides.
  const auto spatial = [max_start](uint32_t before, uint32_t after) {
    return [=](const AxisSplit& s) -> std::optional<uint32_t> {
      if (uint64_t{s.count - 1} * s.size > max_start) return std::nullopt;
      return window_extent(s, before, after);
    };
  };
  CandidateList xs, ys, fs;
  candidates(width, width.count, width.total, spatial(sp.border_left, sp.border_right), xs);
  const uint32_t max_rows = allow_height_split ? height.total : 1;
  candidates(height, height.count, max_rows, spatial(sp.border_top, sp.border_bottom), ys);
  filter_candidates(filters, channels, depthwise, tnp_b, fs);
  const WindowTest test{checker, type, fifo_size, input_bits, reserve, loop_itself, depthwise, limits};
  return result_of(xs, ys, fs, choose(xs, ys, fs, channels, depthwise, test));
}

SplitSearchResult find_np_split_among(const std::vector<AxisCandidate>& xs, const std::vector<AxisCandidate>& ys,
                                      uint32_t channels, uint8_t input_bits, const CompatibilityChecker& checker,
                                      const AxisSplit& filters, uint32_t fifo_size, hw::Type type, bool loop_itself,
                                      uint32_t reserve, bool depthwise, bool tnp_b, size_t* x_choice,
                                      size_t* y_choice) {
  CandidateList fs;
  filter_candidates(filters, channels, depthwise, tnp_b, fs);
  const WindowTest test{checker, type, fifo_size, input_bits, reserve, loop_itself, depthwise,
                        WindowLimits::SramAndRegisters};
  const std::optional<Choice> chosen = choose(xs, ys, fs, channels, depthwise, test);
  if (chosen && x_choice) *x_choice = chosen->x;
  if (chosen && y_choice) *y_choice = chosen->y;
  return result_of(xs, ys, fs, chosen);
}

}  // namespace nuvra
