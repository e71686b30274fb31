#include "backend/program_recorder.h"

#include "backend/layer_mapping.h"

#include <stdexcept>
#include <utility>

namespace nuvra {

RecordedProgram ProgramRecorder::scc(bool input_layer, bool input_type_zero, bool solo, bool output_type_zero,
                                     bool narrow, Shape input, Shape output) const {
  auto record = io_recorder_.record_scc(input_layer, input_type_zero, solo, output_type_zero, narrow, input, output);
  if (!record) throw std::runtime_error("The I/O recorder gave no SCC program.");
  return {std::move(record), {}, {}};
}

RecordedProgram ProgramRecorder::layer(const Layer& layer, const Layer& seq_first, std::shared_ptr<Layer> next_layer,
                                       bool ib_spikes, bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                       bool registers_only, bool last_flag) const {
  return programming_layer(layer, [&] {
    auto record = layer_recorder_.record_layer(layer, seq_first, std::move(next_layer), ib_spikes, routing_flag,
                                               excluded_nps, registers_only, last_flag);
    if (!record) throw std::runtime_error("no program was recorded");
    return RecordedProgram{std::move(record), {}, {}};
  });
}

RecordedProgram ProgramRecorder::learning_layer(const Layer& layer, bool learn) const {
  return programming_layer(layer, [&] {
    RecordedProgram out;
    out.learning = layer_recorder_.record_learning_layer(layer, learn);
    const auto& r = out.learning;
    if (!r.registers_a || !r.registers_b || !r.weights) throw std::runtime_error("incomplete learning records");
    // The program information points at the first track of each register record and at the
    // weights' first track or FNP2 filters.
    if (r.registers_a->tracks().empty() || r.registers_b->tracks().empty() ||
        (r.weights->tracks().empty() && !r.weights->fnp2_filters_track()))
      throw std::runtime_error("learning records without a track");
    const auto mapping = layer.mapping();
    if (!mapping || !mapping->nps) throw std::out_of_range("the learning layer is not mapped");
    out.learning_np = mapping->nps->at(0).ident;
    return out;
  });
}

RecordedProgram ProgramRecorder::unused_nps(const std::shared_ptr<Layer>& first, const std::shared_ptr<Layer>& second,
                                            const std::vector<hw::Ident>& excluded_nps) const {
  if (!first || !second) throw std::invalid_argument("Idle NPs are programmed from two layers.");
  const auto mapping = get_layer_mapping(*first);
  if (!mapping) throw std::runtime_error("Layer '" + first->get_name() + "' has no layer mapping.");
  // The idle NPs take the first layer's registers under the number the previous pass sends to.
  struct IdSwap {
    LayerMapping& m;
    uint8_t saved;
    ~IdSwap() { m.id = saved; }
  } swap{*mapping, mapping->id};
  mapping->id = mapping->prev_id;
  return layer(*first, *second, first, false, false, excluded_nps, true, false);
}

size_t ProgramRecorder::descriptors(const RecordedProgram& program) {
  if (program.record) return program.record->tracks().size();
  return program.learning.registers_b->tracks().size() + program.learning.weights->tracks().size();
}

}  // namespace nuvra
