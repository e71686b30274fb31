#include "v1/hrc/hrc_recorder.h"

#include "v1/np_registers.h"
#include "v1/threshold_fields.h"

#include "v2/fnp_hrc/hrc_formatters.h"
#include "v2/np_registers.h"
#include "v2/size_math.h"

#include <nuvra/functions.h>
#include <nuvra/host_hooks.h>
#include <nuvra/layers.h>
#include <nuvra/variables.h>

#include <stdexcept>
#include <vector>

namespace nuvra::v1 {

namespace {

using v2::kHrcBlockAddress;
using v2::kHrcIdent;
using v2::kHrcRegisters;
using v2::record_hrc_sram;

constexpr int32_t kMinThreshold = threshold_low(kHrcThresholdBits);
constexpr int32_t kMaxThreshold = threshold_high(kHrcThresholdBits);

uint32_t kernel_code(int kernel_height) { return kernel_height == 5 ? 1 : kernel_height == 7 ? 2 : 0; }

const PaddingParams& convolution_border(const Layer& layer) {
  const ConvParams* conv = dynamic_cast<const InputConvolutional&>(layer).conv_params();
  if (!conv) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  return conv->padding;
}

}  // namespace

HrcRegisters hrc_register_block(const LayerParams& p, const PaddingParams& border) {
  const int channels = p.get("input_channels");
  const bool valid = p.get("padding") == static_cast<int>(Padding::Valid);
  const int stride_y = p.get("stride_y");
  const int stride_x = p.get("stride_x");
  const bool max_pool = p.get("pool_type") == static_cast<int>(PoolType::Max);
  const int pool_height = p.get("pooling_height");
  const int pool_width = p.get("pooling_width");
  const int filters = p.get("filters");
  const int kernel_height = p.get("kernel_height");
  const int act_bits = p.get("act_bits");
  const auto pad = static_cast<uint32_t>(p.get("padding_value"));

  HrcRegisters r{1, 0, 0, 0, 0, 0, 0, 0};
  set_field(r, 0, 4, 5, kernel_code(kernel_height));
  set_field(r, 0, 8, 9, static_cast<uint32_t>(act_bits >> 1));
  set_bit(r, 0, 12, channels != 3);
  set_bit(r, 0, 13, valid);
  set_bit(r, 0, 16, max_pool && pool_height == 2);
  set_bit(r, 0, 17, max_pool && pool_width == 2);
  set_bit(r, 0, 20, valid);
  set_bit(r, 0, 21, valid);
  set_field(r, 1, 0, 2, static_cast<uint32_t>(stride_y));
  set_field(r, 1, 4, 6, static_cast<uint32_t>(stride_x));
  set_field(r, 2, 0, 7, pad);
  set_field(r, 2, 8, 15, pad);
  set_field(r, 2, 16, 23, pad);
  set_field(r, 3, 0, 2, border.left);
  set_field(r, 3, 4, 6, border.right);
  set_field(r, 3, 8, 10, border.top);
  set_field(r, 3, 12, 14, border.bottom);
  set_field(r, 4, 16, 24, static_cast<uint32_t>(filters - 1));
  return r;
}

uint32_t hrc_thresholds_32b_size(const Dense& threshold) { return v2::mul_sat(threshold.size(), 2); }

void check_hrc_thresholds(const Dense& threshold, const Dense& step) {
  const int32_t* t = threshold.data<int32_t>();
  step.check_type<int32_t>();
  if (step.size() < threshold.size()) panic("Coordinates are out-of-range");
  for (size_t i = 0; i < threshold.size(); ++i)
    if (t[i] < kMinThreshold || t[i] > kMaxThreshold)
      panic("%d cannot fit in a %d bits signed integer", t[i], kHrcThresholdBits);
}

void format_hrc_thresholds(std::span<uint32_t> out, const Dense& threshold, const Dense& step) {
  check_hrc_thresholds(threshold, step);
  if (out.size() != hrc_thresholds_32b_size(threshold))
    panic("%u threshold words are written into %zu words", hrc_thresholds_32b_size(threshold), out.size());
  const int32_t* t = threshold.data<int32_t>();
  const int32_t* s = step.data<int32_t>();
  for (size_t i = 0; i < threshold.size(); ++i) {
    out[2 * i] = static_cast<uint32_t>(t[i]) & 0xFFFFFF;
    out[2 * i + 1] = static_cast<uint32_t>(s[i]);
  }
}

std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device, const Layer& layer) {
  const PaddingParams border = convolution_border(layer);
  const HrcRegisters block = hrc_register_block(*layer.params(), border);
  const Variables& vars = *layer.variables();
  const HrcWeightImages weights = format_hrc_weights(*vars.get("weights"));
  const auto steps = get_threshold_t16_from_act_steps(*vars.get("act_step"));
  const auto threshold = vars.get("threshold");
  check_hrc_thresholds(*threshold, *steps);

  auto record = program::new_record(device.version());
  record->add_np_track(kHrcIdent, kHrcRegisters, kHrcBlockAddress, block.data(), block.size());
  record_hrc_sram(*record, HRC_SRAM_SELECT_R, weights[0]);
  record_hrc_sram(*record, HRC_SRAM_SELECT_G, weights[1]);
  record_hrc_sram(*record, HRC_SRAM_SELECT_B, weights[2]);
  record_hrc_sram(*record, HRC_SRAM_SELECT_TH_STP, hrc_thresholds_32b_size(*threshold),
                  [&](std::span<uint32_t> out) { format_hrc_thresholds(out, *threshold, *steps); });
  record->add_np_track(kHrcIdent, kHrcRegisters, kHrcBlockAddress, std::vector<uint32_t>{block[0] & ~1u});
  v2::record_hrc_start_pulse(*record);
  return record;
}

uint32_t get_hrc_sram_size(const Layer& layer) {
  const Variables& vars = *layer.variables();
  v2::wide words = hrc_weight_image_words(*vars.get("weights"));
  const auto threshold = vars.get("threshold");
  check_hrc_thresholds(*threshold, *get_threshold_t16_from_act_steps(*vars.get("act_step")));
  return v2::saturate(words + hrc_thresholds_32b_size(*threshold));
}

}  // namespace nuvra::v1
