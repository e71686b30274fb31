#include "backend/hardware_backend.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh_mapper.h"
#include "backend/sequence_builder.h"
#include "devices/device.h"

#include <nuvra/host_hooks.h>
#include <nuvra/params.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace nuvra {

namespace {

using Layers = std::vector<std::shared_ptr<Layer>>;
using ComponentLists = std::vector<std::vector<hw::Component>>;

bool is_skipdma(hw::Type t) { return t == hw::Type::SKIP_DMA_STORE || t == hw::Type::SKIP_DMA_LOAD; }

Layers slice(const Layers& list, size_t begin, size_t end) {
  return Layers(list.begin() + static_cast<std::ptrdiff_t>(begin), list.begin() + static_cast<std::ptrdiff_t>(end));
}

// The NPs of the last layer of the pass that holds any; a layer that does not loop on its own
// NPs must not take them in the next pass. Skip-DMA channels are not NPs.
void reserve_previous_nps(const ComponentLists& accepted, std::vector<hw::Ident>* reserve) {
  for (auto it = accepted.rbegin(); it != accepted.rend(); ++it) {
    if (it->empty()) continue;
    for (const auto& c : *it)
      if (!is_skipdma(c.type)) reserve->push_back(c.ident);
    return;
  }
}

// The sizer counts 32-bit words; components keep bytes.
uint32_t to_bytes(uint32_t words, const char* what, const Layer& layer) {
  const uint64_t bytes = uint64_t{words} * 4;
  if (bytes > std::numeric_limits<uint32_t>::max())
    panic("The %s memory of layer %s, %u words, does not fit a byte count.", what, layer.get_name().c_str(), words);
  return static_cast<uint32_t>(bytes);
}

void size_component(const MemorySizer& sizer, const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& first,
                    bool dual_output, bool multi_pass, hw::Component* c) {
  MemoryInfo info;
  info.input_size = to_bytes(sizer.get_input_memory_size(layer, *c, first), "input", *layer);
  info.weight_size = to_bytes(sizer.get_weight_memory_size(layer, *c), "weight", *layer);
  info.external_size = to_bytes(sizer.get_external_memory_size(layer, *c, dual_output, multi_pass), "external", *layer);
  c->mem_info = info;
}

void size_sequence(const MemorySizer& sizer, const Sequence& sequence) {
  const auto& passes = sequence.passes();
  if (passes.empty() || passes.front()->layers.empty()) return;
  const bool multi_pass = passes.size() > 1;
  const std::shared_ptr<Layer> first = passes.front()->layers.front();
  for (const auto& pass : passes) {
    for (const auto& layer : pass->layers) {
      const auto m = get_layer_mapping(*layer);
      if (!m) continue;
      if (m->nps)
        for (auto& c : *m->nps) size_component(sizer, layer, first, false, multi_pass, &c);
      if (hw::Component* c = m->skipdma_store_dual_output()) size_component(sizer, layer, first, true, multi_pass, c);
      if (hw::Component* c = m->skipdma_store()) size_component(sizer, layer, first, false, multi_pass, c);
    }
  }
}

// One attempt at the next sequence, from the layers before position `limit` of the list. In cut
// mode a refusal met while building a longer sequence stops the attempt at `limit`: when no
// shorter prefix is acceptable, the attempt returns that refusal (`cut`).
MappingStatus map_sequence_before(const IpVersionSpecificHardwareBackend& backend,
                                  const std::shared_ptr<MapConstraints>& constraints, Layers* layers,
                                  std::vector<std::shared_ptr<Sequence>>* sequences, bool single, size_t limit,
                                  const MappingStatus* cut) {
  const Layers& list = *layers;
  std::optional<LayerGraphScope> scope;
  if (!LayerGraphScope::covers(list)) scope.emplace(list);
  const std::shared_ptr<Device> device = constraints->device();
  const HwVersion version = device->version();
  const CompatibilityChecker& checker = backend.checker();

  MappingStatus status = MappingSuccess();
  HardwareSequenceBuilder builder(device, backend.constraints(), backend.io_recorder(), backend.layer_recorder());
  MeshMapper mapper(checker, *constraints);
  mapper.reset();
  // Cut mode decides each prefix from what the layers before it left.
  std::unique_ptr<GrowingSequenceCheck> prefix_check;
  if (!single) prefix_check = checker.check_growing_sequence(list.begin(), list, version);

  std::shared_ptr<Layer> previous;
  std::vector<hw::Component> current;
  ComponentLists accepted;
  ComponentLists pending;
  std::vector<hw::Ident> fnp2_idents;
  size_t pass_start = 0;
  size_t accepted_end = 0;
  bool mapped_before = false;
  bool pass_full = false;
  std::vector<hw::Ident> reserve;  // NPs the next layer may not take; its room kept across layers
  accepted.reserve(list.size());

  for (size_t pos = 0; pos < limit;) {
    const std::shared_ptr<Layer>& layer = list[pos];
    status = checker.check_layer_compatibility(*layer, previous, version);
    if (!status.ok()) break;
    const LayerType type = layer->params()->layer_type();

    if (layer->is_kind(1)) {
      current = {hw::Component{hw::Type::HRC, {0, 0, 0, 0}, std::nullopt, {}}};
    } else if (type == LayerType::Dequantizer || layer->is_kind(5)) {
      current.clear();
    } else {
      const bool loop_itself = constraints->hwpr_loopitself();
      reserve.clear();
      // FNP2 weights live in external memory for the whole sequence: no later FNP layer may
      // take those NPs, even in another pass.
      if (layer->is_kind(3)) reserve = fnp2_idents;
      if (single && mapped_before && !loop_itself) reserve_previous_nps(accepted, &reserve);
      const bool loop_argument = single && loop_itself;

      auto [components, mapped] = mapper.map_layer(layer, reserve, loop_argument, &pass_full, list);
      current = std::move(components);
      status = std::move(mapped);
      if (status.ok()) status = checker.check_layer_mappings(*layer, current, *device);
      if (!status.ok()) break;

      for (const auto& c : current)
        if (c.type == hw::Type::FNP2) fnp2_idents.push_back(c.ident);

      if (mapped_before && pass_full) {
        // Cut mode: the sequence ends before the layer that does not fit.
        if (!single) break;
        status = builder.check_pass(slice(list, pass_start, pos));
        if (!status.ok()) break;
        builder.add_layers(slice(list, pass_start, pos), list, std::move(accepted));
        accepted.clear();
        pass_start = pos;
      }
      mapped_before = true;
    }

    previous = layer;
    ++pos;
    if (!single) status = prefix_check->extend();
    if (status.ok()) {
      for (auto& p : pending) accepted.push_back(std::move(p));
      pending.clear();
      accepted.push_back(std::move(current));
      accepted_end = pos;
    } else {
      pending.push_back(std::move(current));
    }
    current.clear();  // moved from: every branch above sets it anew
  }

  if (accepted.empty()) {
    if (cut) return *cut;
    if (!status.ok()) return status;
    return {1, list.front()->get_name() + " -> " + list.back()->get_name() + ": could not find a compatible sequence"};
  }
  if (single && !status.ok()) return status;

  if (MappingStatus links = builder.check_pass(slice(list, pass_start, accepted_end)); !links.ok()) return links;
  builder.add_layers(slice(list, pass_start, accepted_end), list, std::move(accepted));
  auto built = builder.build_sequence();
  // Too many programs for one pass: a cut before the layer that passes the count may fit.
  if (!built.status.ok() && !single && built.descriptors_over)
    throw SequenceRefusal(*built.descriptors_over, built.status.message);
  if (!built.status.ok()) return built.status;
  if (!built.sequence) throw std::runtime_error("The sequence builder reported success without a sequence.");

  // Sized before the lists change, so that a sizer failure leaves both lists as they were.
  size_sequence(backend.memory_sizer(), *built.sequence);
  std::vector<std::shared_ptr<Sequence>> all = *sequences;
  all.push_back(built.sequence);
  external_memory_size(all);
  sequences->reserve(sequences->size() + 1);
  layers->erase(layers->begin(), layers->begin() + static_cast<std::ptrdiff_t>(accepted_end));
  sequences->push_back(std::move(built.sequence));
  return built.status;
}

}  // namespace

MappingStatus map_next_sequence(const IpVersionSpecificHardwareBackend& backend,
                                const std::shared_ptr<MapConstraints>& constraints, Layers* layers,
                                std::vector<std::shared_ptr<Sequence>>* sequences, bool single) {
  if (!constraints) throw std::runtime_error("Map constraints must be specified");
  if (!layers || !sequences) throw std::invalid_argument("map_next_sequence needs a layer list and a sequence list.");
  if (layers->empty()) return MappingSuccess();

  // A sequence that cannot hold a layer is refused as the checker refuses one: the whole list
  // as one sequence fails, and a cut ends before that layer. Every attempt is shorter than the
  // one before, and a failed one leaves both lists and every layer as they were.
  size_t limit = layers->size();
  std::optional<MappingStatus> refused;
  for (;;) {
    try {
      return map_sequence_before(backend, constraints, layers, sequences, single, limit,
                                 refused ? &*refused : nullptr);
    } catch (const SequenceRefusal& refusal) {
      refused = refusal.status();
      if (single) return *refused;
      const auto at = std::find_if(layers->begin(), layers->end(),
                                   [&](const std::shared_ptr<Layer>& l) { return l.get() == &refusal.layer(); });
      const auto position = static_cast<size_t>(at - layers->begin());
      if (position == 0 || position >= limit) return *refused;
      limit = position;
    }
  }
}

uint32_t external_memory_size(const std::vector<std::shared_ptr<Sequence>>& sequences) {
  uint64_t total = 0;
  for (const auto& sequence : sequences) {
    if (!sequence) continue;
    for (const auto& pass : sequence->passes())
      for (const auto& layer : pass->layers) {
        const std::shared_ptr<const LayerMapping> mapping = layer ? get_layer_mapping(*layer) : nullptr;
        if (!mapping) continue;
        if (const auto load = mapping->skipdma_load()) total += load->mem_info.external_size;
        if (const auto store = mapping->skipdma_store()) total += store->mem_info.external_size;
        if (mapping->nps)
          for (const auto& np : *mapping->nps) total += np.mem_info.external_size;
      }
  }
  if (total > std::numeric_limits<uint32_t>::max())
    panic("The external memory of the mapped layers, %llu bytes, does not fit a byte count.",
          static_cast<unsigned long long>(total));
  return static_cast<uint32_t>(total);
}

MappingStatus HardwareBackend::map(Layers* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                                   std::shared_ptr<MapConstraints> constraints) {
  if (!constraints) throw std::runtime_error("Map constraints must be specified");
  if (!layers || !sequences)
    throw std::invalid_argument("HardwareBackend::map needs a layer list and a sequence list.");
  const std::shared_ptr<Device> device = constraints->device();
  const IpVersionSpecificHardwareBackend backend =
      factory_ ? IpVersionSpecificHardwareBackend(*device, factory_) : IpVersionSpecificHardwareBackend(*device);

  // The graph does not change while it is mapped.
  const LayerGraphScope scope(*layers);
  MappingStatus status = MappingSuccess();
  const HwVersion version = device->version();
  // A Qrix_v2 is always cut sequence by sequence.
  if (!(version == versions::Qrix_v2)) {
    status = backend.checker().check_layer_sequence(layers->begin(), layers->end(), *layers, version);
    if (status.ok()) {
      status = map_next_sequence(backend, constraints, layers, sequences, true);
      if (status.ok()) return status;
    }
  }

  status = MappingSuccess();
  while (status.ok() && !layers->empty()) status = map_next_sequence(backend, constraints, layers, sequences, false);
  return status;
}

}  // namespace nuvra
