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
#include <vector>

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

// What the learning records are made from, checked before anything is recorded.
struct LearningLayer {
  hw::Component np;
  std::shared_ptr<Dense> threshold_learning, thswap;
  uint32_t classes = 0, num_weights = 0;
};

LearningLayer checked_learning_layer(const Layer& layer) {
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
  return {np, vars.get("threshold_learning"), vars.get("thswap"), static_cast<uint32_t>(classes),
          static_cast<uint32_t>(num_weights)};
}

std::unique_ptr<program::Record> record_learning_image(const Device& device, const Layer& layer,
                                                       const LearningLayer& learning) {
  const FnpLearningFields fields{*learning.threshold_learning, *learning.thswap, learning.classes,
                                 learning.num_weights};
  auto record = program::new_record(device.version());
  record_fnp_image(*record, layer, learning.np, &fields);
  return record;
}

}  // namespace

program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device, const Layer& layer,
                                                             bool first_of_later_pass) {
  const LearningLayer learning = checked_learning_layer(layer);
  const hw::Ident& np = learning.np.ident;
  program::LearnRecordsPtr out;
  out.registers_a =
      register_record(device, fnp_np_registers(device, layer, true, nullptr, first_of_later_pass, false), np);
  out.registers_b =
      register_record(device, fnp_np_registers(device, layer, false, nullptr, first_of_later_pass, false), np);
  out.weights = record_learning_image(device, layer, learning);
  out.fnp_sram_size = get_fnp_sram_size(layer);
  return out;
}

std::vector<uint32_t> learning_memory_image(const Device& device, const Layer& layer) {
  const auto record = record_learning_image(device, layer, checked_learning_layer(layer));
  // The board loads the FNP2 filters as they are, an FNP3 track with its block headers.
  if (const auto& filters = record->fnp2_filters_track()) return filters->words;
  std::vector<uint32_t> image;
  for (const auto& track : record->tracks()) {
    const program::TrackWords words = track.words();
    image.insert(image.end(), words.begin(), words.end());
  }
  return image;
}

}  // namespace nuvra::v1
