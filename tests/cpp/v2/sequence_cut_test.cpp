// The map driver decides sequence cuts from what earlier layers left. Here the driver as first
// written (the whole list recorded as one sequence and thrown away when it fails, every prefix
// checked afresh, an attempt that a layer refuses made again ending before it) maps the same
// generated models, and both must give the same sequences, bytes, sizes and outcome.
#include "backend/hardware_backend.h"
#include "backend/ip_backend.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh_mapper.h"
#include "backend/sequence_builder.h"
#include "end_to_end_rig.h"
#include "model_generator.h"

#include <nuvra/params.h>

#include <gtest/gtest.h>

#include <optional>

namespace nuvra::test {
namespace {

using Layers = std::vector<std::shared_ptr<Layer>>;
using Sequences = std::vector<std::shared_ptr<Sequence>>;

// Only the layers before `limit` are looked at; `refused` is what a longer attempt met.
MappingStatus reference_next_sequence(const IpVersionSpecificHardwareBackend& backend, const MapConstraints& constraints,
                                    Layers* layers, Sequences* sequences, bool single, size_t limit,
                                    const std::optional<MappingStatus>& refused) {
  const Layers& list = *layers;
  const auto device = constraints.device();
  const CompatibilityChecker& checker = backend.checker();
  HardwareSequenceBuilder builder(device, backend.constraints(), backend.io_recorder(), backend.layer_recorder());
  MeshMapper mapper(checker, constraints);
  mapper.reset();
  MappingStatus status = MappingSuccess();
  std::shared_ptr<Layer> previous;
  std::vector<hw::Component> current;
  std::vector<std::vector<hw::Component>> accepted, pending;
  std::vector<hw::Ident> fnp2;
  size_t pass_start = 0, accepted_end = 0;
  bool mapped_before = false, pass_full = false;
  for (size_t pos = 0; pos < limit;) {
    const auto& layer = list[pos];
    status = checker.check_layer_compatibility(*layer, previous, device->version());
    if (!status.ok()) break;
    if (layer->is_kind(1)) {
      current = {hw::Component{hw::Type::HRC, {}, std::nullopt, {}}};
    } else if (layer->params()->layer_type() == LayerType::Dequantizer || layer->is_kind(5)) {
      current.clear();
    } else {
      std::vector<hw::Ident> reserve;
      if (layer->is_kind(3)) reserve = fnp2;
      if (single && mapped_before && !constraints.hwpr_loopitself())
        for (auto it = accepted.rbegin(); it != accepted.rend(); ++it)
          if (!it->empty()) {
            for (const auto& c : *it)
              if (c.type != hw::Type::SKIP_DMA_STORE && c.type != hw::Type::SKIP_DMA_LOAD) reserve.push_back(c.ident);
            break;
          }
      auto [components, mapped] =
          mapper.map_layer(layer, reserve, single && constraints.hwpr_loopitself(), &pass_full, list);
      current = std::move(components);
      status = mapped.ok() ? checker.check_layer_mappings(*layer, current, *device) : mapped;
      if (!status.ok()) break;
      for (const auto& c : current)
        if (c.type == hw::Type::FNP2) fnp2.push_back(c.ident);
      if (mapped_before && pass_full) {
        if (!single) break;
        status = builder.check_pass(Layers(list.begin() + pass_start, list.begin() + pos));
        if (!status.ok()) break;
        builder.add_layers(Layers(list.begin() + pass_start, list.begin() + pos), list, accepted);
        accepted.clear();
        pass_start = pos;
      }
      mapped_before = true;
    }
    previous = layer;
    ++pos;
    if (!single) status = checker.check_layer_sequence(list.begin(), list.begin() + pos, list, device->version());
    if (status.ok()) {
      for (auto& p : pending) accepted.push_back(std::move(p));
      pending.clear();
      accepted.push_back(current);
      accepted_end = pos;
    } else {
      pending.push_back(current);
    }
  }
  if (accepted.empty() && refused) return *refused;
  if (accepted.empty())
    return status.ok() ? MappingStatus{1, list.front()->get_name() + " -> " + list.back()->get_name() +
                                              ": could not find a compatible sequence"}
                       : status;
  if (single && !status.ok()) return status;
  status = builder.check_pass(Layers(list.begin() + pass_start, list.begin() + accepted_end));
  if (!status.ok()) return status;
  builder.add_layers(Layers(list.begin() + pass_start, list.begin() + accepted_end), list, accepted);
  auto built = builder.build_sequence();
  if (!built.status.ok() && !single && built.descriptors_over)
    throw SequenceRefusal(*built.descriptors_over, built.status.message);
  if (!built.status.ok()) return built.status;
  const auto& passes = built.sequence->passes();
  const auto first = passes.front()->layers.front();
  const MemorySizer& sizer = backend.memory_sizer();
  for (const auto& pass : passes)
    for (const auto& layer : pass->layers) {
      const auto m = get_layer_mapping(*layer);
      if (!m) continue;
      const auto size = [&](hw::Component& c, bool dual) {
        c.mem_info = {4 * sizer.get_input_memory_size(layer, c, first), 4 * sizer.get_weight_memory_size(layer, c),
                      4 * sizer.get_external_memory_size(layer, c, dual, passes.size() > 1)};
      };
      for (auto& c : *m->nps) size(c, false);
      if (auto* c = m->skipdma_store_dual_output()) size(*c, true);
      if (auto* c = m->skipdma_store()) size(*c, false);
    }
  layers->erase(layers->begin(), layers->begin() + accepted_end);
  sequences->push_back(built.sequence);
  return built.status;
}

// A layer that the sequence refuses ends the next attempt before it.
MappingStatus reference_next_sequence(const IpVersionSpecificHardwareBackend& backend, const MapConstraints& constraints,
                                    Layers* layers, Sequences* sequences, bool single) {
  std::optional<MappingStatus> refused;
  for (size_t limit = layers->size();;) {
    try {
      return reference_next_sequence(backend, constraints, layers, sequences, single, limit, refused);
    } catch (const SequenceRefusal& refusal) {
      refused = refusal.status();
      size_t at = 0;
      while (at < layers->size() && (*layers)[at].get() != &refusal.layer()) ++at;
      if (single || at == 0 || at >= limit) return *refused;
      limit = at;
    }
  }
}

MappingStatus reference_map(Layers* layers, Sequences* sequences, const std::shared_ptr<MapConstraints>& constraints) {
  const auto device = constraints->device();
  const IpVersionSpecificHardwareBackend backend(*device);
  MappingStatus status =
      backend.checker().check_layer_sequence(layers->begin(), layers->end(), *layers, device->version());
  if (status.ok()) {
    status = reference_next_sequence(backend, *constraints, layers, sequences, true);
    if (status.ok()) return status;
  }
  status = MappingSuccess();
  while (status.ok() && !layers->empty()) status = reference_next_sequence(backend, *constraints, layers, sequences, false);
  return status;
}

template <class Map>
uint64_t digest_of(const Model& model, Map&& map) {
  Layers layers;
  for (const auto& l : model.layers())
    if (l->params()->layer_type() != LayerType::InputData) layers.push_back(l);
  Sequences sequences;
  std::string outcome;
  try {
    const auto constraints = std::make_shared<MapConstraints>(fpga_v2_device());
    outcome = map(&layers, &sequences, constraints).message + " with " + std::to_string(layers.size()) + " left";
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  return mapping_digest(sequences, outcome);
}

void expect_same_cuts(const Model& model, const std::string& what) {
  const uint64_t driver = digest_of(model, [](Layers* l, Sequences* s, const std::shared_ptr<MapConstraints>& c) {
    return HardwareBackend().map(l, s, c);
  });
  EXPECT_EQ(driver, digest_of(model, reference_map)) << what;
}

TEST(SequenceCut, TheSameAsEveryPrefixCheckedAndTheWholeListTriedFirst) {
  for (const int blocks : {8, 30, 70, 160})
    for (uint64_t seed = 1; seed <= 13; ++seed)
      expect_same_cuts(*generated_model(seed, blocks), "seed " + std::to_string(seed) + ", " + std::to_string(blocks));
}

// Passes of two or three layers: a skip branch that crosses passes, and a first layer whose
// recording fails, met while the later passes are still being placed.
TEST(SequenceCut, TheSameWhenPassesReachBackOrRecordingFails) {
  for (const int width : {36, 40})
    for (const int skip : {0, 3, 5})
      for (const int channels : {3, 2})
        expect_same_cuts(*wide_layers_model(width, 9, skip, channels),
                         std::to_string(width) + " wide, skip " + std::to_string(skip) + ", " + std::to_string(channels));
}

}  // namespace
}  // namespace nuvra::test
