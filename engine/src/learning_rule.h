// The built-in learning rule of a compiled FullyConnected layer, run in software.
#pragma once

#include "run/steps.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <cstdint>
#include <vector>

namespace nuvra::detail {

// Runs `layer` over its inputs (one per sample, in order) and learns from each: the winner is
// the neuron of highest potential among the label's class group (units / num_classes neurons;
// among all neurons when no label is given), ties to the lowest index. A winner that does not
// hold num_weights non-zero weights is brought to that count first: below it, it switches on
// zero weights on active (non-zero) inputs, lowest index first, as far as there are such
// inputs; above it, it switches off non-zero weights on inactive inputs, lowest index first,
// then those on active inputs, highest index first. Then it switches on
// s = max(1, round(plasticity · num_weights)) more of its zero weights on active inputs, lowest
// index first, and switches off as many of its remaining non-zero weights on inactive inputs,
// which keeps its count; its "thswap" counts one more win; plasticity becomes
// max(min_plasticity, plasticity · (1 - plasticity_decay)).
//
// `labels` is empty or holds one label per input; an input whose label is outside
// [0, num_classes) is not learnt from. `plasticity` carries the layer's plasticity from call to
// call. Returns the layer's output for each input with the weights it met; the learnt "weights"
// and "thswap" are installed as new tensors at the end.
std::vector<ConstDensePtr> fit_layer(Layer& layer, const LearningParams& learning, double* plasticity,
                                     const std::vector<ConstDensePtr>& inputs, const std::vector<int32_t>& labels);

}  // namespace nuvra::detail
