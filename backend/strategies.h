// What differs between IP generations sits behind these four interfaces.
#pragma once

#include "backend/hardware_constraints.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace nuvra {

class Device;

// How a layer's share of the mesh looks for the splitter.
struct NpSplitParams {
  uint32_t border_left = 0;
  uint32_t border_right = 0;
  uint32_t border_top = 0;
  uint32_t border_bottom = 0;
  uint32_t pool_type = 0;
  uint32_t pool_width = 0;
  uint32_t pool_height = 0;
  uint32_t filters = 0;
  bool operator==(const NpSplitParams&) const = default;
};

using LayerList = std::vector<std::shared_ptr<Layer>>;

// No bound on where a part may start.
inline constexpr uint32_t kAnyPartStart = UINT32_MAX;

// Verdicts on a run of layers that grows by one layer at a time from a fixed first layer.
class GrowingSequenceCheck {
 public:
  virtual ~GrowingSequenceCheck() = default;
  // Takes the next layer of the list into the run; returns the verdict on the run so far.
  virtual MappingStatus extend() = 0;
};

class CompatibilityChecker {
 public:
  explicit CompatibilityChecker(const HardwareConstraints* c) : constraints(c) {}
  virtual ~CompatibilityChecker() = default;

  virtual MappingStatus check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>& previous,
                                                  HwVersion version) const = 0;
  virtual MappingStatus check_layer_sequence(LayerList::const_iterator begin, LayerList::const_iterator end,
                                             const LayerList& all_layers, HwVersion version) const = 0;
  // The k-th extend() returns check_layer_sequence(begin, begin + k, all_layers, version); the list
  // must not change meanwhile. This one asks check_layer_sequence every time; a generation whose
  // rules allow it decides from what the earlier layers of the run left.
  virtual std::unique_ptr<GrowingSequenceCheck> check_growing_sequence(LayerList::const_iterator begin,
                                                                       const LayerList& all_layers,
                                                                       HwVersion version) const;
  virtual MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                             const Device& device) const = 0;
  // What check_layer_mappings says of any split of the layer over parts of its input, whatever
  // the parts (a rule of its stride or pooling); success when such a split may be taken. This one
  // refuses none.
  virtual MappingStatus check_spatial_split(const Layer& layer) const;
  // Input windows of (height, width, channels, fifo_size, bits), less `taken` reserved words.
  virtual bool is_sram_input_fit_single_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                               uint32_t fifo_size, uint8_t bits, uint32_t taken) const = 0;
  virtual bool is_sram_input_fit_dual_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                             uint32_t fifo_size, uint8_t bits, uint32_t taken) const = 0;
  // Whether the register fields of an NP can hold an input window of (height, width, channels) at
  // `bits` of a layer whose filters read only their own channel (`depthwise`) or not. The split
  // search takes it with the fit tests, and it obeys the same rules (a smaller window passes
  // whenever a larger one does). This one holds any window.
  virtual bool is_input_window_recordable(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                          uint8_t bits, bool depthwise) const;
  // The furthest input column or row at which a part of `layer` may start on an NP of `type`: a
  // register field counts where the part's output starts. The split search holds every cut to it
  // as it holds the windows to is_input_window_recordable. This one sets no bound (kAnyPartStart).
  virtual uint32_t max_part_start(const Layer& layer, hw::Type type) const;
  // True when the three window tests above answer the same arguments the same way for as long as the
  // checker lives, so that a split search may reuse what they said (the generations' own checkers).
  virtual bool fit_tests_repeatable() const { return false; }
  virtual bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const = 0;
  virtual NpSplitParams np_split_params(hw::Type np_type, const LayerParams& params) const = 0;
  virtual bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const = 0;
  // Whether an FNP3 can record the layer's image, which it loads as one DMA block; an FNP2, which
  // keeps its weights in external memory, has no such limit. This one records any image.
  virtual bool is_fnp3_image_recordable(const Layer& layer) const;

  // FNP2 keeps its weights in external memory, so only FNP3 has a size limit.
  bool is_fnp_type_compatible(const Layer& layer, hw::Type type) const {
    return type == hw::Type::FNP2 || check_fnp3_sram_size(*constraints, layer);
  }
  bool is_fnp3_compatible(const Layer& layer) const { return is_fnp_type_compatible(layer, hw::Type::FNP3); }

  const HardwareConstraints* constraints;
};

// Argument names, as the sequence builder passes them:
//   seq_first     the first layer of the sequence (recorders that name it `previous`)
//   ib_spikes     the layer is the first of a later pass (`first_of_later_pass`)
//   routing_flag  the layer ends its pass (`last_of_pass`)
//   last_flag     an FNP follows the layer (`fnp_follow_flag`)
class LayerRecorder {
 public:
  virtual ~LayerRecorder() = default;
  virtual std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& seq_first,
                                                        std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                        bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                                        bool registers_only, bool last_flag) const = 0;
  virtual program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool learn) const = 0;
  virtual void sync_learning_vars(std::shared_ptr<Layer> layer) const = 0;
  // The learning memory a board holds once it loads the learning records record_learning_layer
  // makes for `layer` now; none for a generation whose boards do not learn.
  virtual std::optional<std::vector<uint32_t>> learning_memory(const Layer& /*layer*/) const { return std::nullopt; }
};

class IoRecorder {
 public:
  virtual ~IoRecorder() = default;
  virtual std::unique_ptr<program::Record> record_scc(bool input_layer, bool input_type_zero, bool solo,
                                                      bool output_type_zero, bool narrow, Shape input,
                                                      Shape output) const = 0;
  virtual std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& layer, uint8_t low, uint8_t high,
                                                                  uint8_t count, bool solo, bool multi_pass,
                                                                  bool input_type_zero) const = 0;
  virtual int8_t get_input_type(const Layer& layer) const = 0;
  virtual int8_t get_output_type(const Layer& layer, int8_t value) const = 0;
};

// Sizes in 32-bit words.
class MemorySizer {
 public:
  virtual ~MemorySizer() = default;
  virtual uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                         const std::shared_ptr<Layer>& first_layer) const = 0;
  virtual uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                          const hw::Component& component) const = 0;
  virtual uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                            bool dual_output, bool multi_pass) const = 0;
};

}  // namespace nuvra
