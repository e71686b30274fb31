// Whether a run of consecutive layers may form one sequence on a second-generation device:
// where it may start and end, which layer kinds may follow which, how many consumers a layer
// may feed, and how skip connections must be closed inside the run.
#pragma once

#include "backend/strategies.h"

#include <nuvra/types.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace nuvra::v2 {

// The run [first, last) of the list being mapped; `layers` is the whole list, against which
// consumers are counted. Failures about one layer carry its LayerMappingError prefix, those
// about the run as a whole are {1, message}. A rule that fails never throws. Besides the
// skip-connection rules below, the run takes its input through its first layer alone: a layer
// outside `layers` that feeds the first layer may feed no other layer of `layers`; and the layers
// that take an alternate pair's output (alternate_takers) are in the run with their source.
MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                   const LayerList& layers);

// check_layer_sequence on the run [first, first + k) at the k-th extend(), each verdict decided
// from what the run's earlier layers left: every rule is about one layer, two neighbours, the
// first Dequantizer, or a count that each layer changes by its own amount (only a merge looks back
// over the run, for the layers that keep its inputs). A run of k layers thus costs k steps in all
// rather than k steps per verdict.
class GrowingSequenceRules final : public GrowingSequenceCheck {
 public:
  GrowingSequenceRules(LayerList::const_iterator first, const LayerList& layers);
  MappingStatus extend() override;

 private:
  MappingStatus verdict() const;

  LayerList::const_iterator first_;
  const LayerList& layers_;
  size_t size_ = 0;
  std::optional<size_t> dequantizer_;       // position of the run's first Dequantizer
  std::optional<MappingStatus> succession_;  // the first broken succession or outbound rule
  // The first broken skip-connection rule of a layer: the second input of a Concatenate feeding
  // more, a merge the skip DMAs cannot carry.
  std::optional<MappingStatus> skip_;
  std::optional<MappingStatus> feeder_;      // what the run's input feeds besides its first layer
  // (kept layer, merge) for each skip-DMA store of the run that no merge of the run loads yet.
  std::vector<std::pair<const Layer*, const Layer*>> unloaded_;
  // (merge, reader) for each reader of a merge of the run that is not in the run yet.
  std::vector<std::pair<const Layer*, const Layer*>> unread_;
  // (source, taker) for each layer an alternate pair of the run needs that is not in the run yet.
  std::vector<std::pair<const Layer*, const Layer*>> untaken_;
  bool after_max_pooling_ = false, after_fnp_ = false, after_merge_ = false;
  size_t head_readers_ = 0;                  // layers of the run that read its first layer
  int64_t branches_ = 1;                     // branches left open after the run
};

// Every branch opened in `run` must be merged inside it, the run must not end on a merge, the
// second input of a Concatenate may feed nothing else unless it is the shallower one, the skip
// DMAs must carry every merge (merge_skip_fault, with the run's layers before it), and every
// merge a layer of the run keeps its output for must be in the run, as must every reader of a
// merge of the run. The last two catch what the branch count misses: a merge that reads the kept
// layer twice counts one reader, and a layer that feeds nothing closes a branch as a merge does.
MappingStatus check_skip_connections(const LayerList& run, const LayerList& layers);

}  // namespace nuvra::v2
