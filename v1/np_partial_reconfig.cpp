// Partial reconfiguration: the words an NP reads when it switches to the next layer mapped on
// it without a full reprogramming.
#include "backend/mapping_status.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/layer_access.h"
#include "v1/np_registers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nuvra::v1 {

namespace {

// An FNP without its word 1 bit 4 reserves at least this many input SRAM words.
constexpr uint32_t kFnpMinInputWords = 9473;
constexpr uint32_t kInputWordsMask = 0x3FFFF;

}  // namespace

void update_partial_reconfig_regs(RegisterBlock* block, const Layer& layer, const hw::Component& component) {
  RegisterBlock& regs = register_block(block);
  const bool fnp = component.type == hw::Type::FNP2 || component.type == hw::Type::FNP3;
  // Everything that can refuse is read and checked before the first write.
  const auto mapping = mapping_of(layer);
  const Shape input = first_input_shape(layer);
  const uint8_t bits = layer.input_bits();
  const hw::SplitRecord* split = fnp ? nullptr : &split_of(layer, component);

  const NpSpace window = fnp ? NpSpace{0, 0, Shape{input[0], input[1]}} : split->bordered_partition;
  const uint32_t width = window.shape[0];
  const uint32_t height = window.shape[1];
  const uint32_t container = get_cnp_channel_container_size(width, bits);
  const uint64_t values = uint64_t{input[0]} * input[1] * input[2];
  uint64_t words = std::max<uint64_t>({regs[4] & kInputWordsMask, regs[14] & kInputWordsMask, (values + 31) >> 5});
  const uint32_t channels = fnp ? 0 : split->spatial_partition.shape[2];
  if (fnp && !(regs[1] & 0x10)) words = std::max<uint64_t>(words, kFnpMinInputWords);
  if (!fnp) words = std::max<uint64_t>(words, get_cnp_input_sram_size(container, channels, height));
  // Words 4 and 14 count the whole input of the layer, which the checker cannot bound: only here
  // is it known that the layer takes over an NP.
  if (words > kInputWordsMask)
    throw SequenceRefusal(layer, "It cannot take over an NP by partial reconfiguration: its input takes " +
                                     std::to_string(words) + " words, the most recorded is " +
                                     std::to_string(kInputWordsMask));

  set_field(regs, 32, 0, 2, 0b101u | uint32_t{fnp} << 1);
  set_field(regs, 32, 4, 5, (bits >> 1) & 3u);
  set_field(regs, 32, 24, 31, mapping->prev_id);
  set_field(regs, 33, 0, 11, window.y);
  set_field(regs, 33, 16, 27, window.x);
  set_field(regs, 34, 0, 10, height);
  set_field(regs, 34, 16, 26, width);
  if (fnp) {
    set_field(regs, 35, 0, 17, uint64_t{input[0]} * input[1]);
  } else {
    set_field(regs, 35, 0, 13, (uint64_t{channels} * container + 3) >> 2);
    set_field(regs, 35, 16, 24, container);
  }
  set_field(regs, 4, 0, 17, words);
  set_field(regs, 14, 0, 17, words);
}

}  // namespace nuvra::v1
