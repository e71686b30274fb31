// Threshold and act-step pairs of a first-generation CNP layer's filters (dma target 4).
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <span>

namespace nuvra::v1 {

// Two words per filter.
inline uint32_t cnp_thresholds_32b_size(uint32_t count) { return count > 0x7FFFFFFFu ? 0xFFFFFFFFu : count * 2; }

// What format_cnp_thresholds refuses, checked without writing: tensors other than int32 panic
// "Wrong requested type %s for a tensor of type %s.", filters past either tensor panic
// "Coordinates are out-of-range", a threshold (with_threshold only) outside 20 bits panics "%d
// cannot fit in a %d bits signed integer", and an act step above 0xFFFFF throws v1::CnpError
// "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step <step / 16>";
// filter by filter, the threshold first.
void check_cnp_thresholds(const Dense& threshold, const Dense& act_steps_t16, bool with_threshold, uint32_t first,
                          uint32_t count);

// Pairs of filters first .. first+count-1: the threshold as 20-bit two's complement (0x80000, the
// most negative value, without threshold), then the act step (16 units a step). `out` holds
// exactly cnp_thresholds_32b_size(count) words; refusals as above.
void format_cnp_thresholds(std::span<uint32_t> out, const Dense& threshold, const Dense& act_steps_t16,
                           bool with_threshold, uint32_t first, uint32_t count);

}  // namespace nuvra::v1
