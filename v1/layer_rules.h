// Per-layer rules of the first generation shared by several layer kinds, the FullyConnected
// rules, and the reading of weight tensors that every rule uses.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <span>

namespace nuvra::v1 {

// Width and height at most 4096, channels at most 2048, in that order; the message gives the
// limit and the value, e.g. "The maximum input width is 4096 (got 5000)".
MappingStatus check_input_dimensions(const Shape& dims);

// Input bits, input size (81920 values, 57334 on Qrix_v2), input dimensions of a non-flat input,
// weight and activation bits, the weight range of the weight bits and, for a learning layer, the
// number of non-zero weights of every neuron. Then what the FNP's fields hold: input width and
// height at most 2047, units at most 131071, for a learning layer neuron classes up to 1023 and
// the counts of the learning words (every parameter they are counted from present), act steps
// that are numbers and, with an activation, the threshold fields (20-bit thresholds, act steps),
// and for a learning layer every "threshold_learning" within 0..524287. Statuses carry no layer
// name.
MappingStatus check_fully_connected_constraints(const Layer& layer, HwVersion version);

// What the threshold and act-step fields hold. Every "act_step" must be a number, since the
// recorders convert them all to sixteenths whatever they record; then, filter by filter, a
// filter's threshold before its act step: with `with_threshold` every "threshold" within the
// signed range of `threshold_bits` bits, with `with_steps` every act step whose sixteenths,
// rounded as the recorders convert them, lie within 0..kMaxActStepT16. E.g. "threshold should be
// between -524288 and 524287 (got 524288)", "act_step should be between 0 and 65535 (got
// 65535.97)", "act_step should be between 0 and 65535 (got nan)".
MappingStatus check_threshold_fields(const Layer& layer, int threshold_bits, bool with_threshold, bool with_steps);

// Whether a float32 tensor holds a NaN (another element type panics).
bool holds_nan(const Dense& values);

// The tensor's elements as signed bytes: int8, int4, int2 and bit tensors; any other element
// type panics "Wrong requested type %s for a tensor of type %s.".
std::span<const int8_t> signed_values(const Dense& tensor);

// Whether every value is 0; a tensor without values is not all zero.
bool all_zero(const Dense& tensor);

}  // namespace nuvra::v1
