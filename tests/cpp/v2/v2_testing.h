// Shared tools of the v2 tests: error texts, NP components, hand-made mappings, the meshes of the
// simulated boards (mapper_rig.h) and a flat view of a record's blocks.
#pragma once

#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/mapper_rig.h"
#include "support/error_text.h"
#include "support/model_builders.h"
#include "support/program_tools.h"

#include <nuvra/layer.h>
#include <nuvra/layers.h>
#include <nuvra/types.h>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace nuvra::test {

template <class F>
std::string error_of(F&& f) {
  return error_text(std::forward<F>(f));
}

inline hw::Component component(hw::Type type, hw::Ident ident, std::optional<hw::SplitRecord> split = {}) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  c.split = split;
  return c;
}

inline hw::Component np(uint8_t col, uint8_t row, uint8_t id = 0) {
  return component(hw::Type::CNP2, {col, row, id, 0});
}

// Every block of a record, tracks in order; the blocks view the record's words, so keep it alive.
inline std::vector<Block> blocks_of(const program::Record& record) {
  std::vector<Block> out;
  for (const auto& track : record.tracks())
    for (const Block& b : decode_blocks(track.words())) out.push_back(b);
  return out;
}

inline std::vector<uint32_t> words_of(const Block& b) { return {b.data.begin(), b.data.end()}; }

inline void attach(const std::shared_ptr<Layer>& layer, std::shared_ptr<LayerMapping> mapping) {
  dynamic_cast<LayerImpl&>(*layer).layer_mapping = std::move(mapping);
}

// An NP part holding filters start..start+filters-1 of the input window `part`.
inline hw::Component part_of(hw::Ident ident, NpSpace part, uint32_t start, uint32_t filters) {
  return component(hw::Type::CNP1, ident, hw::SplitRecord{start, filters, part, part, false});
}

inline std::shared_ptr<std::vector<hw::Component>> list_of(std::vector<hw::Component> components) {
  return std::make_shared<std::vector<hw::Component>>(std::move(components));
}

}  // namespace nuvra::test
