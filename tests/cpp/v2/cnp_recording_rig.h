// Layers placed and split by the mapping engine on an FPGA_v2 mesh, with their mappings
// attached, for the recorder tests; and a flat view of a record's blocks.
#pragma once

#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/mapper_rig.h"
#include "support/model_builders.h"
#include "support/program_tools.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::test {

// One pass of a model (its InputData layer left out, as the map driver never places it).
class MappedModel {
 public:
  ModelBuilder b;
  Rig<MapConstraints, V2TestChecker> rig{discovered_mesh("fpga_v2")};

  // Places every layer but InputData in order, as one pass, and attaches the mappings.
  MappedModel& map() {
    for (const auto& l : b.model().layers())
      if (l->params()->layer_type() != LayerType::InputData) pass_.push_back(l);
    std::vector<std::vector<hw::Component>> components;
    for (const auto& l : pass_) {
      if (l->is_kind(5)) {
        components.emplace_back();
        continue;
      }
      auto [placed, status] = rig.map(l, pass_);
      if (!status.ok()) throw std::runtime_error("placing " + l->get_name() + ": " + status.message);
      if (rig.pass_full) throw std::runtime_error("placing " + l->get_name() + ": the pass is full");
      components.push_back(std::move(placed));
    }
    LayerMappingBuilder::build_layer_mapping(pass_, pass_, components, rig.device->mesh()->dma_event);
    return *this;
  }

  std::shared_ptr<Layer> layer(const std::string& name) const {
    auto l = b.layer(name);
    if (!l) throw std::invalid_argument("no layer " + name);
    return l;
  }
  std::shared_ptr<Layer> operator()(const std::string& name) const { return layer(name); }

  LayerMapping& mapping(const std::string& name) const {
    auto m = get_layer_mapping(*layer(name));
    if (!m) throw std::logic_error("no mapping on " + name);
    return *m;
  }

  const Device& device() const { return *rig.device; }

 private:
  std::vector<std::shared_ptr<Layer>> pass_;
};

// Every block of a record, tracks in order.
inline std::vector<Block> blocks_of(const program::Record& record) {
  std::vector<Block> out;
  for (const auto& track : record.tracks())
    for (const Block& b : decode_blocks(track.words())) out.push_back(b);
  return out;
}

inline std::vector<uint32_t> words_of(const Block& b) { return {b.data.begin(), b.data.end()}; }

// Runs `action`, which must throw a std::exception whose text starts with `prefix` and ends with
// `suffix`.
template <class Action>
void expect_error(Action&& action, const std::string& prefix, const std::string& suffix = "",
                  const std::string& what = "") {
  try {
    action();
    ADD_FAILURE() << what << ": no exception, expected \"" << prefix << "...\"";
  } catch (const std::exception& e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.rfind(prefix, 0) == 0 && text.size() >= prefix.size() + suffix.size() &&
                text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
        << what << ": \"" << text << "\", expected \"" << prefix << "..." << suffix << "\"";
  }
}

// Attaches a hand-made mapping to a layer of the engine.
inline void attach(const std::shared_ptr<Layer>& layer, std::shared_ptr<LayerMapping> mapping) {
  auto* impl = dynamic_cast<LayerImpl*>(layer.get());
  if (!impl) throw std::logic_error("not an engine layer");
  impl->layer_mapping = std::move(mapping);
}

inline hw::Component part_of(hw::Ident ident, NpSpace part, NpSpace other, uint32_t start, uint32_t filters,
                             hw::Type type = hw::Type::CNP1) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  c.split = hw::SplitRecord{start, filters, part, other, false};
  return c;
}

inline hw::Component bare(hw::Type type, hw::Ident ident) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return c;
}

inline std::shared_ptr<std::vector<hw::Component>> list_of(std::vector<hw::Component> components) {
  return std::make_shared<std::vector<hw::Component>>(std::move(components));
}

}  // namespace nuvra::test
