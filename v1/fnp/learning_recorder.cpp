#include "v1/errors.h"
#include "v1/fnp/dense_recorder.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/fnp/learning.h"
#include "v1/layer_access.h"

#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <cmath>
#include <stdexcept>

namespace nuvra::v1 {

namespace {

const dma::Target kTargetRegisters{7};

// A learning parameter truncated to an integer, as the FNP fields take it.
int64_t truncated(const LearningParams& lp, const char* key) {
  const double v = lp.get(key);
  if (!(std::fabs(v) < 9.2e18)) throw FnpError(std::string(key) + " is not a usable number");
  return static_cast<int64_t>(v);
}

std::unique_ptr<program::Record> register_record(const Device& device, const NpRegisters& regs, const hw::Ident& np) {
  auto record = program::new_record(device.version());
  if (const auto it = regs.find(np); it != regs.end()) record->add_np_track(np, kTargetRegisters, 0, it->second);
  return record;
}

}  // namespace

program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device, const Layer& layer,
                                                             bool first_of_later_pass) {
  const auto mapping = mapping_of(layer);
  if (!mapping->nps) throw std::out_of_range("The layer mapping has no components");
  const hw::Component np = mapping->nps->at(0);
  const auto lp = layer.learning();
  if (!lp) throw std::runtime_error("The layer " + layer.get_name() + " has no learning parameters");

  // The learning fields must fit the image before anything is recorded.
  const LayerParams& p = *layer.params();
  const Variables& vars = *layer.variables();
  const int64_t classes = truncated(*lp, "num_classes");
  const int64_t num_weights = truncated(*lp, "num_weights");
  const int units = p.get("units");
  const uint32_t neurons = vars.get("weights")->shape()[0];
  check_learning_layer(p.get("weights_bits"), units, neurons, classes);
  const auto threshold_learning = vars.get("threshold_learning");
  const auto thswap = vars.get("thswap");
  const FnpLearningFields fields{*threshold_learning, *thswap, static_cast<uint32_t>(classes),
                                 static_cast<uint32_t>(num_weights)};

  program::LearnRecordsPtr out;
  out.registers_a =
      register_record(device, fnp_np_registers(device, layer, true, nullptr, first_of_later_pass, false), np.ident);
  out.registers_b =
      register_record(device, fnp_np_registers(device, layer, false, nullptr, first_of_later_pass, false), np.ident);
  out.weights = program::new_record(device.version());
  record_fnp_image(*out.weights, layer, np, &fields);
  out.fnp_sram_size = get_fnp_sram_size(layer);
  return out;
}

}  // namespace nuvra::v1
