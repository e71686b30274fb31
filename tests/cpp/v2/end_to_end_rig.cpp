#include "end_to_end_rig.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "rule_testing.h"
#include "support/program_check.h"
#include "support/program_tools.h"

#include <nuvra/program_info.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace nuvra::test {

namespace {

std::vector<Block> blocks_of(const KeptRecord& record) {
  std::vector<Block> out;
  for (const auto& track : record.tracks)
    EXPECT_NO_THROW(for (const Block& b : decode_blocks(std::span<const uint32_t>(track))) out.push_back(b));
  return out;
}

// Filter parts tile [0, filters), and within each the spatial parts cover every input pixel once.
void check_split(const Layer& layer, const LayerMapping& m) {
  std::map<std::pair<uint32_t, uint32_t>, std::vector<NpSpace>> groups;
  for (const auto& c : *m.nps)
    if (c.split) groups[{c.split->start_neuron, c.split->filters}].push_back(c.split->spatial_partition);
  if (groups.empty()) return;
  const Shape in = layer.input_dimensions().front();
  const LayerParams& params = *layer.params();
  uint64_t next = 0;
  for (const auto& [range, parts] : groups) {
    SCOPED_TRACE(layer.get_name() + " filters from " + std::to_string(range.first));
    EXPECT_EQ(range.first, next) << "filter parts leave a gap or overlap";
    next = uint64_t{range.first} + range.second;
    std::vector<int> cover(size_t{in[0]} * in[1]);
    for (const NpSpace& a : parts)
      for (uint32_t y = a.y; y < a.y + a.shape[1] && y < in[1]; ++y)
        for (uint32_t x = a.x; x < a.x + a.shape[0] && x < in[0]; ++x) ++cover[size_t{y} * in[0] + x];
    EXPECT_EQ(std::count(cover.begin(), cover.end(), 1), static_cast<long>(cover.size())) << "pixels not covered once";
  }
  EXPECT_EQ(next, layer.channelwise() ? in[2] : params.get(params.has("filters") ? "filters" : "units"));
}

// A pass's records: the SCC program (first pass), one per layer, the idle-NP program (all but
// the last pass).
void check_pass(const std::vector<std::shared_ptr<Sequence::Pass>>& passes, size_t p,
                const std::vector<KeptRecord>& records) {
  const auto& layers = passes[p]->layers;
  const bool last_pass = p + 1 == passes.size();
  std::set<hw::Ident> busy, stores, loads;
  const auto first = first_mappable_layer(layers), last = last_mappable_layer(layers);
  for (size_t k = 0; k < layers.size(); ++k) {
    const auto m = get_layer_mapping(*layers[k]);
    if (!m) {
      ADD_FAILURE() << layers[k]->get_name() << " has no LayerMapping";
      continue;
    }
    for (const auto& c : m->skipdma_stores) EXPECT_TRUE(stores.insert(c.ident).second) << "store channel used twice";
    for (const auto& c : m->skipdma_loads) EXPECT_TRUE(loads.insert(c.ident).second) << "load channel used twice";
    if (!m->nps) continue;
    check_split(*layers[k], *m);
    const std::vector<Block> blocks = blocks_of(records[(p == 0) + k]);
    // A TNP-B record opens with the layer's skip-DMA blocks, a CNP record ends with them.
    const auto skip = [](const Block& b) { return b.header.target == 11; };
    const hw::Type type = m->nps->empty() ? hw::Type::HRC : m->nps->front().type;
    const bool cnp = type == hw::Type::CNP1 || type == hw::Type::CNP2;
    if (cnp || type == hw::Type::TNP_B) {
      EXPECT_TRUE(cnp ? std::is_partitioned(blocks.rbegin(), blocks.rend(), skip)
                      : std::is_partitioned(blocks.begin(), blocks.end(), skip));
    }
    // A TNP-B layer always has its skip-DMA load and store, so its record never lacks them.
    if (type == hw::Type::TNP_B) {
      EXPECT_TRUE(!blocks.empty() && skip(blocks.front())) << "TNP-B skip-DMA blocks";
    }
    for (const auto& c : *m->nps) {
      SCOPED_TRACE(layers[k]->get_name() + " on " + c.ident.to_string());
      EXPECT_TRUE(busy.insert(c.ident).second) << "NP serves two layers";
      // The weight blocks (targets 0, 1, 6; the HRC's SRAM, 9) hold what the memory sizer counted.
      uint64_t weight_words = 0;
      for (const Block& b : blocks)
        if ((b.header.ident == c.ident || c.type == hw::Type::HRC) &&
            (b.header.target <= 1 || b.header.target == 6 || b.header.target == 9))
          weight_words += b.data.size();
      if (c.type != hw::Type::VIT_BLOCK && layers[k]->type() != LayerType::Stem) {
        EXPECT_EQ(4 * weight_words, c.mem_info.weight_size) << "weight memory";
      }
      if (c.type == hw::Type::HRC || c.type == hw::Type::VIT_BLOCK || c.type == hw::Type::TNP_R) continue;
      const auto regs = std::find_if(blocks.begin(), blocks.end(), [&](const Block& b) {
        return b.header.target == 7 && b.header.ident == c.ident && b.header.address == 0;
      });
      ASSERT_NE(regs, blocks.end());
      ASSERT_EQ(regs->data.size(), 64u);
      const auto& r = regs->data;
      EXPECT_EQ(field(r[3], 24, 31), m->id);
      EXPECT_EQ(field(r[2], 7, 7), p > 0 && layers[k] == first) << "input-buffer spikes";
      EXPECT_EQ(field(r[44], 2, 2), !last_pass && layers[k] == last) << "routing flag";
      const auto next = m->get_next_components();
      if (!next.empty()) {
        EXPECT_EQ(field(r[45], 24, 31), (m->next_id - (next[0].type == hw::Type::TNP_B)) & 0xFFu) << "destination";
      }
      if (c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2 && c.type != hw::Type::TNP_B) continue;
      // Registers, weights, input shifts and variables, in that order; the input memory the sizer
      // counted is the register block's window (a CNP's word 4, a TNP-B's blocks of 64 words, one
      // frame more than its FIFO).
      std::vector<uint32_t> targets;
      for (const Block& b : blocks)
        if (b.header.ident == c.ident && targets.size() < 4) targets.push_back(b.header.target);
      ASSERT_EQ(targets.size(), 4u);
      EXPECT_EQ(targets, (std::vector<uint32_t>{7, targets[1] == 0 ? 0u : 1u, 2, 5}));
      EXPECT_EQ(field(r[26], 16, 25), c.split->filters) << "filter share";
      const uint64_t input_words = c.type == hw::Type::TNP_B
                                       ? field(r[56], 16, 24) * 64 * (layers[k]->params()->get("fifo_size") + 1)
                                       : field(r[4], 0, 15);
      EXPECT_EQ(4 * input_words, c.mem_info.input_size) << "input memory";
      EXPECT_EQ(field(r[3], 16, 23), m->nps->size());
    }
  }
  // The idle-NP program prepares, without a layer id, only NPs this pass leaves free.
  for (const Block& b : last_pass ? std::vector<Block>{} : blocks_of(records.back())) {
    EXPECT_EQ(busy.count(b.header.ident), 0u) << "idle-NP program touches " << b.header.ident.to_string();
    EXPECT_TRUE(b.header.target != 7 || b.data.size() != 64 || b.data[3] == 0xFE000000u);
  }
}

}  // namespace

void fill_model(Model& model) {
  int seed = 0;
  for (const auto& layer : model.layers()) {
    ++seed;
    // Fresh tensors, so that shared storage is never written in place. An Add keeps
    // max(a, b) + 4 + output_shift within 0..7; a last layer without activation passes its
    // accumulator through unscaled.
    const auto outs = layer->outbound_layers();
    const bool add = layer->params()->layer_type() == LayerType::Add;
    const bool raw =
        !layer->has_activation() && (outs.empty() || outs[0]->params()->layer_type() == LayerType::Dequantizer);
    const std::tuple<const char*, int, int> ranges[] = {
        {"weights", -7, 7}, {"input_shift", 0, 3}, {"output_scales", 1, raw ? 1 : 200}, {"bias", -20, 20},
        {"bias_shift", 0, 7}, {"max_value", 1, 255}, {"max_value_shift", 0, 7}, {"a_shift", 1, 1},
        {"b_shift", 1, 1}, {"output_shift", add || raw ? 0 : -3, add || raw ? 0 : 1}};
    for (const auto& [name, lo, hi] : ranges) {
      if (!layer->variables() || !layer->variables()->has(name)) continue;
      std::vector<int> values(layer->variables()->get(name)->size());
      for (size_t i = 0; i < values.size(); ++i) values[i] = lo + static_cast<int>((i * 7 + seed) % (hi - lo + 1));
      set_variable(*layer, name, values);
    }
  }
}

std::shared_ptr<Device> fpga_v2_device() { return make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2")); }

std::vector<uint8_t> program_bytes(const Sequence& sequence) {
  const ByteView p = sequence.program();
  return p.data ? std::vector<uint8_t>(p.data, p.data + p.size) : std::vector<uint8_t>{};
}

void check_hardware_sequence(const Sequence& sequence) {
  SCOPED_TRACE(sequence.name());
  ASSERT_EQ(sequence.backend(), BackendType::Hardware);
  const auto& passes = sequence.passes();
  const size_t n = passes.size();
  const std::vector<uint8_t> program = program_bytes(sequence);
  ProgramView view;
  ASSERT_NO_THROW(view = open_program(program));
  EXPECT_EQ(check_spans(view), "");
  EXPECT_EQ(check_skipdma_pairs(view), "");
  ASSERT_EQ(view.data->passes()->size(), n);
  EXPECT_EQ(view.data->dummy_desc_header()->word_1() != 0, n > 1) << "only several passes record the dummy header";

  // The recount of descriptors: the SCC program counts 1, every other record its tracks, and in
  // a several-pass sequence each layer's skip-DMA records add theirs.
  size_t max_count = 0;
  for (size_t p = 0; p < n; ++p) {
    std::vector<KeptRecord> records;
    for (const auto* record : *view.data->passes()->Get(p)->records()) records.push_back(read_record(record));
    ASSERT_EQ(records.size(), (p == 0) + passes[p]->layers.size() + (p + 1 < n)) << "records of pass " << p;
    size_t count = p == 0;
    for (size_t r = count; r < records.size(); ++r) count += records[r].tracks.size();
    for (const auto& layer : passes[p]->layers)
      if (const auto m = get_layer_mapping(*layer); m && n > 1)
        count += (m->skipdma_store_info ? 4 : 0) + (m->skipdma_load_info ? 4 : 0) + (m->skipdma_load_link ? 1 : 0);
    max_count = std::max(max_count, count);
    check_pass(passes, p, records);
  }
  const uint64_t dpp = view.info->descriptors_per_pass();
  EXPECT_EQ(dpp, max_count + 1);
  EXPECT_LE(n * dpp, 256u);

  // The loader's view. A Dense1D first reads its input flat; a Stem alone hands out its tokens
  // rotated: (tokens, dimension, 1).
  const ProgramInfo info(program.data(), program.size());
  const Layer& first = *passes.front()->layers.front();
  const Layer& last = *passes.back()->layers.back();
  const Shape i = first.input_dimensions().front(), o = last.output_dimensions();
  std::vector<uint32_t> in{i[0], i[1], i[2]}, out{o[0], o[1], o[2]};
  if (first.params()->layer_type() == LayerType::Dense1D) in = {1, 1, i[0] * i[1] * i[2]};
  if (last.params()->layer_type() == LayerType::Stem && &first == &last) out = {o[1], o[2], o[0]};
  EXPECT_EQ(info.input_dims(), in);
  EXPECT_EQ(info.output_dims(), out);
  EXPECT_EQ(info.passes().size(), n);
  // A last layer without activation hands out 32-bit values.
  const uint64_t output_bytes = uint64_t{out[0]} * out[1] * out[2] * (last.has_activation() ? 1 : 4);
  EXPECT_EQ(output_memory_required(info), (output_bytes + 3) / 4 * 4);
}

std::vector<std::string> mapped_layers(const Model& model) {
  std::vector<std::string> out;
  for (const auto& layer : model.layers())
    if (layer->mapping()) out.push_back(layer->get_name());
  return out;
}

}  // namespace nuvra::test
