#include "v2/np_register_limits.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "v2/np_input_words.h"
#include "v2/rule_text.h"
#include "v2/skipdma_records.h"

#include <nuvra/params.h>

#include <algorithm>
#include <cstdint>

namespace nuvra::v2 {

namespace {

// Word 3 bits 16-23 count the layer's own NPs.
constexpr int64_t kMaxLayerNps = 0xFF;
// Word 24 holds a part's first output row and column in 12 bits each.
constexpr uint64_t kMaxFirstOutput = 0xFFF;

bool is_cnp(hw::Type t) { return t == hw::Type::CNP1 || t == hw::Type::CNP2; }

bool is_depthwise(const Layer& layer) {
  const LayerType t = layer.params()->layer_type();
  return t == LayerType::DepthwiseConv2D || t == LayerType::DepthwiseConv2DTranspose;
}

bool is_transposed(const Layer& layer) {
  const LayerType t = layer.params()->layer_type();
  return t == LayerType::Conv2DTranspose || t == LayerType::DepthwiseConv2DTranspose;
}

// A CNP whose input comes from a merge that other layers read too keeps that input in its store
// (its dual output); any other store keeps the layer's output.
bool stores_its_input(const Layer& layer) {
  if (!layer.is_kind(kind_code::kCnp)) return false;
  const auto merge = first_inbound_of(layer);
  return merge && merge->is_kind(kind_code::kMerge) && merge->outbound_layers().size() >= 2;
}

MappingStatus over(const Layer& layer, const char* what, uint64_t limit, uint64_t got) {
  return LayerMappingError(layer, limit_message(what, static_cast<int64_t>(limit), static_cast<int64_t>(got)));
}

MappingStatus check_window(const Layer& layer, const hw::Component& c) {
  if (!c.split) return MappingSuccess();
  const NpSpace& window = c.split->bordered_partition;
  const NpInputWindow w{layer.input_bits(), window.shape[0], window.shape[1], c.split->spatial_partition.shape[2]};
  // A transposed part's output starts at twice its input position.
  if (is_cnp(c.type) && is_transposed(layer)) {
    const NpSpace& part = c.split->spatial_partition;
    if (const uint64_t column = uint64_t{part.x} * 2; column > kMaxFirstOutput)
      return over(layer, "The maximum first output column of an NP is ", kMaxFirstOutput, column);
    if (const uint64_t row = uint64_t{part.y} * 2; row > kMaxFirstOutput)
      return over(layer, "The maximum first output row of an NP is ", kMaxFirstOutput, row);
  }
  if (const auto broken = broken_window_limit(c.type, w, is_depthwise(layer)))
    return over(layer, broken->what, broken->limit, broken->got);
  return MappingSuccess();
}

MappingStatus check_store(const Layer& layer) {
  const bool tnp_b = layer.is_kind(kind_code::kTnpB);
  const SkipDmaStoreExtent kept = skipdma_store_extent(layer, !tnp_b && stores_its_input(layer), tnp_b);
  // Rows of at most 511 words: the 4096 rows a layer can have fit the 21-bit frame count.
  if (kept.row_words > kMaxSkipDmaRowWords)
    return over(layer, "The maximum row kept by a skip DMA, in 32-bit words, is ", kMaxSkipDmaRowWords,
                kept.row_words);
  return MappingSuccess();
}

}  // namespace

uint32_t max_part_start(const Layer& layer, hw::Type type) {
  return is_cnp(type) && is_transposed(layer) ? static_cast<uint32_t>(kMaxFirstOutput / 2) : kAnyPartStart;
}

std::optional<WindowLimit> broken_window_limit(hw::Type type, const NpInputWindow& w, bool depthwise) {
  // A part is at most 64 columns and 256 rows (the mapping constraints' widest defaults): a depthwise
  // channel's rows (word 28 bits 18-31) and a TNP-B row (word 28 bits 0-13) always fit, the rest
  // only while the mesh's input SRAM or the channel count keeps them small.
  if (is_cnp(type)) {
    if (const uint64_t words = cnp_window_words(w); words > kMaxWindowWords)
      return WindowLimit{"The maximum input window of an NP, in 32-bit words, is ", kMaxWindowWords, words};
    if (const uint64_t words = cnp_row_words(w); !depthwise && words > kMaxRowWords)
      return WindowLimit{"The maximum input row of an NP, in 32-bit words, is ", kMaxRowWords, words};
  } else if (type == hw::Type::TNP_B) {
    if (const uint64_t blocks = tnp_b_frame_blocks(w); blocks > kMaxFrameBlocks)
      return WindowLimit{"The maximum input frame of a TNP-B, in blocks of 64 words, is ", kMaxFrameBlocks, blocks};
  }
  return std::nullopt;
}

MappingStatus check_np_register_limits(const Layer& layer, const std::vector<hw::Component>& components) {
  const auto own = std::count_if(components.begin(), components.end(), [](const hw::Component& c) {
    return is_cnp(c.type) || c.type == hw::Type::TNP_B;
  });
  if (own > kMaxLayerNps) return over(layer, "The maximum number of NPs of a layer is ", kMaxLayerNps, own);
  for (const hw::Component& c : components)
    if (MappingStatus status = check_window(layer, c); !status.ok()) return status;
  const bool stores = std::any_of(components.begin(), components.end(),
                                  [](const hw::Component& c) { return c.type == hw::Type::SKIP_DMA_STORE; });
  return stores ? check_store(layer) : MappingSuccess();
}

}  // namespace nuvra::v2
