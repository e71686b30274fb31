#include "support/fake_recorders.h"

#include "backend/layer_mapping.h"

#include <stdexcept>

namespace nuvra::test {

namespace {

constexpr uint32_t kXlBlockWords = 4096;

std::vector<uint32_t> counting(size_t n, uint32_t* seed) {
  std::vector<uint32_t> words(n);
  for (auto& w : words) w = (*seed)++;
  return words;
}

}  // namespace

KeptRecord keep(const std::string& what, const program::Record& record) {
  KeptRecord k{what, {}, record.fnp2_filters_track()};
  for (const auto& t : record.tracks()) k.tracks.push_back(t.words());
  return k;
}

std::unique_ptr<program::Record> make_record(const RecordShape& shape, hw::Ident np, uint32_t seed) {
  auto record = program::new_record(versions::FPGA_v2);
  const dma::Target target{7};
  if (shape.tracks > 0) {
    if (shape.leading_empty) {
      record->add_np_track(np, target, 0, counting(kXlBlockWords, &seed));
    } else {
      record->add_np_track(np, target, 0, counting(shape.words, &seed));
    }
    while (record->tracks().size() < shape.tracks) record->add_np_track(np, target, 0, counting(kXlBlockWords, &seed));
  }
  if (shape.fnp2_words) record->add_fnp2_filters_track(np, counting(*shape.fnp2_words, &seed));
  return record;
}

std::unique_ptr<program::Record> FakeLayerRecorder::record_layer(const Layer& layer, const Layer& seq_first,
                                                                 std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                                 bool routing_flag,
                                                                 const std::vector<hw::Ident>& excluded_nps,
                                                                 bool registers_only, bool last_flag) const {
  const auto m = get_layer_mapping(layer);
  calls.push_back({layer.get_name(), seq_first.get_name(), next_layer ? next_layer->get_name() : "", ib_spikes,
                   routing_flag, excluded_nps, registers_only, last_flag, m ? m->id : -1});
  if (const auto f = failures.find(layer.get_name()); f != failures.end()) throw std::runtime_error(f->second);
  const auto s = shapes.find(layer.get_name());
  hw::Ident np{};
  if (m && m->nps && !m->nps->empty()) np = m->nps->front().ident;
  auto record = make_record(s == shapes.end() ? RecordShape{} : s->second, np, seed_);
  seed_ += 0x10000;
  kept.push_back(keep(layer.get_name(), *record));
  return record;
}

program::LearnRecordsPtr FakeLayerRecorder::record_learning_layer(const Layer& layer, bool learn) const {
  learning_calls.push_back({layer.get_name(), learn});
  if (const auto f = failures.find(layer.get_name()); f != failures.end()) throw std::runtime_error(f->second);
  program::LearnRecordsPtr r;
  r.registers_a = make_record(learning_registers, {}, seed_);
  r.registers_b = make_record(learning_registers, {}, seed_ + 0x1000);
  r.weights = make_record(learning_weights, {}, seed_ + 0x2000);
  r.fnp_sram_size = fnp_sram_size;
  seed_ += 0x10000;
  kept.push_back(keep(layer.get_name() + "/registers_a", *r.registers_a));
  kept.push_back(keep(layer.get_name() + "/registers_b", *r.registers_b));
  kept.push_back(keep(layer.get_name() + "/weights", *r.weights));
  return r;
}

void FakeLayerRecorder::sync_learning_vars(std::shared_ptr<Layer> layer) const {
  synced.push_back(layer ? layer->get_name() : "");
}

std::unique_ptr<program::Record> FakeIoRecorder::record_scc(bool input_layer, bool input_type_zero, bool solo,
                                                            bool output_type_zero, bool narrow, Shape input,
                                                            Shape output) const {
  scc_calls.push_back({input_layer, input_type_zero, solo, output_type_zero, narrow, input, output});
  auto record = make_record(scc, {}, 1);
  kept.push_back(keep("scc", *record));
  return record;
}

std::unique_ptr<std::vector<epg::epg_track>> FakeIoRecorder::record_epg(const Layer& layer, uint8_t low,
                                                                        uint8_t high, uint8_t count, bool solo,
                                                                        bool multi_pass, bool input_type_zero) const {
  epg_calls.push_back({layer.get_name(), low, high, count, solo, multi_pass, input_type_zero});
  return std::make_unique<std::vector<epg::epg_track>>(epg);
}

}  // namespace nuvra::test
