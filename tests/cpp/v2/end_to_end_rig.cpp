#include "end_to_end_rig.h"

#include "backend/hardware_constraints.h"
#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "support/program_check.h"
#include "support/program_tools.h"
#include "v2/memory_sizer.h"

#include <nuvra/program_info.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <span>
#include <utility>

namespace nuvra::test {

namespace {

using Records = std::vector<std::vector<KeptRecord>>;  // per pass, in recording order

bool is_np(hw::Type t) {
  return t == hw::Type::CNP1 || t == hw::Type::CNP2 || t == hw::Type::FNP2 || t == hw::Type::FNP3 ||
         t == hw::Type::TNP_B;
}
bool is_cnp(hw::Type t) { return t == hw::Type::CNP1 || t == hw::Type::CNP2; }

uint64_t round4(uint64_t v) { return (v + 3) / 4 * 4; }

std::vector<uint32_t> used_dims(const Shape& s) {
  std::vector<uint32_t> dims;
  for (size_t i = 0; i < s.size(); ++i) dims.push_back(s[i]);
  return dims;
}

uint64_t product(const std::vector<uint32_t>& dims) {
  uint64_t p = 1;
  for (uint32_t d : dims) p *= d;
  return p;
}

// Low and high column of a component list; a lone HRC counts as column 1.
std::pair<uint32_t, uint32_t> column_range(const std::vector<hw::Component>& list) {
  if (list.size() == 1 && list[0].type == hw::Type::HRC) return {1, 1};
  const auto [lo, hi] = std::minmax_element(
      list.begin(), list.end(), [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {lo->ident.col, hi->ident.col};
}

// Where the records of a pass's layers start: the SCC program comes first in the first pass.
size_t first_layer_record(size_t pass) { return pass == 0 ? 1 : 0; }

std::vector<Block> blocks_of(const KeptRecord& record, const std::string& where) {
  std::vector<Block> out;
  for (const auto& track : record.tracks) {
    try {
      for (const Block& b : decode_blocks(std::span<const uint32_t>(track))) out.push_back(b);
    } catch (const std::exception& e) {
      ADD_FAILURE() << where << ": " << e.what();
    }
  }
  return out;
}

// The register block of `np` in a record; null (and a failure) unless there is exactly one.
const Block* register_block(const std::vector<Block>& blocks, const hw::Ident& np, const std::string& where) {
  const Block* found = nullptr;
  for (const Block& b : blocks) {
    if (b.header.target != 7 || !(b.header.ident == np) || b.header.address != 0) continue;
    if (found) {
      ADD_FAILURE() << where << ": two register blocks for NP " << np.to_string();
      return nullptr;
    }
    found = &b;
  }
  if (!found) ADD_FAILURE() << where << ": no register block for NP " << np.to_string();
  if (found && found->data.size() != 64) {
    ADD_FAILURE() << where << ": register block of " << found->data.size() << " words";
    return nullptr;
  }
  return found;
}

Records read_passes(const ProgramView& view) {
  Records out;
  for (const auto* pass : *view.data->passes()) {
    out.emplace_back();
    for (const auto* record : *pass->records()) out.back().push_back(read_record(record));
  }
  return out;
}

// Part of each pass: its SCC program (first pass), one record per layer, the idle-NP program
// (every pass but the last). The recount follows the sequence builder's rule: the SCC program
// counts 1, every other record its tracks, and in a several-pass sequence each layer's skip-DMA
// records add theirs.
void check_records_and_descriptors(const std::vector<std::shared_ptr<Sequence::Pass>>& passes, const Records& records,
                                   const ProgramView& view) {
  const size_t n = passes.size();
  size_t max_count = 0;
  for (size_t p = 0; p < n; ++p) {
    const size_t expected = first_layer_record(p) + passes[p]->layers.size() + (p + 1 < n ? 1 : 0);
    EXPECT_EQ(records[p].size(), expected) << "records of pass " << p;
    if (records[p].size() != expected) continue;
    size_t count = first_layer_record(p);
    for (size_t r = first_layer_record(p); r < records[p].size(); ++r) count += records[p][r].tracks.size();
    if (n > 1) {
      for (const auto& layer : passes[p]->layers) {
        const auto m = get_layer_mapping(*layer);
        if (!m) continue;
        count += (m->skipdma_store_info ? 4 : 0) + (m->skipdma_load_info ? 4 : 0) + (m->skipdma_load_link ? 1 : 0);
      }
    }
    max_count = std::max(max_count, count);
  }
  EXPECT_EQ(view.info->descriptors_per_pass(), max_count + 1);
  EXPECT_LE(n * (max_count + 1), 256u);
}

// Filter parts tile [0, filters); within each filter part the spatial parts tile the input plane,
// and each bordered window holds its part.
void check_split(const Layer& layer, const LayerMapping& m) {
  std::map<std::pair<uint32_t, uint32_t>, std::vector<hw::SplitRecord>> groups;
  for (const auto& c : *m.nps)
    if (c.split) groups[{c.split->start_neuron, c.split->filters}].push_back(*c.split);
  if (groups.empty()) return;
  const Shape in = layer.input_dimensions().front();
  const uint64_t w = in[0], h = in[1], channels = in[2];
  const LayerParams& params = *layer.params();
  const uint64_t filters =
      layer.channelwise() ? channels : static_cast<uint64_t>(params.get(params.has("filters") ? "filters" : "units"));

  uint64_t next = 0;
  for (const auto& [range, parts] : groups) {
    const auto [start, count] = range;
    SCOPED_TRACE(layer.get_name() + " filters " + std::to_string(start) + "+" + std::to_string(count));
    EXPECT_EQ(start, next) << "filter parts leave a gap or overlap";
    next = uint64_t{start} + count;
    uint64_t area = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      const NpSpace& a = parts[i].spatial_partition;
      const NpSpace& b = parts[i].bordered_partition;
      EXPECT_LE(a.x + uint64_t{a.shape[0]}, w);
      EXPECT_LE(a.y + uint64_t{a.shape[1]}, h);
      EXPECT_EQ(a.shape[2], layer.channelwise() ? count : channels);
      EXPECT_TRUE(b.x <= a.x && b.y <= a.y && b.x + uint64_t{b.shape[0]} >= a.x + uint64_t{a.shape[0]} &&
                  b.y + uint64_t{b.shape[1]} >= a.y + uint64_t{a.shape[1]})
          << "the bordered window does not hold its part";
      area += uint64_t{a.shape[0]} * a.shape[1];
      for (size_t j = 0; j < i; ++j) {
        const NpSpace& o = parts[j].spatial_partition;
        const bool apart = a.x + a.shape[0] <= o.x || o.x + o.shape[0] <= a.x || a.y + a.shape[1] <= o.y ||
                           o.y + o.shape[1] <= a.y;
        EXPECT_TRUE(apart) << "spatial parts " << j << " and " << i << " overlap";
      }
    }
    EXPECT_EQ(area, w * h) << "spatial parts do not cover the input";
  }
  EXPECT_EQ(next, filters) << layer.get_name() << ": filter parts do not end at the filter count";
}

void check_pass_mappings(const Sequence::Pass& pass) {
  std::map<hw::Ident, std::string> owner;
  std::set<hw::Ident> stores, loads;
  for (const auto& layer : pass.layers) {
    const auto m = get_layer_mapping(*layer);
    if (!m) {
      ADD_FAILURE() << layer->get_name() << " has no LayerMapping";
      continue;
    }
    if (m->nps) {
      for (const auto& c : *m->nps) {
        const auto [it, fresh] = owner.emplace(c.ident, layer->get_name());
        EXPECT_TRUE(fresh) << "NP " << c.ident.to_string() << " serves " << it->second << " and "
                           << layer->get_name();
      }
      check_split(*layer, *m);
    }
    for (const auto& c : m->skipdma_stores)
      EXPECT_TRUE(stores.insert(c.ident).second) << "skip-DMA store channel used twice by " << layer->get_name();
    for (const auto& c : m->skipdma_loads)
      EXPECT_TRUE(loads.insert(c.ident).second) << "skip-DMA load channel used twice by " << layer->get_name();
  }
}

// What the sequence builder tells the recorders about a layer's place in its pass.
struct PassPlace {
  bool later_first = false;  // first layer of a later pass: its input buffer receives spikes
  bool routing = false;      // ends a pass that another follows
  std::shared_ptr<const LayerMapping> next_first;  // first layer of the next pass, if any
};

void check_layer_registers(const Layer& layer, const LayerMapping& m, const KeptRecord& record,
                           const PassPlace& place) {
  const std::string where = "registers of " + layer.get_name();
  const std::vector<Block> blocks = blocks_of(record, where);
  const std::vector<hw::Component> next = m.get_next_components();
  const std::vector<hw::Component> prev = m.get_prev_component();
  for (const auto& c : *m.nps) {
    if (!is_np(c.type)) continue;
    const Block* b = register_block(blocks, c.ident, where);
    if (!b) continue;
    const auto& regs = b->data;
    SCOPED_TRACE(where + " on NP " + c.ident.to_string());
    EXPECT_EQ(field(regs[3], 24, 31), m.id);
    EXPECT_EQ(field(regs[2], 7, 7), place.later_first ? 1u : 0u) << "input-buffer spikes";
    EXPECT_EQ(field(regs[44], 2, 2), place.routing ? 1u : 0u) << "routing flag";
    // An NP that the next pass's first layer takes over is prepared for it.
    const bool reused = place.next_first && place.next_first->nps &&
                        std::any_of(place.next_first->nps->begin(), place.next_first->nps->end(),
                                    [&](const hw::Component& o) { return o.ident == c.ident; });
    if (reused) {
      EXPECT_EQ(regs[32] & 0x5u, 0x5u) << "partial reconfiguration";
      EXPECT_EQ(field(regs[32], 24, 31), place.next_first->prev_id);
    } else {
      EXPECT_EQ(regs[32], 0u) << "partial reconfiguration of an NP the next pass does not take";
    }
    if (!next.empty()) {
      const uint32_t destination = (m.next_id - (next.front().type == hw::Type::TNP_B ? 1u : 0u)) & 0xFF;
      EXPECT_EQ(field(regs[45], 24, 31), destination);
      if (m.p2p_out && next.size() == 1) {
        EXPECT_EQ(field(regs[45], 0, 7), next[0].ident.row);
        EXPECT_EQ(field(regs[45], 8, 15), next[0].ident.col);
      } else {
        const auto [lo, hi] = column_range(next);
        EXPECT_EQ(field(regs[45], 0, 7), lo);
        EXPECT_EQ(field(regs[45], 8, 15), hi);
      }
    }
    if (!prev.empty()) {
      if (m.p2p_in && prev.size() == 1) {
        EXPECT_EQ(field(regs[46], 0, 7), prev[0].ident.row);
        EXPECT_EQ(field(regs[46], 8, 15), prev[0].ident.col);
      } else {
        const auto [lo, hi] = column_range(prev);
        EXPECT_EQ(field(regs[46], 0, 7), lo);
        EXPECT_EQ(field(regs[46], 8, 15), hi);
      }
    }
  }
}

void check_registers(const std::vector<std::shared_ptr<Sequence::Pass>>& passes, const Records& records) {
  for (size_t p = 0; p < passes.size(); ++p) {
    const auto& layers = passes[p]->layers;
    if (records[p].size() < first_layer_record(p) + layers.size()) continue;  // reported already
    std::set<hw::Ident> own;
    const auto first = first_mappable_layer(layers);
    const auto last = last_mappable_layer(layers);
    PassPlace place;
    if (p + 1 < passes.size()) place.next_first = get_layer_mapping(*first_mappable_layer(passes[p + 1]->layers));
    for (size_t k = 0; k < layers.size(); ++k) {
      const auto m = get_layer_mapping(*layers[k]);
      if (!m || !m->nps) continue;
      for (const auto& c : *m->nps) own.insert(c.ident);
      place.later_first = p > 0 && layers[k] == first;
      place.routing = p + 1 < passes.size() && layers[k] == last;
      check_layer_registers(*layers[k], *m, records[p][first_layer_record(p) + k], place);
    }
    // The idle-NP program prepares, without a layer id, only NPs this pass leaves free.
    if (p + 1 < passes.size()) {
      for (const Block& b : blocks_of(records[p].back(), "idle-NP program of pass " + std::to_string(p))) {
        EXPECT_EQ(own.count(b.header.ident), 0u) << "idle-NP program touches busy NP " << b.header.ident.to_string();
        if (b.header.target == 7 && b.data.size() == 64) {
          EXPECT_EQ(b.data[3], 0xFE000000u);
        }
      }
    }
  }
}

void check_memory(const std::vector<std::shared_ptr<Sequence::Pass>>& passes, const Device& device) {
  const v2::MemorySizerImpl sizer;
  const HardwareConstraints limits = compute_hardware_constraints(device);
  const bool multi_pass = passes.size() > 1;
  const std::shared_ptr<Layer> first = passes.front()->layers.front();
  for (const auto& pass : passes) {
    for (const auto& layer : pass->layers) {
      const auto m = get_layer_mapping(*layer);
      if (!m) continue;
      const auto sized = [&](const hw::Component& c, bool dual_output, const std::string& what) {
        SCOPED_TRACE(layer->get_name() + " " + what + " " + c.ident.to_string());
        EXPECT_EQ(c.mem_info.input_size, 4 * sizer.get_input_memory_size(layer, c, first));
        EXPECT_EQ(c.mem_info.weight_size, 4 * sizer.get_weight_memory_size(layer, c));
        EXPECT_EQ(c.mem_info.external_size, 4 * sizer.get_external_memory_size(layer, c, dual_output, multi_pass));
      };
      if (m->nps) {
        for (const auto& c : *m->nps) {
          sized(c, false, "NP");
          if (is_cnp(c.type)) {
            EXPECT_GT(c.mem_info.input_size, 0u) << layer->get_name();
            EXPECT_GT(c.mem_info.weight_size, 0u) << layer->get_name();
            EXPECT_LE(c.mem_info.input_size / 4, limits.input_sram_single_buffer_size) << layer->get_name();
          }
          if (c.type == hw::Type::FNP3) {
            EXPECT_GT(c.mem_info.weight_size, 0u) << layer->get_name();
            EXPECT_LE(c.mem_info.weight_size / 4, limits.fnp3_sram_size) << layer->get_name();
          }
          if (c.type == hw::Type::HRC && layer->params()->layer_type() == LayerType::InputConv2D) {
            EXPECT_GT(c.mem_info.weight_size, 0u) << layer->get_name();
          }
        }
      }
      if (const hw::Component* c = m->skipdma_store_dual_output()) sized(*c, true, "dual-output store");
      if (const hw::Component* c = m->skipdma_store()) {
        sized(*c, false, "store");
        EXPECT_GT(c->mem_info.external_size, 0u) << layer->get_name();
      }
    }
  }
}

// 32-bit words a layer's skip-DMA stores hold per frame, as the program information lists them.
uint64_t skipdma_store_words(const Layer& layer, const LayerMapping& m) {
  const auto bits = [](uint64_t b, uint64_t n) { return (b * n + 31) >> 5; };
  uint64_t words = 0;
  const bool tnp_b = layer.is_kind(6);
  if (m.skipdma_store()) {
    if (tnp_b) {
      const Shape in = layer.input_dimensions().front();
      words += bits(layer.input_bits(), in[2]) * in[1] * in[0];
    } else {
      const Shape out = layer.output_dimensions();
      words += bits(layer.output_bits(), out[0]) * out[1] * out[2];
    }
  }
  if (m.skipdma_store_dual_output()) {
    const Shape in = layer.input_dimensions().front();
    words += tnp_b ? in[0] * in[1] * bits(layer.input_bits(), in[2]) : in[1] * in[2] * bits(layer.input_bits(), in[0]);
  }
  return words;
}

void check_program_info(const Sequence& sequence, const std::vector<uint8_t>& program, const ProgramView& view,
                        const Records& records) {
  const auto& passes = sequence.passes();
  const size_t n = passes.size();
  const auto parts = sequence.program_parts();
  EXPECT_EQ(parts.program_info.size, 4u + view.info_size);
  EXPECT_EQ(parts.program_data.size, 4u + view.data_size);

  std::optional<ProgramInfo> info;
  try {
    info.emplace(program.data(), program.size());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "ProgramInfo: " << e.what();
    return;
  }
  const Layer& first = *passes.front()->layers.front();
  const Layer& last = *passes.back()->layers.back();
  std::vector<uint32_t> in_dims = used_dims(first.input_dimensions().front());
  if (first.params()->layer_type() == LayerType::Dense1D) in_dims = {1, 1, static_cast<uint32_t>(product(in_dims))};
  std::vector<uint32_t> out_dims = used_dims(last.output_dimensions());
  // A Stem alone hands out its tokens rotated: (tokens, dimension, 1).
  if (last.params()->layer_type() == LayerType::Stem && &first == &last)
    out_dims = {out_dims.at(1), out_dims.at(2), out_dims.at(0)};
  EXPECT_EQ(info->input_dims(), in_dims);
  EXPECT_EQ(info->output_dims(), out_dims);
  EXPECT_EQ(info->has_activation(), last.has_activation());
  EXPECT_EQ(info->passes().size(), n);
  EXPECT_EQ(info->descriptors_per_pass(), view.info->descriptors_per_pass());

  uint64_t fnp2_words = 0, store_words = 0;
  for (size_t p = 0; p < n; ++p) {
    uint32_t stores = 0;
    for (const auto& r : records[p])
      if (r.fnp2) fnp2_words += r.fnp2->words.size();
    for (const auto& layer : passes[p]->layers) {
      const auto m = get_layer_mapping(*layer);
      if (!m) continue;
      store_words += skipdma_store_words(*layer, *m);
      stores += (m->skipdma_store() ? 1 : 0) + (m->skipdma_store_dual_output() ? 1 : 0);
    }
    if (p < info->passes().size()) {
      EXPECT_EQ(info->passes()[p].skipdma_stores, stores) << "pass " << p;
    }
  }
  const uint64_t dpp = view.info->descriptors_per_pass();
  EXPECT_EQ(input_memory_required(*info), round4(product(in_dims)));
  EXPECT_EQ(input_descriptor_memory_required(*info), 32 * n);
  EXPECT_EQ(output_memory_required(*info), round4(product(out_dims) * (last.has_activation() ? 1 : 4)));
  EXPECT_EQ(program_data_memory_required(*info), uint64_t{view.data_size} + 4);
  EXPECT_EQ(extra_program_memory_required(*info), 4 * (fnp2_words + store_words));
  EXPECT_EQ(program_descriptors_memory_required(*info), 32 * dpp * n);
}

}  // namespace

void fill_variables(Layer& layer, uint32_t seed) {
  Variables* vars = layer.variables();
  if (!vars) return;
  const bool add = layer.params()->layer_type() == LayerType::Add;
  // Fresh tensors, so that shared storage is never written in place.
  const auto put = [&](const char* name, int lo, int hi) {
    if (!vars->has(name)) return;
    const auto old = vars->get(name);
    auto t = Dense::create(old->type(), old->shape(), old->layout());
    const size_t span = static_cast<size_t>(hi - lo + 1);
    for (size_t i = 0; i < t->size(); ++i) {
      const int v = lo + static_cast<int>((i * 7 + seed) % span);
      if (t->type() == TensorType::int8)
        t->data<int8_t>()[i] = static_cast<int8_t>(v);
      else
        t->data<uint8_t>()[i] = static_cast<uint8_t>(v);
    }
    vars->set(name, t);
  };
  put("weights", -7, 7);
  put("input_shift", 0, 3);
  put("output_scales", 1, 200);
  put("bias", -20, 20);
  put("bias_shift", 0, 7);
  put("max_value", 1, 255);
  put("max_value_shift", 0, 7);
  // An Add keeps max(a, b) + 4 + output_shift within 0..7.
  put("a_shift", 1, 1);
  put("b_shift", 1, 1);
  if (add)
    put("output_shift", 0, 0);
  else
    put("output_shift", -3, 1);
}

void fill_model(Model& model) {
  uint32_t seed = 1;
  for (const auto& layer : model.layers()) fill_variables(*layer, seed++);
}

std::shared_ptr<Device> fpga_v2_device() { return make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2")); }

std::vector<uint8_t> program_bytes(const Sequence& sequence) {
  const ByteView p = sequence.program();
  if (!p.data) return {};
  return std::vector<uint8_t>(p.data, p.data + p.size);
}

std::vector<std::shared_ptr<Sequence>> hardware_sequences(const Model& model) {
  std::vector<std::shared_ptr<Sequence>> out;
  for (const auto& s : model.sequences())
    if (s->backend() == BackendType::Hardware) out.push_back(s);
  return out;
}

void check_hardware_sequence(const Sequence& sequence, const Device& device) {
  SCOPED_TRACE(sequence.name());
  ASSERT_EQ(sequence.backend(), BackendType::Hardware);
  const auto& passes = sequence.passes();
  ASSERT_FALSE(passes.empty());
  const std::vector<uint8_t> program = program_bytes(sequence);
  ProgramView view;
  try {
    view = open_program(program);
  } catch (const std::exception& e) {
    FAIL() << "program: " << e.what();
  }
  EXPECT_EQ(check_spans(view), "");
  ASSERT_EQ(view.data->passes()->size(), passes.size());
  const Records records = read_passes(view);
  for (size_t p = 0; p < records.size(); ++p)
    for (size_t r = 0; r < records[p].size(); ++r)
      blocks_of(records[p][r], "pass " + std::to_string(p) + " record " + std::to_string(r));

  check_records_and_descriptors(passes, records, view);
  for (const auto& pass : passes) check_pass_mappings(*pass);
  check_registers(passes, records);
  check_memory(passes, device);
  check_program_info(sequence, program, view, records);
}

std::vector<std::string> mapped_layers(const Model& model) {
  std::vector<std::string> out;
  for (const auto& layer : model.layers())
    if (layer->mapping()) out.push_back(layer->get_name());
  return out;
}

}  // namespace nuvra::test
