// What the first-generation threshold fields hold. The recorders write them and the checker
// refuses, before anything is recorded, a layer whose values fall outside them.
#pragma once

#include <cstdint>

namespace nuvra::v1 {

// A threshold in two's complement: 20 bits in a CNP's threshold words and an FNP image's word 0,
// 24 bits in the HRC's threshold memory.
inline constexpr int kNpThresholdBits = 20;
inline constexpr int kHrcThresholdBits = 24;
inline constexpr int32_t threshold_low(int bits) { return -(int32_t{1} << (bits - 1)); }
inline constexpr int32_t threshold_high(int bits) { return (int32_t{1} << (bits - 1)) - 1; }

// A CNP's or an FNP's act step, converted to sixteenths, in 20 unsigned bits: 0 to 65535 15/16.
inline constexpr uint32_t kMaxActStepT16 = 0xFFFFF;
inline constexpr int32_t kMaxActStep = kMaxActStepT16 / 16;

// A learning FNP's "threshold_learning": not negative, and a 20-bit threshold.
inline constexpr int32_t kMaxLearningThreshold = threshold_high(kNpThresholdBits);

}  // namespace nuvra::v1
