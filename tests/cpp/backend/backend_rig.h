// The map driver over a second-generation (or Qrix_v2) virtual device and strategy doubles that
// outlive the map call: the back end's objects forward to doubles the test owns and reads.
#pragma once

#include "backend/hardware_backend.h"
#include "backend/hardware_constraints.h"
#include "backend/ip_backend.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "backend/strategy_factory.h"
#include "devices/virtual_device.h"
#include "mapper_rig.h"
#include "support/fake_checker.h"
#include "support/fake_recorders.h"
#include "v2/fnp_hrc/mapping_checks.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::test {

using LayerNames = std::vector<std::string>;

inline LayerNames names_of(const std::vector<std::shared_ptr<Layer>>& layers) {
  LayerNames n;
  for (const auto& l : layers) n.push_back(l->get_name());
  return n;
}

// A FakeChecker whose layer and sequence answers depend on the layers asked about, and whose
// split parameters are those of the second generation.
class ScriptedChecker : public FakeChecker {
 public:
  struct SequenceCall {
    LayerNames run;  // the layers from begin to end
    size_t all = 0;  // size of the whole list handed along
  };
  // Called with the run and the index of the call; empty: sequence_status.
  std::function<MappingStatus(const LayerNames& run, size_t call)> sequence_rule;
  // Called with the layer's name; empty: layer_status.
  std::function<MappingStatus(const std::string& layer)> layer_rule;

  mutable std::vector<SequenceCall> sequence_calls;
  mutable std::vector<std::string> previous_layers;  // "" for none

  MappingStatus check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>& previous,
                                          HwVersion version) const override {
    const MappingStatus s = FakeChecker::check_layer_compatibility(layer, previous, version);
    previous_layers.push_back(previous ? previous->get_name() : "");
    return layer_rule ? layer_rule(layer.get_name()) : s;
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator begin, LayerList::const_iterator end,
                                     const LayerList& all_layers, HwVersion version) const override {
    const MappingStatus s = FakeChecker::check_layer_sequence(begin, end, all_layers, version);
    LayerNames run;
    for (auto it = begin; it != end; ++it) run.push_back((*it)->get_name());
    sequence_calls.push_back({run, all_layers.size()});
    return sequence_rule ? sequence_rule(run, sequence_calls.size() - 1) : s;
  }
  // Borders, pooling and filters as the second generation reads them from the parameters.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override {
    FakeChecker::np_split_params(type, params);
    return v2::np_split_params(type, params);
  }
};

// Known word counts: input 3, weight 5, external 7 (70 for a dual-output store).
class FakeMemorySizer : public MemorySizer {
 public:
  struct Call {
    char what;  // 'i', 'w' or 'e'
    std::string layer;
    hw::Component component;
    std::string first;                             // input only
    bool dual_output = false, multi_pass = false;  // external only
  };
  uint32_t input_words = 3, weight_words = 5, external_words = 7, dual_external_words = 70;
  std::string fail_on;  // a layer whose sizing throws
  mutable std::vector<Call> calls;

  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                 const std::shared_ptr<Layer>& first_layer) const override {
    calls.push_back({'i', layer->get_name(), component, first_layer ? first_layer->get_name() : ""});
    if (layer->get_name() == fail_on) throw std::runtime_error("cannot size " + fail_on);
    return input_words;
  }
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component) const override {
    calls.push_back({'w', layer->get_name(), component, ""});
    return weight_words;
  }
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                    bool dual_output, bool multi_pass) const override {
    calls.push_back({'e', layer->get_name(), component, "", dual_output, multi_pass});
    return dual_output ? dual_external_words : external_words;
  }
};

// The back end's objects are made and dropped with every map call; these forward to doubles
// that the test keeps.
class CheckerProxy final : public CompatibilityChecker {
 public:
  CheckerProxy(const CompatibilityChecker* target, const HardwareConstraints* constraints)
      : CompatibilityChecker(constraints), t_(target) {}
  MappingStatus check_layer_compatibility(const Layer& l, const std::shared_ptr<Layer>& p, HwVersion v) const override {
    return t_->check_layer_compatibility(l, p, v);
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator b, LayerList::const_iterator e, const LayerList& all,
                                     HwVersion v) const override {
    return t_->check_layer_sequence(b, e, all, v);
  }
  MappingStatus check_layer_mappings(const Layer& l, const std::vector<hw::Component>& c,
                                     const Device& d) const override {
    return t_->check_layer_mappings(l, c, d);
  }
  bool is_sram_input_fit_single_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t f, uint8_t b,
                                       uint32_t r) const override {
    return t_->is_sram_input_fit_single_buffer(t, h, w, c, f, b, r);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t f, uint8_t b,
                                     uint32_t r) const override {
    return t_->is_sram_input_fit_dual_buffer(t, h, w, c, f, b, r);
  }
  bool is_weights_size_fit_np(const Layer& l, uint32_t f) const override { return t_->is_weights_size_fit_np(l, f); }
  NpSplitParams np_split_params(hw::Type t, const LayerParams& p) const override { return t_->np_split_params(t, p); }
  bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer& l) const override {
    return t_->check_fnp3_sram_size(c, l);
  }

 private:
  const CompatibilityChecker* t_;
};

class SizerProxy final : public MemorySizer {
 public:
  explicit SizerProxy(const MemorySizer* t) : t_(t) {}
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& l, const hw::Component& c,
                                 const std::shared_ptr<Layer>& f) const override {
    return t_->get_input_memory_size(l, c, f);
  }
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& l, const hw::Component& c) const override {
    return t_->get_weight_memory_size(l, c);
  }
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& l, const hw::Component& c, bool d,
                                    bool m) const override {
    return t_->get_external_memory_size(l, c, d, m);
  }

 private:
  const MemorySizer* t_;
};

class IoProxy final : public IoRecorder {
 public:
  explicit IoProxy(const IoRecorder* t) : t_(t) {}
  std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e, Shape in,
                                              Shape out) const override {
    return t_->record_scc(a, b, c, d, e, in, out);
  }
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& l, uint8_t lo, uint8_t hi, uint8_t n, bool s,
                                                          bool m, bool z) const override {
    return t_->record_epg(l, lo, hi, n, s, m, z);
  }
  uint8_t get_input_type(const Layer& l) const override { return t_->get_input_type(l); }
  uint8_t get_output_type(const Layer& l, int8_t v) const override { return t_->get_output_type(l, v); }

 private:
  const IoRecorder* t_;
};

class LayerRecorderProxy final : public LayerRecorder {
 public:
  explicit LayerRecorderProxy(const LayerRecorder* t) : t_(t) {}
  std::unique_ptr<program::Record> record_layer(const Layer& l, const Layer& f, std::shared_ptr<Layer> n, bool a,
                                                bool b, const std::vector<hw::Ident>& x, bool r,
                                                bool z) const override {
    return t_->record_layer(l, f, std::move(n), a, b, x, r, z);
  }
  program::LearnRecordsPtr record_learning_layer(const Layer& l, bool learn) const override {
    return t_->record_learning_layer(l, learn);
  }
  void sync_learning_vars(std::shared_ptr<Layer> l) const override { t_->sync_learning_vars(std::move(l)); }

 private:
  const LayerRecorder* t_;
};

// Records the layer whose NPs are being chosen and the candidates it was offered.
class WatchingConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  struct Choice {
    std::string layer;
    hw::Type type;
    std::vector<hw::Ident> candidates;
  };
  void next_layer_handler(const std::string& layer_name) const override { handled.push_back(layer_name); }
  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, size_t count,
                                    hw::Type type) const override {
    choices.push_back({handled.empty() ? "" : handled.back(), type, candidates});
    return MapConstraints::select_nps(candidates, count, type);
  }
  // The candidates offered to `layer` for `type`; throws when it was never asked.
  const std::vector<hw::Ident>& offered(const std::string& layer, hw::Type type = hw::Type::CNP1) const {
    for (const auto& c : choices)
      if (c.layer == layer && c.type == type) return c.candidates;
    throw std::runtime_error("no choice for " + layer);
  }
  mutable LayerNames handled;
  mutable std::vector<Choice> choices;
};

// Everything a map call needs, kept alive together.
struct BackendRig {
  explicit BackendRig(HwVersion version = versions::FPGA_v2)
      : device(make_virtual_device(version, discovered_mesh(version == versions::Qrix_v2 ? "qrix_v2" : "fpga_v2"))),
        constraints(std::make_shared<WatchingConstraints>(device)) {}

  // Makes proxies over the rig's doubles and remembers what it was handed.
  StrategyFactory factory() {
    return [this](const Device& d, const HardwareConstraints* c) {
      ++factory_calls;
      factory_device = &d;
      if (c) factory_constraints = *c;
      return GenerationStrategies{std::make_unique<CheckerProxy>(&checker, c), std::make_unique<SizerProxy>(&sizer),
                                  std::make_unique<IoProxy>(&io), std::make_unique<LayerRecorderProxy>(&recorder)};
    };
  }

  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers) {
    HardwareBackend backend(factory());
    return backend.map(layers, &sequences, constraints);
  }

  // How many entries of `type` the device's mesh offers.
  uint32_t mesh_nps(hw::Type type) {
    MeshMapper m(checker, *constraints);
    m.reset();
    return m.max_nps(type);
  }

  std::shared_ptr<Device> device;
  std::shared_ptr<WatchingConstraints> constraints;
  ScriptedChecker checker;
  FakeMemorySizer sizer;
  FakeIoRecorder io;
  FakeLayerRecorder recorder;
  std::vector<std::shared_ptr<Sequence>> sequences;

  int factory_calls = 0;
  const Device* factory_device = nullptr;
  HardwareConstraints factory_constraints;
};

}  // namespace nuvra::test
