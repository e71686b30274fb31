#include "v1/cnp/thresholds.h"

#include "v1/errors.h"
#include "v1/threshold_fields.h"

#include <nuvra/host_hooks.h>

#include <string>

namespace nuvra::v1 {

namespace {

constexpr int32_t kThresholdMin = threshold_low(kNpThresholdBits);
constexpr int32_t kThresholdMax = threshold_high(kNpThresholdBits);
constexpr uint32_t kNoThreshold = 0x80000;

template <class Write>
void for_each_pair(const Dense& threshold, const Dense& steps, bool with_threshold, uint32_t first, uint32_t count,
                   Write&& write) {
  const int32_t* t = threshold.data<int32_t>();
  const int32_t* a = steps.data<int32_t>();
  const uint64_t end = uint64_t{first} + count;
  if (count > 0 && (end > threshold.size() || end > steps.size())) panic("Coordinates are out-of-range");
  for (uint32_t k = 0; k < count; ++k) {
    const int32_t value = t[first + k];
    if (with_threshold && (value < kThresholdMin || value > kThresholdMax))
      panic("%d cannot fit in a %d bits signed integer", value, kNpThresholdBits);
    const int32_t step = a[first + k];
    if (static_cast<uint32_t>(step) > kMaxActStepT16)
      throw CnpError("act_step should be between 0 and 65535. Receives act_step " + std::to_string(step / 16));
    write(k, with_threshold ? static_cast<uint32_t>(value) & 0xFFFFF : kNoThreshold, static_cast<uint32_t>(step));
  }
}

}  // namespace

void check_cnp_thresholds(const Dense& threshold, const Dense& act_steps_t16, bool with_threshold, uint32_t first,
                          uint32_t count) {
  for_each_pair(threshold, act_steps_t16, with_threshold, first, count, [](uint32_t, uint32_t, uint32_t) {});
}

void format_cnp_thresholds(std::span<uint32_t> out, const Dense& threshold, const Dense& act_steps_t16,
                           bool with_threshold, uint32_t first, uint32_t count) {
  if (out.size() != uint64_t{count} * 2)
    panic("A threshold image of %zu words cannot take %u filters", out.size(), count);
  for_each_pair(threshold, act_steps_t16, with_threshold, first, count, [&](uint32_t k, uint32_t t, uint32_t a) {
    out[2 * k] = t;
    out[2 * k + 1] = a;
  });
}

}  // namespace nuvra::v1
