#include "support/fake_recorders.h"

#include "backend/layer_mapping.h"
#include "backend/mapping_status.h"

#include <stdexcept>

namespace nuvra::test {

namespace {

constexpr uint32_t kXlBlockWords = 4096;

std::vector<uint32_t> counting(size_t n, uint32_t* seed) {
  std::vector<uint32_t> words(n);
  for (auto& w : words) w = (*seed)++;
  return words;
}

// A record of `shape` on NP `np`, its data words counting up from `seed`. Extra tracks are
// opened by blocks that need the extended header (4096 words each).
std::unique_ptr<program::Record> make_record(const RecordShape& shape, hw::Ident np, uint32_t seed) {
  auto record = program::new_record(versions::FPGA_v2);
  const dma::Target target{7};
  if (shape.tracks > 0)
    record->add_np_track(np, target, 0, counting(shape.leading_empty ? kXlBlockWords : shape.words, &seed));
  while (record->tracks().size() < shape.tracks) record->add_np_track(np, target, 0, counting(kXlBlockWords, &seed));
  if (shape.fnp2_words) record->add_fnp2_filters_track(np, counting(*shape.fnp2_words, &seed));
  return record;
}

KeptRecord keep(const program::Record& record) {
  KeptRecord k{{}, record.fnp2_filters_track()};
  for (const auto& t : record.tracks()) k.tracks.push_back(t.words());
  return k;
}

}  // namespace

std::unique_ptr<program::Record> FakeLayerRecorder::record_layer(const Layer& layer, const Layer& seq_first,
                                                                 std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                                 bool routing_flag,
                                                                 const std::vector<hw::Ident>& excluded_nps,
                                                                 bool registers_only, bool last_flag) const {
  const auto m = get_layer_mapping(layer);
  calls.push_back({layer.get_name(), seq_first.get_name(), next_layer ? next_layer->get_name() : "", ib_spikes,
                   routing_flag, excluded_nps, registers_only, last_flag, m ? m->id : -1});
  if (const auto f = failures.find(layer.get_name()); f != failures.end()) throw std::runtime_error(f->second);
  if (const auto r = refusals.find(layer.get_name()); r != refusals.end() && &layer != &seq_first)
    throw SequenceRefusal(layer, r->second);
  const auto s = shapes.find(layer.get_name());
  hw::Ident np{};
  if (m && m->nps && !m->nps->empty()) np = m->nps->front().ident;
  auto record = make_record(s == shapes.end() ? RecordShape{} : s->second, np, seed_);
  seed_ += 0x10000;
  kept.push_back(keep(*record));
  return record;
}

program::LearnRecordsPtr FakeLayerRecorder::record_learning_layer(const Layer& layer, bool learn) const {
  learning_calls.emplace_back(layer.get_name(), learn);
  if (const auto f = failures.find(layer.get_name()); f != failures.end()) throw std::runtime_error(f->second);
  auto make = [&](const RecordShape& shape, uint32_t seed) {
    auto record = make_record(shape, {}, seed_ + seed);
    kept.push_back(keep(*record));
    return record;
  };
  program::LearnRecordsPtr r{make(learning_registers, 0), make(learning_registers, 0x1000),
                             make(learning_weights, 0x2000), fnp_sram_size};
  seed_ += 0x10000;
  return r;
}

std::unique_ptr<program::Record> FakeIoRecorder::record_scc(bool input_layer, bool input_type_zero, bool solo,
                                                            bool output_type_zero, bool narrow, Shape input,
                                                            Shape output) const {
  scc_calls.push_back({input_layer, input_type_zero, solo, output_type_zero, narrow, input, output});
  auto record = make_record(scc, {}, 1);
  kept.push_back(keep(*record));
  return record;
}

}  // namespace nuvra::test
