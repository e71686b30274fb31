#include "v2/fnp_hrc/hrc_recorder.h"

#include "v2/fnp_hrc/hrc_formatters.h"
#include "v2/layer_input.h"
#include "v2/np_registers.h"

#include <nuvra/host_hooks.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint16_t kPulseAddress = 0;
constexpr uint16_t kTokenRegisterAddress = 0x70;
constexpr uint32_t kMaxFilters = 512;  // filters - 1 goes in a 9-bit field
constexpr const char* kWord0 = "HRC register word 0";
constexpr const char* kWord1 = "HRC register word 1";
constexpr const char* kWord2 = "HRC register word 2";
constexpr const char* kWord3 = "HRC register word 3";
constexpr const char* kWord4 = "HRC register word 4";
constexpr const char* kTokenWord1 = "Stem token register word 1";

int param(const Layer& layer, const char* key) { return layer.params()->get(key); }

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) { return layer.variables()->get(name); }

std::shared_ptr<const Dense> optional_variable(const Layer& layer, const char* name) {
  return layer.variables()->has(name) ? variable(layer, name) : nullptr;
}

PaddingParams convolution_border(const Layer& layer) {
  const ConvParams* conv = dynamic_cast<const HasConvParams&>(layer).conv_params();
  if (!conv) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  return conv->padding;
}

std::vector<uint32_t> new_register_block() { return {1, 0, 0, 0, 0}; }

// The variables both input layers read for their weight and activation images.
struct ActivationVariables {
  std::shared_ptr<const Dense> output_shift, output_scales, max_value_shift, max_value, bias_shift, bias;

  explicit ActivationVariables(const Layer& layer)
      : output_shift(variable(layer, "output_shift")),
        output_scales(variable(layer, "output_scales")),
        max_value_shift(optional_variable(layer, "max_value_shift")),
        max_value(optional_variable(layer, "max_value")),
        bias_shift(variable(layer, "bias_shift")),
        bias(variable(layer, "bias")) {}

  std::vector<uint32_t> image() const {
    return format_hrc_activations(*output_shift, *output_scales, max_value_shift.get(), max_value.get(), *bias_shift,
                                  *bias);
  }
};

void record_weight_images(program::Record& record, const HrcWeightImages& weights) {
  record_hrc_sram(record, HRC_SRAM_SELECT_R, weights[0]);
  record_hrc_sram(record, HRC_SRAM_SELECT_G, weights[1]);
  record_hrc_sram(record, HRC_SRAM_SELECT_B, weights[2]);
}

// The closing writes of every HRC program: register word 0 without its set-up bit, then the
// start pulse.
void record_start(program::Record& record, const std::vector<uint32_t>& block) {
  record.add_np_track(kHrcIdent, kHrcRegisters, kHrcBlockAddress, std::vector<uint32_t>{block[0] & ~1u});
  record_hrc_start_pulse(record);
}

uint32_t kernel_code(int kernel_size) {
  switch (kernel_size) {
    case 3: return 0;
    case 4: return 1;
    case 5: return 2;
    case 7: return 3;
    case 16: return 4;
    default: throw std::runtime_error("Wrong kernel size at HRC recording.");
  }
}

uint32_t output_bits_code(uint8_t bits) {
  if (bits == 4) return 2;
  if (bits == 8) return 3;
  throw std::runtime_error("Wrong output bitwidth when programming HRC: " + std::to_string(bits) + "-bit found\n" +
                           "only 8-bit and 4-bit are supported.");
}

uint32_t non_negative(int v) { return v < 0 ? 0u : static_cast<uint32_t>(v); }

}  // namespace

void format_hrc_registers(std::vector<uint32_t>& block, int kernel_size, uint8_t output_bits, bool activation,
                          const Shape& input, int padding, int pool_type, int pool_size, int pool_stride,
                          uint32_t kernel_stride, const Dense* padding_value, const PaddingParams& border,
                          uint32_t filters) {
  if (block.size() != kHrcRegisterWords)
    throw std::invalid_argument("An HRC register block has " + std::to_string(kHrcRegisterWords) + " words (got " +
                                std::to_string(block.size()) + ")");
  // Everything is checked before the first write, in the order the fields are laid out.
  const uint32_t kernel = kernel_code(kernel_size);
  const uint32_t bits = output_bits_code(output_bits);
  const uint32_t channels = input[2];
  if (channels != 1 && channels != 3) throw std::runtime_error("Wrong number of channles at HRC recording.");
  if (padding != static_cast<int>(Padding::Valid) && padding != static_cast<int>(Padding::Same))
    throw std::runtime_error("Wrong padding at HRC recording.");
  if (pool_type != static_cast<int>(PoolType::Max) && pool_type != static_cast<int>(PoolType::NoPooling))
    throw std::runtime_error("Wrong pooling at HRC recording.");
  uint32_t pad_bytes[3] = {0, 0, 0};
  if (padding_value) {
    padding_value->check_type<uint8_t>();
    for (size_t i = 0; i < 3 && i < padding_value->size(); ++i) pad_bytes[i] = padding_value->at<uint8_t>(i);
  }
  // A count the 9-bit field cannot hold would program another layer than the one asked for.
  if (filters < 1 || filters > kMaxFilters)
    panic("%d cannot fit in a %d bits unsigned integer", static_cast<int>(filters - 1), 9);

  // The pool size and stride of a layer without pooling take no part in it: their low 4 bits are
  // written whatever they are.
  const uint32_t pool_size_bits = non_negative(pool_size) & 0xFu;
  const uint32_t pool_stride_bits = non_negative(pool_stride) & 0xFu;

  uint32_t& w0 = block[0];
  set_field(w0, 4, 6, kernel, kWord0);
  set_field(w0, 8, 9, bits, kWord0);
  set_bit(w0, 10, activation);
  set_bit(w0, 12, channels == 1);
  const bool valid = padding == static_cast<int>(Padding::Valid);
  set_bit(w0, 13, valid);
  set_bit(w0, 20, valid);
  set_bit(w0, 21, valid);
  set_field(w0, 24, 27, pool_size_bits, kWord0);
  set_field(w0, 28, 31, pool_size_bits, kWord0);
  const bool max_pool = pool_type == static_cast<int>(PoolType::Max);
  set_bit(w0, 16, max_pool);
  set_bit(w0, 17, max_pool);

  uint32_t& w1 = block[1];
  set_field(w1, 0, 4, kernel_stride, kWord1);
  set_field(w1, 8, 12, kernel_stride, kWord1);
  set_field(w1, 16, 19, pool_stride_bits, kWord1);
  set_field(w1, 24, 27, pool_stride_bits, kWord1);

  set_field(block[2], 0, 7, pad_bytes[0], kWord2);
  set_field(block[2], 8, 15, pad_bytes[1], kWord2);
  set_field(block[2], 16, 23, pad_bytes[2], kWord2);

  set_field(block[3], 0, 1, border.left, kWord3);
  set_field(block[3], 4, 5, border.right, kWord3);
  set_field(block[3], 8, 9, border.top, kWord3);
  set_field(block[3], 12, 13, border.bottom, kWord3);

  set_field(block[4], 0, 8, 0, kWord4);
  set_field(block[4], 16, 24, filters - 1, kWord4);
}

void record_hrc_sram(program::Record& record, const HrcSramSelect& code, const std::vector<uint32_t>& data) {
  if (data.empty()) return;
  record.add_np_track(kHrcIdent, kHrcRegisters, kHrcSelectAddress, std::vector<uint32_t>{hrc_select_word(code), 0});
  record.add_np_track(kHrcIdent, kHrcSramData, kHrcSramDataAddress, data);
}

void record_hrc_start_pulse(program::Record& record) {
  record.add_np_track(kHrcIdent, kHrcRegisters, kPulseAddress, std::vector<uint32_t>{1});
  record.add_np_track(kHrcIdent, kHrcRegisters, kPulseAddress, std::vector<uint32_t>{0});
}

std::unique_ptr<program::Record> record_program_input_conv2d_layer(const Device& device, const Layer& layer) {
  const int filters = param(layer, "filters");
  const int kernel_size = param(layer, "kernel_size");
  const uint8_t output_bits = layer.output_bits();
  const bool activation = layer.has_activation();
  const Shape input = first_input_shape(layer);
  const int padding = param(layer, "padding");
  const int pool_type = param(layer, "pool_type");
  const int pool_stride = param(layer, "pool_stride");
  const int pool_size = param(layer, "pool_size");
  const int kernel_stride = param(layer, "kernel_stride");
  const auto padding_value = variable(layer, "padding_value");
  const PaddingParams border = convolution_border(layer);

  auto block = new_register_block();
  format_hrc_registers(block, kernel_size, output_bits, activation, input, padding, pool_type, pool_size, pool_stride,
                       static_cast<uint32_t>(kernel_stride), padding_value.get(), border,
                       static_cast<uint32_t>(filters));
  const auto weights = variable(layer, "weights");
  const ActivationVariables activation_variables(layer);
  const HrcWeightImages weight_images = format_hrc_weights(*weights);
  const std::vector<uint32_t> activation_image = activation_variables.image();

  auto record = program::new_record(device.version());
  record->add_np_track(kHrcIdent, kHrcRegisters, kHrcBlockAddress, block);
  record_weight_images(*record, weight_images);
  record_hrc_sram(*record, HRC_SRAM_SELECT_ACT, activation_image);
  record_start(*record, block);
  return record;
}

std::unique_ptr<program::Record> record_program_stem_layer(const Device& device, const Layer& layer) {
  const int filters = param(layer, "filters");
  const int kernel_size = param(layer, "kernel_size");
  const uint8_t output_bits = layer.output_bits();
  const Shape input = first_input_shape(layer);
  const int extra_tokens = param(layer, "num_non_patch_tokens");
  const PaddingParams border = convolution_border(layer);

  auto block = new_register_block();
  // No padding value: register word 2 stays 0. Pool size and stride -1 are written as 0.
  format_hrc_registers(block, kernel_size, output_bits, false, input, static_cast<int>(Padding::Valid),
                       static_cast<int>(PoolType::NoPooling), -1, -1, static_cast<uint32_t>(kernel_size), nullptr,
                       border, static_cast<uint32_t>(filters));

  const auto weights = variable(layer, "weights");
  const auto tokens = variable(layer, "tokens");
  const auto pos_embedding = variable(layer, "pos_embedding");
  const auto pos_embs_shift = variable(layer, "pos_embs_shift");
  const auto tokens_shift = variable(layer, "tokens_shift");
  const ActivationVariables activation_variables(layer);

  const HrcWeightImages weight_images = format_hrc_weights(*weights);
  const std::vector<uint32_t> activation_image = activation_variables.image();
  const std::vector<uint32_t> token_image = format_hrc_tokens(*tokens, *tokens_shift);
  const std::vector<uint32_t> pos_image = format_hrc_pos_embeddings(*pos_embedding);
  const std::vector<uint32_t> pos_params_image = format_hrc_pos_embs_params(
      *pos_embs_shift, *activation_variables.output_shift, *activation_variables.output_scales);

  // Bit 0 always; bit 5 from one non-patch token on, bit 4 from two on (an unsigned count).
  const uint32_t count = static_cast<uint32_t>(extra_tokens);
  const uint32_t token_word = count == 0 ? 0x01u : count == 1 ? 0x21u : 0x31u;
  // The Stem's rule allows only input widths that fit the 9 bits.
  uint32_t width_word = 0;
  set_field(width_word, 0, 8, input[0], kTokenWord1);
  const std::vector<uint32_t> token_register{token_word, width_word};

  auto record = program::new_record(device.version());
  record->add_np_track(kHrcIdent, kHrcRegisters, kHrcBlockAddress, block);
  record->add_np_track(kHrcIdent, kHrcRegisters, kTokenRegisterAddress, token_register);
  record_weight_images(*record, weight_images);
  record_hrc_sram(*record, HRC_SRAM_SELECT_ACT, activation_image);
  record_hrc_sram(*record, HRC_SRAM_SELECT_TOKENS, token_image);
  record_hrc_sram(*record, HRC_SRAM_SELECT_P, pos_params_image);
  record_hrc_sram(*record, HRC_SRAM_SELECT_POS, pos_image);
  record_start(*record, block);
  return record;
}

uint32_t get_hrc_sram_size(const Layer& layer) {
  const auto weights = variable(layer, "weights");
  const ActivationVariables activation_variables(layer);
  size_t words = hrc_weight_image_words(*weights);
  words += activation_variables.image().size();
  return words > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(words);
}

}  // namespace nuvra::v2
