#include "backend/axis_cuts.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace nuvra {

namespace {

// The cut whose parts are as long as a bordered window of `window` and the limit allow, each
// starting where `latest` permits, from the start; none when such parts cannot reach the end.
// Taking the furthest start every time needs the fewest parts for that window.
std::optional<AxisCut> longest_parts(const std::vector<uint32_t>& latest, uint32_t total, uint64_t window,
                                     uint32_t max_size, uint32_t before, uint32_t after) {
  AxisCut cut;
  cut.starts.push_back(0);
  for (uint32_t s = 0;;) {
    const uint64_t lead = s == 0 ? 0 : before;
    const uint64_t rest = total - s;
    if (rest <= max_size && rest + lead <= window) {
      cut.widest_part = std::max(cut.widest_part, static_cast<uint32_t>(rest));
      cut.widest_window = std::max(cut.widest_window, static_cast<uint32_t>(rest + lead));
      return cut;
    }
    if (window < lead + after + 1) return std::nullopt;
    const uint64_t reach = std::min<uint64_t>({uint64_t{s} + max_size, s + (window - lead - after), total - 1});
    const uint32_t next = latest[reach];
    if (next <= s) return std::nullopt;
    cut.widest_part = std::max(cut.widest_part, next - s);
    cut.widest_window = std::max(cut.widest_window, static_cast<uint32_t>(next - s + lead + after));
    cut.starts.push_back(next);
    s = next;
  }
}

}  // namespace

bool inside_pooling_window(const AxisGeometry& g, uint64_t o, uint64_t windows) {
  const int64_t q = static_cast<int64_t>(o) + g.pool_before;
  if (q == 0 || windows == 0) return false;
  // The window starting last before q reaches furthest past it.
  const int64_t j = std::min<int64_t>((q - 1) / g.pool_stride, static_cast<int64_t>(windows) - 1);
  return q < j * g.pool_stride + g.pool_size;
}

bool cut_tiles(const AxisGeometry& g, const AxisCut& cut, uint64_t outputs) {
  uint64_t next = 0;
  for (size_t i = 0; i < cut.starts.size(); ++i) {
    const uint64_t end = i + 1 < cut.starts.size() ? cut.starts[i + 1] : g.input;
    const AxisOutputs part = axis_outputs(g, cut.starts[i], end - cut.starts[i]);
    if (part.count != 0 && part.first != next) return false;
    next += part.count;
  }
  return next == outputs;
}

std::vector<AxisCut> pooling_aligned_cuts(const AxisGeometry& g, uint32_t max_size, uint32_t before, uint32_t after) {
  std::vector<AxisCut> kept;
  const auto total = static_cast<uint32_t>(g.input);
  if (total == 0 || max_size == 0) return kept;
  // first[b]: the first convolution output whose kernel centre is at or after b.
  std::vector<uint64_t> first(size_t{total} + 1);
  for (uint32_t b = 0; b <= total; ++b) first[b] = first_output_at(g, b);
  const uint64_t outputs = first[total];
  const uint64_t pooled = axis_outputs(g, 0, total).count;
  if (outputs == 0) return kept;
  // latest[x]: the last boundary at or before x where a part may start (0 when there is none). Before
  // the first output nothing can be straddled: the pooling padding before the input goes with
  // output 0 to the part that holds it.
  std::vector<uint32_t> latest(total, 0);
  for (uint32_t b = 1; b < total; ++b) {
    const bool usable =
        b >= before && first[b] < outputs && (first[b] == 0 || !inside_pooling_window(g, first[b], pooled));
    latest[b] = usable ? b : latest[b - 1];
  }

  const uint64_t widest = uint64_t{std::min(max_size, total)} + before + after;
  size_t fewest = SIZE_MAX;
  for (uint64_t w = 1; w <= widest && fewest > 1; ++w) {
    std::optional<AxisCut> cut = longest_parts(latest, total, w, max_size, before, after);
    if (!cut || cut->starts.size() >= fewest || !cut_tiles(g, *cut, pooled)) continue;
    fewest = cut->starts.size();
    kept.push_back(std::move(*cut));
  }
  std::reverse(kept.begin(), kept.end());
  return kept;
}

}  // namespace nuvra
