#include "v1/fnp/dense_recorder.h"

#include "backend/layer_mapping.h"
#include "backend/mesh.h"
#include "v1/errors.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/layer_access.h"
#include "v1/np_registers.h"

#include <nuvra/functions.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <stdexcept>

namespace nuvra::v1 {

namespace {

const dma::Target kTargetFnpMemory{6};
const dma::Target kTargetRegisters{7};
// Word 17 counts the image in pages of 256 units of word 12's bits 24-31.
constexpr uint32_t kPageUnits = 256;

const hw::Component& first_component(const LayerMapping& mapping) {
  if (!mapping.nps) throw std::out_of_range("The layer mapping has no components");
  return mapping.nps->at(0);
}

void format_fnp_fields(std::vector<uint32_t>& regs, const Layer& layer, const hw::Component& np, uint8_t id) {
  const LayerParams& p = *layer.params();
  const uint32_t in_bits = layer.input_bits();
  const int units = p.get("units");
  const int act_bits = p.get("act_bits");
  const bool activation = p.get("activation") != 0;
  const int weights_bits = p.get("weights_bits");
  const Shape in = first_input_shape(layer);
  const uint64_t x = in[0], y = in[1], c = in[2];
  const Shape weights = layer.variables()->get("weights")->shape();
  const bool fnp2 = np.type == hw::Type::FNP2;
  const bool single_buffer = np.split && np.split->single_buffer;
  if (in_bits == 4 && !single_buffer) throw std::invalid_argument("4-bit FNP inputs require single buffer mode");
  const uint32_t image = fnp2 ? 0 : fnp_sram_size(weights, weights_bits);

  set_field(regs, 1, 4, 6, 7);
  set_bit(regs, 1, 20, true);
  set_bit(regs, 1, 21, fnp2);
  set_bit(regs, 1, 22, single_buffer);
  set_bit(regs, 1, 24, !fnp2);
  set_field(regs, 3, 0, 1, in_bits >> 1);
  set_field(regs, 3, 4, 5, weights_bits != 1 ? static_cast<uint32_t>(weights_bits - 2) : 0);
  set_bit(regs, 3, 7, weights_bits != 1);
  // The activation reads the field, and the checker keeps its act_bits to 1, 2 or 4; without
  // one the value keeps the word's own mask.
  set_field(regs, 3, 12, 13, static_cast<uint32_t>(act_bits >> 1) & 3);
  set_bit(regs, 3, 15, activation);
  set_bit(regs, 3, 16, true);
  set_field(regs, 3, 24, 31, id);
  set_field(regs, 10, 0, 10, y);
  set_field(regs, 10, 16, 26, x);
  set_field(regs, 11, 12, 29, x * y);
  set_field(regs, 14, 0, 17, (x * y * c + 31) >> 5);
  set_bit(regs, 14, 31, true);
  set_field(regs, 15, 0, 16, static_cast<uint32_t>(units));
  set_bit(regs, 16, 29, activation);
  if (!fnp2) {
    const uint64_t page = uint64_t{kPageUnits} * (regs[12] >> 24);
    set_field(regs, 17, 0, 15, image);
    set_field(regs, 17, 20, 23, page ? (image + page - 1) / page : 0);
  }
}

}  // namespace

NpRegisters fnp_np_registers(const Device& device, const Layer& layer, bool learning,
                             const std::shared_ptr<Layer>& next_layer, bool first_of_later_pass, bool last_of_pass) {
  const auto mapping = mapping_of(layer);
  const hw::Component& np = first_component(*mapping);
  std::vector<uint32_t> regs = default_np_regs();
  format_fnp_fields(regs, layer, np, mapping->id);
  format_learning_common_regs(&regs, learning ? layer.learning().get() : nullptr);
  format_mesh_registers_set_output_to_NPs(&regs, mapping->get_prev_component(), *mapping->nps,
                                          mapping->get_next_components(), mapping->next_id, mapping->p2p_in,
                                          mapping->p2p_out, last_of_pass);
  if (np.type == hw::Type::FNP2) {
    const Mesh* mesh = device.mesh();
    if (!mesh) throw std::runtime_error("The device has no mesh at FNP recording.");
    format_mesh_cfg_dma_reg(&regs, mesh->dma_conf);
  }
  if (next_layer) {
    const auto next = next_layer->mapping();
    if (next && next->nps) {
      const auto same = std::find_if(next->nps->begin(), next->nps->end(),
                                     [&](const hw::Component& c) { return c.ident == np.ident; });
      if (same != next->nps->end()) update_partial_reconfig_regs(&regs, *next_layer, *same);
    }
  }
  if (first_of_later_pass) set_ib_spikes(&regs);
  return {{np.ident, std::move(regs)}};
}

void record_fnp_image(program::Record& record, const Layer& layer, const hw::Component& np,
                      const FnpLearningFields* learning) {
  const Variables& vars = *layer.variables();
  const auto weights = vars.get("weights");
  const auto threshold = vars.get("threshold");
  const auto steps = get_threshold_t16_from_act_steps(*vars.get("act_step"));
  const bool activation = layer.params()->get("activation") != 0;
  const int bits = layer.params()->get("weights_bits");
  const uint32_t size = fnp_sram_size(weights->shape(), bits);
  auto fill = [&](std::span<uint32_t> out) {
    format_fnp_ram(out, *weights, *threshold, *steps, bits, activation, learning);
  };
  if (np.type == hw::Type::FNP2) {
    std::vector<uint32_t> image(size);
    fill(image);
    record.add_fnp2_filters_track(np.ident, std::move(image));
  } else {
    record.add_np_block(np.ident, kTargetFnpMemory, 0, size, fill);
  }
}

std::unique_ptr<program::Record> record_program_dense_layer(const Device& device, const Layer& layer,
                                                            std::shared_ptr<Layer> next_layer, bool first_of_later_pass,
                                                            bool last_of_pass,
                                                            const std::vector<hw::Ident>& excluded_nps,
                                                            bool registers_only) {
  const hw::Component np = first_component(*mapping_of(layer));
  auto record = program::new_record(device.version());
  if (std::find(excluded_nps.begin(), excluded_nps.end(), np.ident) != excluded_nps.end()) return record;
  const NpRegisters regs = fnp_np_registers(device, layer, false, next_layer, first_of_later_pass, last_of_pass);
  if (const auto it = regs.find(np.ident); it != regs.end())
    record->add_np_track(np.ident, kTargetRegisters, 0, it->second);
  if (!registers_only) record_fnp_image(*record, layer, np, nullptr);
  return record;
}

}  // namespace nuvra::v1
