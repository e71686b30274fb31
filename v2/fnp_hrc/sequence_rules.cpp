#include "v2/fnp_hrc/sequence_rules.h"

#include "backend/layer_graph.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "backend/pass_rules.h"
#include "backend/skip_connections.h"
#include "v2/io_recorder.h"
#include "v2/layer_type.h"

#include <nuvra/tensor.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr size_t kMaxOutbounds = 2;

bool is_type(const Layer& layer, LayerType type) { return layer_type_of(layer) == type; }

// Whether every element of the variable, read as T, equals `expected`. A variable the layer does
// not carry has nothing that could break the rule.
template <class T>
bool variable_all_equal(const Layer& layer, const char* name, T expected) {
  const Variables& vars = *layer.variables();
  if (!vars.has(name)) return true;
  const auto tensor = vars.get(name);
  const T* values = tensor->data<T>();
  return std::all_of(values, values + tensor->size(), [expected](T v) { return v == expected; });
}

// An activation-free last layer with a wide output leaves the sequence unscaled.
MappingStatus check_last_layer(const Layer& last) {
  if (last.has_pool_type(PoolType::Max))
    return LayerMappingError(last, "A layer with max pooling cannot be the last layer of a sequence.");
  // A Stem alone reorders its output for the SCC; its tokens never fill 20 bits.
  if (const Shape out = last.output_dimensions(); !is_type(last, LayerType::Stem) && !scc_frames_output(out))
    return LayerMappingError(last, "As the last layer of a sequence, its output height times channels can be at most " +
                                       std::to_string(kSccFrameMax) + " (got " +
                                       std::to_string(uint64_t{out[1]} * out[2]) + ")");
  if (!last.has_activation() && last.output_bits() > 8) {
    if (!variable_all_equal<int8_t>(last, "output_shift", 0))
      return LayerMappingError(last, "Without activation output_shift should be 0.");
    if (!variable_all_equal<uint8_t>(last, "output_scales", 1))
      return LayerMappingError(last, "Without activation output_scales should be 1.");
  }
  return MappingSuccess();
}

bool reads(const Layer& layer, const Layer* source) {
  const auto inbounds = inbounds_of(layer);
  return std::any_of(inbounds.begin(), inbounds.end(), [source](const auto& in) { return in.get() == source; });
}

// The second input of a Concatenate that is deeper than the first may not feed anything else.
std::optional<MappingStatus> concat_rule(const std::shared_ptr<Layer>& layer) {
  const auto outbounds = outbounds_of(*layer);
  if (outbounds.size() <= 1) return std::nullopt;
  DepthMap depths;
  for (const auto& consumer : outbounds) {
    if (!is_type(*consumer, LayerType::Concatenate)) continue;
    const auto inbounds = inbounds_of(*consumer);
    // A Concatenate fed by fewer than two layers has no second input that could be this one.
    if (inbounds.size() < 2 || inbounds[1] != layer) continue;
    if (get_layer_depth(inbounds[0], &depths) < get_layer_depth(inbounds[1], &depths))
      return LayerMappingError(*layer, "Is the second input of a Concat, it can't have multiple outputs.");
  }
  return std::nullopt;
}

// A merge the skip DMAs cannot carry, given the run's layers before it.
std::optional<MappingStatus> merge_rule(const std::shared_ptr<Layer>& layer, LayerList::const_iterator run_begin,
                                        LayerList::const_iterator merge_at) {
  if (!layer->is_kind(kind_code::kMerge)) return std::nullopt;
  const auto before = [&](const Layer& l) {
    return std::any_of(run_begin, merge_at, [&l](const auto& r) { return r.get() == &l; });
  };
  if (auto fault = merge_skip_fault(layer, before)) return LayerMappingError(*layer, kBadSkipConnection + *fault);
  return std::nullopt;
}

// A run receives its input through its first layer alone. An input that feeds a later layer of
// the list too (a merge with the model's input, say) can reach it by no skip DMA, and the branch
// count, which starts from the first layer, does not see that branch.
std::optional<MappingStatus> feeder_rule(const std::shared_ptr<Layer>& head, const LayerList& layers) {
  for (const auto& feeder : inbounds_of(*head)) {
    if (!feeder || outbounds_size(feeder, layers) <= 1) continue;
    if (std::find(layers.begin(), layers.end(), feeder) != layers.end()) continue;
    for (const auto& reader : outbounds_of(*feeder))
      if (reader != head && std::find(layers.begin(), layers.end(), reader) != layers.end())
        return LayerMappingError(*reader, kBadSkipConnection + std::string("It reads '") + feeder->get_name() +
                                              "', which reaches the sequence only through its first layer '" +
                                              head->get_name() + "'.");
  }
  return std::nullopt;
}

}  // namespace

MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                   const LayerList& layers) {
  if (first == last) return {1, "Empty layer sequence"};
  GrowingSequenceRules run(first, layers);
  MappingStatus status;
  for (auto it = first; it != last; ++it) status = run.extend();
  return status;
}

GrowingSequenceRules::GrowingSequenceRules(LayerList::const_iterator first, const LayerList& layers)
    : first_(first), layers_(layers) {}

MappingStatus GrowingSequenceRules::extend() {
  const std::shared_ptr<Layer>& head = *first_;
  if (size_ == 0) feeder_ = feeder_rule(head, layers_);
  const std::shared_ptr<Layer>& layer = *(first_ + static_cast<std::ptrdiff_t>(size_));
  if (!dequantizer_ && is_type(*layer, LayerType::Dequantizer)) dequantizer_ = size_;
  ++size_;

  const size_t consumers = outbounds_size(layer, layers_);
  if (!succession_) {
    const bool on_cnp = layer->is_kind(kind_code::kCnp), on_fnp = layer->is_kind(kind_code::kFnp);
    if (after_max_pooling_ && !on_cnp && !layer->is_kind(kind_code::kTnpB))
      succession_ =
          LayerMappingError(*layer, "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B.");
    else if (after_fnp_ && on_cnp)
      succession_ = LayerMappingError(*layer, "A layer mapped on FNP cannot be directly followed by a layer mapped on "
                                              "CNP due to incompatible data processing requirements.");
    else if (after_merge_ && on_fnp)
      succession_ = LayerMappingError(*layer, "Dense layer can't have Add/Concat as inbound.");
    else if (consumers > kMaxOutbounds)
      succession_ = LayerMappingError(*layer, "Layer has " + std::to_string(consumers) + " outbounds. A maximum of " +
                                                  std::to_string(kMaxOutbounds) + " outbounds is supported.");
    after_max_pooling_ = layer->has_pool_type(PoolType::Max);
    after_fnp_ = on_fnp;
    after_merge_ = layer->is_kind(kind_code::kMerge);
  }

  if (head->is_kind(kind_code::kInput) && reads(*layer, head.get())) ++head_readers_;
  // The run's first layer opens one branch whatever feeds it.
  const size_t inbounds = layer == head ? 1 : inbounds_of(*layer).size();
  branches_ += static_cast<int64_t>(consumers) - static_cast<int64_t>(inbounds);
  if (!skip_) skip_ = concat_rule(layer);
  if (!skip_) skip_ = merge_rule(layer, first_, first_ + static_cast<std::ptrdiff_t>(size_ - 1));
  const auto is_layer = [&layer](const auto& link) { return link.second == layer.get(); };
  std::erase_if(unloaded_, is_layer);
  std::erase_if(unread_, is_layer);
  std::erase_if(untaken_, is_layer);
  // Like the consumers, merges and readers count within the list.
  const auto listed = [this](const auto& l) { return std::find(layers_.begin(), layers_.end(), l) != layers_.end(); };
  for (const auto& merge : merges_keeping(*layer))
    if (listed(merge)) unloaded_.emplace_back(layer.get(), merge.get());
  if (layer->is_kind(kind_code::kMerge))
    for (const auto& reader : outbounds_of(*layer))
      if (listed(reader)) unread_.emplace_back(layer.get(), reader.get());
  DepthMap depths;
  for (const Layer* taker : alternate_takers(layer, &depths)) untaken_.emplace_back(layer.get(), taker);
  return verdict();
}

MappingStatus GrowingSequenceRules::verdict() const {
  const Layer& head = **first_;
  if (head.is_kind(kind_code::kMerge)) return LayerMappingError(head, "Can't be the first layer of the sequence.");

  // A Dequantizer may only close the run; the layer before it is then the one that ends it.
  const size_t last = size_ - 1;
  size_t end_layer = last;
  if (dequantizer_) {
    if (*dequantizer_ == 0) return LayerMappingError(head, "Can't start a sequence with a Dequantizer.");
    if (*dequantizer_ != last) return {1, "Only 1 Dequantizer at the end of the model is supported."};
    end_layer = last - 1;
  }
  if (MappingStatus status = check_last_layer(**(first_ + static_cast<std::ptrdiff_t>(end_layer)));
      status.code != 0)
    return status;
  if (succession_) return *succession_;
  if (head.is_kind(kind_code::kInput) && head_readers_ > 1)
    return {1, "A layer mapped on HRC supports 1 outbound only"};
  if (feeder_) return *feeder_;

  if (branches_ > 1) return {1, "Bad mapping on skip connection. Several branches."};
  if ((*(first_ + static_cast<std::ptrdiff_t>(last)))->is_kind(kind_code::kMerge))
    return {1, "Bad mapping on skip connection. No valid merge layer."};
  if (skip_) return *skip_;
  if (!unloaded_.empty())
    return LayerMappingError(*unloaded_.front().second,
                             kBadSkipConnection + kept_before_sequence_end(*unloaded_.front().first));
  if (!unread_.empty())
    return LayerMappingError(*unread_.front().first, kBadSkipConnection + read_after_sequence_end(*unread_.front().second));
  if (!untaken_.empty()) return alternate_pair_split(*untaken_.front().first, untaken_.front().second, "sequence");
  return MappingSuccess();
}

MappingStatus check_skip_connections(const LayerList& run, const LayerList& layers) {
  if (run.empty()) return {1, "Empty layer sequence"};
  if (get_out_branches_count(run, layers) > 1) return {1, "Bad mapping on skip connection. Several branches."};
  if (run.back()->is_kind(kind_code::kMerge)) return {1, "Bad mapping on skip connection. No valid merge layer."};

  for (auto it = run.begin(); it != run.end(); ++it) {
    if (auto status = concat_rule(*it)) return *status;
    if (auto status = merge_rule(*it, run.begin(), it)) return *status;
  }
  // A merge or reader outside the list counts no more than a consumer outside it.
  const auto outside = [&run, &layers](const auto& l) {
    return std::find(run.begin(), run.end(), l) == run.end() && std::find(layers.begin(), layers.end(), l) != layers.end();
  };
  for (const auto& kept : run)
    for (const auto& merge : merges_keeping(*kept))
      if (outside(merge)) return LayerMappingError(*merge, kBadSkipConnection + kept_before_sequence_end(*kept));
  for (const auto& merge : run) {
    if (!merge->is_kind(kind_code::kMerge)) continue;
    for (const auto& reader : outbounds_of(*merge))
      if (outside(reader)) return LayerMappingError(*merge, kBadSkipConnection + read_after_sequence_end(*reader));
  }
  return MappingSuccess();
}

}  // namespace nuvra::v2
