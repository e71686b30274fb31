// Collects the passes of one hardware sequence while the map driver places layers, then records
// its program and wraps it into a HardwareSequence.
#pragma once

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hardware_pass.h"
#include "backend/program_recorder.h"
#include "backend/strategies.h"

namespace nuvra {

class Device;

class HardwareSequenceBuilder {
 public:
  using Layers = std::vector<std::shared_ptr<Layer>>;

  struct Result {
    MappingStatus status;
    std::shared_ptr<Sequence> sequence;  // null unless the status is a success
    // On the descriptor refusal: the first layer whose programs take its pass past the count a
    // pass can hold (null when the pass's own layers stay within it), before which a shorter
    // sequence may fit.
    std::shared_ptr<Layer> descriptors_over;
  };

  // A pass or sequence exceeding the device's descriptor table.
  static constexpr const char* kTooManyDescriptors = "the maximum number of descriptors is more than allowed";
  // A merge layer that no pass of the sequence can take.
  static constexpr const char* kPendingMerge = "Bad mapping on skip connection. No valid merge layer.";

  HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                          const IoRecorder& io_recorder, const LayerRecorder& layer_recorder);
  ~HardwareSequenceBuilder();
  HardwareSequenceBuilder(const HardwareSequenceBuilder&) = delete;
  HardwareSequenceBuilder& operator=(const HardwareSequenceBuilder&) = delete;

  // Adds one pass; `components[k]` holds what `layers[k]` was placed on. A merge layer never ends
  // a pass: it is held back and opens the next one. On an exception nothing changes.
  void add_layers(Layers layers, const Layers& all_layers, std::vector<std::vector<hw::Component>> components);

  // Whether the pass that add_layers would make of `layers` can be linked (check_pass_links);
  // changes nothing.
  MappingStatus check_pass(Layers layers) const;

  // Records the program of the passes added so far and makes the sequence. Refuses, before any
  // recording, a layer that would send its output point to point to more than one place
  // (check_point_to_point_outputs). Ends with clear() on success and on a refusal; an exception
  // leaves the passes in place.
  Result build_sequence();

  // Empties layers and passes; a pending merge layer survives.
  void clear();

  // Null when out of range or not a HardwarePass.
  std::shared_ptr<HardwarePass> hardware_pass(size_t i) const;
  std::shared_ptr<HardwarePass> first_pass() const { return hardware_pass(0); }
  std::shared_ptr<HardwarePass> last_pass() const {
    return passes_.empty() ? nullptr : hardware_pass(passes_.size() - 1);
  }

  const Layers& layers() const { return layers_; }
  const std::vector<std::shared_ptr<Sequence::Pass>>& passes() const { return passes_; }
  bool has_pending_merge_layer() const { return pending_merge_.has_value(); }

 private:
  struct PendingMerge {
    std::shared_ptr<Layer> layer;
    std::vector<hw::Component> components;
  };

  // The programs of pass `i` of `n` after the SCC program, whose pass holds `taken` descriptors
  // before them. Sets `*first_over`, when null, to the layer whose programs bring the pass's
  // descriptors past the most one pass can count.
  PassProgram record_pass(size_t i, size_t n, const std::shared_ptr<Layer>& seq_first, size_t taken,
                          std::shared_ptr<Layer>* first_over) const;

  std::shared_ptr<Device> device_;
  const HardwareConstraints* constraints_;
  const IoRecorder* io_recorder_;
  const LayerRecorder* layer_recorder_;
  ProgramRecorder recorder_;
  Layers layers_;
  std::vector<std::shared_ptr<Sequence::Pass>> passes_;
  std::optional<PendingMerge> pending_merge_;

};

// Components with a split record are single-buffered, except on an NP that ends one pass and
// starts the next, which is double-buffered on both sides.
void set_single_buffers(const std::vector<std::shared_ptr<Sequence::Pass>>& passes);
// The second step for one pair of passes, given the earlier's last and the later's first
// mappable layer.
void double_buffer_shared_nps(const Layer& earlier_last, const Layer& later_first);

struct ColumnRange {
  uint8_t low = 0;
  uint8_t high = 0;
};

// Lowest and highest column of the NPs of the pass's first mappable layer (of the layer after it
// when that is the input layer): {1, 1} for a lone HRC, {0, 0} for an input layer alone.
// Empty when that layer has no components.
std::optional<ColumnRange> pass_column_range(const Sequence::Pass& pass);

}  // namespace nuvra
