// Every register field of the second generation that a layer parameter, or a count derived from
// one, feeds: models mapped at the largest value the checker accepts, their words decoded from the
// program. At the first value a field cannot hold the map is refused, naming the layer and the
// limit, instead of recording a wrapped value.
#include "backend/mapper_rig.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"
#include "support/program_check.h"
#include "support/program_tools.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/fnp_hrc/compatibility_checker.h"
#include "v2/np_register_limits.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

// Limits set for each layer by name before it is placed (width, height, filters; 0 keeps the
// default), and the pass-looping flag.
struct PerLayerConstraints final : MapConstraints {
  PerLayerConstraints(const std::shared_ptr<Device>& device, std::map<std::string, std::array<uint32_t, 3>> limits,
                      bool loop)
      : MapConstraints(device), limits(std::move(limits)) {
    if (loop) set_hwpr_loopitself(true);
  }
  void next_layer_handler(const std::string& name) const override {
    auto& self = const_cast<PerLayerConstraints&>(*this);
    const auto it = limits.find(name);
    const std::array<uint32_t, 3> l = it == limits.end() ? std::array<uint32_t, 3>{} : it->second;
    self.set_cnp_max_width(l[0] ? l[0] : cnp_max_width_default());
    self.set_cnp_max_height(l[1] ? l[1] : cnp_max_height_default());
    self.set_cnp_max_filters(l[2] ? l[2] : cnp_max_filters_default());
  }
  std::map<std::string, std::array<uint32_t, 3>> limits;
};

// A v2 mesh of `nodes` nodes of four NPs (column by column, three rows), each offering CNP1, CNP2,
// FNP3 and TNP-B (FNP2 for id 3), two skip-DMA engines of four channels, a ViT block when asked,
// and the given input and weight SRAM (bytes per pair of NPs; 0 keeps the default).
std::shared_ptr<Device> mesh_device(unsigned nodes, uint32_t input_sram = 0, bool vit = false,
                                    uint32_t weight_sram = 0) {
  std::vector<np::Info> nps;
  const std::set<hw::Type> full{hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B};
  const std::set<hw::Type> last{hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2};
  for (unsigned n = 0; n < nodes; ++n)
    for (uint8_t id = 0; id < 4; ++id)
      nps.push_back({{static_cast<uint8_t>(2 + n / 3), static_cast<uint8_t>(1 + n % 3), id, 0}, id == 3 ? last : full});
  if (vit) nps.push_back({{static_cast<uint8_t>(3 + nodes / 3), 1, 0, 0}, {hw::Type::VIT_BLOCK}});
  std::vector<np::Info> skips;
  for (uint8_t col = 1; col <= 2; ++col)
    skips.push_back({{col, 1, 3, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}});
  Mesh mesh(IpVersion::v2, {1, 1, 0, 0}, {1, 1, 1, 0}, nps, skips);
  if (input_sram) mesh.np_input_sram_size = input_sram;
  if (weight_sram) mesh.np_weight_sram_size = weight_sram;
  return make_virtual_device(versions::FPGA_v2, mesh);
}

struct Setup {
  std::shared_ptr<Device> device;
  std::map<std::string, std::array<uint32_t, 3>> limits;
  bool loop = false;
};

struct OwnedBlock {
  BlockHeader header;
  std::vector<uint32_t> data;
};

// Every block of the mapped model's programs, by the name of the layer whose record holds it
// ("<scc>" for the input and output set-up, "<idle>" for the programs of the NPs a pass leaves
// free).
std::map<std::string, std::vector<OwnedBlock>> blocks_by_layer(const Model& model) {
  std::map<std::string, std::vector<OwnedBlock>> out;
  for (const auto& sequence : model.sequences()) {
    const std::vector<uint8_t> program = program_bytes(*sequence);
    const ProgramView view = open_program(program);
    const auto& passes = sequence->passes();
    for (size_t p = 0; p < passes.size(); ++p) {
      const auto* records = view.data->passes()->Get(p)->records();
      for (size_t r = 0; r < records->size(); ++r) {
        const size_t k = r - (p == 0);
        const std::string name = p == 0 && r == 0                 ? "<scc>"
                                 : k < passes[p]->layers.size() ? passes[p]->layers[k]->get_name()
                                                                 : "<idle>";
        for (const auto& track : read_record(records->Get(r)).tracks)
          for (const Block& b : decode_blocks(std::span<const uint32_t>(track)))
            out[name].push_back({b.header, {b.data.begin(), b.data.end()}});
      }
    }
  }
  return out;
}

using Build = std::function<Setup(ModelBuilder&)>;

Params conv(int filters, int kernel = 1) { return {{"filters", filters}, {"kernel_size", kernel}}; }

Build conv_row(uint32_t width, uint32_t channels) {
  return [=](ModelBuilder& b) {
    b.input(width, 1, channels).add(LayerType::Conv2D, conv(1), "c");
    return Setup{fpga_v2_device(), {}, false};
  };
}

// A layer alone on `device`.
Build one(uint32_t w, uint32_t h, uint32_t c, LayerType type, Params p, std::shared_ptr<Device> device = nullptr) {
  return [=](ModelBuilder& b) {
    b.input(w, h, c).add(type, p, "c");
    return Setup{device ? device : fpga_v2_device(), {}, false};
  };
}

// InputConv2D (x*5 x 5 x 1, kernel and stride 5, valid) -> "d" Dense1D: an input x x 1 x 1.
Build dense_after_hrc(int x) {
  return [=](ModelBuilder& b) {
    b.add(LayerType::InputConv2D, {{"input_width", 5 * x}, {"input_height", 5}, {"input_channels", 1}, {"filters", 1},
                                   {"kernel_size", 5}, {"kernel_stride", 5}, {"padding", 0}}, "hrc")
        .add(LayerType::Dense1D, {{"units", 1}}, "d");
    return Setup{fpga_v2_device(), {}, false};
  };
}

Build stem_vit(int extra_tokens, int classes) {
  return [=](ModelBuilder& b) {
    b.add(LayerType::Stem, {{"input_width", 256}, {"input_height", 256}, {"input_channels", 3}, {"filters", 192},
                            {"kernel_size", 16}, {"output_bits", 8}, {"num_non_patch_tokens", extra_tokens}}, "stem")
        .add(LayerType::VitEncoderBlock, {{"tokens_to_extract", 1}, {"num_classes", classes}}, "vit");
    return Setup{mesh_device(4, 0, true), {}, false};
  };
}

// One 1x1 part per NP.
Build many_nps(uint32_t w, uint32_t h) {
  return [=](ModelBuilder& b) {
    b.input(w, h, 1).add(LayerType::Conv2D, conv(1), "c");
    return Setup{mesh_device(80), {{"c", {1, 1, 0}}}, false};
  };
}

// c1 -> c2 -> c3 -> Add(c1, c3) -> c4, all w x 1: c1 keeps its output in a skip-DMA store.
Build wide_skip(uint32_t w) {
  return [=](ModelBuilder& b) {
    b.input(w, 1, 4).add(LayerType::Conv2D, conv(4), "c1").add(LayerType::Conv2D, conv(4), "c2")
        .add(LayerType::Conv2D, conv(4), "c3").add(LayerType::Add, {}, "add", {"c1", "c3"})
        .add(LayerType::Conv2D, conv(4), "c4");
    return Setup{mesh_device(48), {}, false};
  };
}

// c -> "t" BufferTempConv -> tail, on the fpga_v2 mesh or on one with the given input SRAM.
Build tnp_b(uint32_t w, uint32_t h, uint32_t c, int filters, int fifo, uint32_t input_sram = 0) {
  return [=](ModelBuilder& b) {
    b.input(w, h, c).add(LayerType::Conv2D, conv(int(c)), "c")
        .add(LayerType::BufferTempConv, {{"filters", filters}, {"fifo_size", fifo}}, "t")
        .add(LayerType::Conv2D, conv(4), "tail");
    return Setup{input_sram ? mesh_device(16, input_sram) : fpga_v2_device(), {}, false};
  };
}

// A pass filled by a (200 NPs) and b; c opens the next pass on NPs of a.
Build next_pass(int c_nps) {
  return [=](ModelBuilder& b) {
    b.input(4, 4, 1).add(LayerType::Conv2D, conv(200), "a").add(LayerType::Conv2D, conv(4), "b")
        .add(LayerType::Conv2D, conv(c_nps), "c");
    return Setup{mesh_device(64), {{"a", {0, 0, 1}}, {"c", {0, 0, 1}}}, false};
  };
}

// c1 -> {s, d1 -> d2}; add = Add(s, d2) -> c4: s and d1, one filter per NP, are an alternate pair.
Build alternate_pair(int d1_nps) {
  return [=](ModelBuilder& b) {
    b.input(4, 4, 1).add(LayerType::Conv2D, conv(4), "c1")
        .add(LayerType::Conv2D, conv(128), "s", {"c1"})
        .add(LayerType::Conv2D, conv(d1_nps), "d1", {"c1"})
        .add(LayerType::Conv2D, conv(128), "d2", {"d1"})
        .add(LayerType::Add, {}, "add", {"s", "d2"})
        .add(LayerType::Conv2D, conv(4), "c4");
    return Setup{mesh_device(80), {{"s", {0, 0, 1}}, {"d1", {0, 0, 1}}}, false};
  };
}

// a (`filters` filters over 44 NPs) -> c, which opens the next pass on an NP of a; a 1 MiB input
// SRAM keeps c's 32 x 1 input on one NP.
Build cnp_next(int filters) {
  return [=](ModelBuilder& b) {
    b.input(32, 1, 4).add(LayerType::Conv2D, conv(filters), "a").add(LayerType::Conv2D, conv(1), "c");
    return Setup{mesh_device(11, 1 << 20), {{"a", {0, 0, 47}}}, true};
  };
}

// hrc -> a (2047 x 1 x 1 over every NP) -> d, a Dense1D that opens the next pass on an NP of a.
Setup fnp_next(ModelBuilder& b) {
  b.add(LayerType::InputConv2D, {{"input_width", 5 * 2047}, {"input_height", 5}, {"input_channels", 1}, {"filters", 1},
                                 {"kernel_size", 5}, {"kernel_stride", 5}, {"padding", 0}}, "hrc")
      .add(LayerType::Conv2D, conv(1), "a")
      .add(LayerType::Dense1D, {{"units", 1}}, "d");
  return Setup{fpga_v2_device(), {{"a", {47, 0, 0}}}, true};
}

// c1 -> {a (2047 channels), b1 -> b}; Concatenate(a, b) -> c5: b writes its one channel after a's.
Setup concatenated(ModelBuilder& b) {
  b.input(4, 4, 1).add(LayerType::Conv2D, conv(4), "c1")
      .add(LayerType::Conv2D, conv(2047), "a", {"c1"})
      .add(LayerType::Conv2D, conv(4), "b1", {"c1"})
      .add(LayerType::Conv2D, conv(1), "b", {"b1"})
      .add(LayerType::Concatenate, {}, "cat", {"a", "b"})
      .add(LayerType::Conv2D, conv(4), "c5");
  return Setup{mesh_device(11), {}, false};
}

// c1 -> {b1 -> b (2047 channels), a}; Concatenate(b, a) -> c5: c5 loads a's channel after b's 2047.
Setup concatenated_after(ModelBuilder& b) {
  b.input(4, 4, 1).add(LayerType::Conv2D, conv(4), "c1")
      .add(LayerType::Conv2D, conv(4), "b1", {"c1"})
      .add(LayerType::Conv2D, conv(2047), "b", {"b1"})
      .add(LayerType::Conv2D, conv(1), "a", {"c1"})
      .add(LayerType::Concatenate, {}, "cat", {"b", "a"})
      .add(LayerType::Conv2D, conv(4), "c5");
  return Setup{mesh_device(11), {}, false};
}

Setup hrc(ModelBuilder& b) {
  b.add(LayerType::InputConv2D, {{"input_width", 64}, {"input_height", 384}, {"input_channels", 3}, {"filters", 512},
                                 {"kernel_size", 7}, {"kernel_stride", 6}, {"pool_type", 1}, {"pool_size", 3},
                                 {"pool_stride", 2}}, "hrc")
      .add(LayerType::Conv2D, conv(4), "c");
  return Setup{fpga_v2_device(), {}, false};
}

// A field: the blocks of `layer` with the target and address (for target 11, the offset in a
// channel's lower block, or 0x100 + the offset in its upper block), the word of the block, its
// bits, and the largest value over the blocks.
struct Field {
  std::string layer;
  uint32_t target;
  uint16_t address;
  size_t word;
  unsigned lo, hi;
  uint64_t value;
};

struct Mapped {
  const char* model;
  Build build;
  size_t sequences;
  std::vector<Field> fields;
};

struct Refused {
  const char* model;
  Build build;
  std::string message;
};

std::unique_ptr<Model> mapped(const Build& build, std::string* error) {
  ModelBuilder b;
  const Setup setup = build(b);
  fill_model(b.model());
  // The ViT block's variables small enough for every field of its parameter memories.
  for (const auto& layer : b.model().layers())
    if (layer->params()->layer_type() == LayerType::VitEncoderBlock)
      for (const std::string& name : layer->variables()->names()) set_variable(*layer, name, {1, 2, 3});
  const auto constraints = std::make_shared<PerLayerConstraints>(setup.device, setup.limits, setup.loop);
  *error = message_of([&] { b.model().map(setup.device, true, constraints); });
  return b.take();
}

uint64_t largest(const std::map<std::string, std::vector<OwnedBlock>>& blocks, const Field& f) {
  const auto it = blocks.find(f.layer);
  if (it == blocks.end()) throw std::runtime_error("no record of " + f.layer);
  std::optional<uint64_t> out;
  for (const OwnedBlock& block : it->second) {
    const uint16_t a = block.header.address;
    const bool at = f.target == 11 ? (a >= 16 * 256) == (f.address >= 256) && a % 256 == f.address % 256
                                   : a == f.address;
    if (block.header.target != f.target || !at || block.data.size() <= f.word) continue;
    out = std::max<uint64_t>(out.value_or(0), field(block.data[f.word], f.lo, f.hi));
  }
  if (!out) throw std::runtime_error("no block of " + f.layer + " at that target and address");
  return *out;
}

constexpr uint32_t kMiB = 1 << 20;

TEST(RegisterEdges, FieldsAtTheLargestValueTheCheckerAcceptsRecordIt) {
  const Mapped cases[] = {
      // Conv2D row words (word 28 bits 0-13) and window words (word 4); the SCC's input channels.
      {"Conv2D 32 x 1 x 2047", conv_row(32, 2047), 1,
       {{"c", 7, 0, 28, 0, 13, 16376}, {"c", 7, 0, 28, 16, 31, 32}, {"c", 7, 0, 4, 0, 15, 16376},
        {"<scc>", 8, 64, 0, 0, 31, 2047}}},
      {"Conv2D 32 x 4 x 1820, 1 MiB input SRAM", one(32, 4, 1820, LayerType::Conv2D, conv(1), mesh_device(1, kMiB)), 1,
       {{"c", 7, 0, 4, 0, 15, 58240}, {"c", 7, 0, 28, 0, 13, 14560}}},
      // Window geometry of the tallest and widest splits: 256-row and 64-column parts.
      {"Conv2D 4 x 4096, kernel 3", one(4, 4096, 1, LayerType::Conv2D, conv(1, 3)), 1,
       {{"c", 7, 0, 8, 0, 10, 256}, {"c", 7, 0, 9, 0, 11, 3839}, {"c", 7, 0, 10, 0, 10, 258},
        {"c", 7, 0, 24, 0, 11, 3840}, {"c", 7, 0, 25, 0, 9, 256}}},
      {"Conv2D 4096 x 1, kernel 7", one(4096, 1, 1, LayerType::Conv2D, conv(1, 7), mesh_device(16)), 1,
       {{"c", 7, 0, 8, 16, 26, 64}, {"c", 7, 0, 9, 16, 27, 4029}, {"c", 7, 0, 10, 16, 26, 70},
        {"c", 7, 0, 11, 0, 7, 64}, {"c", 7, 0, 24, 16, 27, 4032}, {"c", 7, 0, 25, 16, 23, 64},
        {"c", 7, 0, 3, 16, 23, 64}}},
      // An NP's filter share and weight container.
      {"Conv2D 512 filters, kernel 7", one(4, 4, 1, LayerType::Conv2D, conv(512, 7)), 1,
       {{"c", 7, 0, 21, 0, 10, 512}, {"c", 7, 0, 26, 16, 25, 512}, {"c", 7, 0, 29, 16, 23, 64},
        {"c", 7, 0, 11, 12, 29, conv2d_ch_cont_100b_size(7, 512)}}},
      {"Concatenate writing after 2047 channels", concatenated, 1, {{"b", 7, 0, 26, 0, 10, 2047}}},
      {"Concatenate loading after 2047 channels", concatenated_after, 1, {{"c5", 11, 0x12B, 0, 0, 31, 2047}}},
      // Depthwise planes (word 28 bits 18-31) and channel windows (word 22).
      {"DepthwiseConv2D 128 x 512, kernel 7", one(128, 512, 1, LayerType::DepthwiseConv2D, {{"kernel_size", 7}}), 1,
       {{"c", 7, 0, 28, 18, 31, 4403}, {"c", 7, 0, 28, 0, 13, 17}, {"c", 7, 0, 10, 0, 10, 259}}},
      {"DepthwiseConv2D 2048 channels", one(4, 4, 2048, LayerType::DepthwiseConv2D, {{"kernel_size", 3}}), 1,
       {{"c", 7, 0, 22, 0, 11, 1536}, {"c", 7, 0, 22, 16, 25, 512}, {"c", 7, 0, 26, 16, 25, 512}}},
      {"Conv2DTranspose 64 x 128", one(64, 128, 1, LayerType::Conv2DTranspose, conv(1, 4)), 1,
       {{"c", 7, 0, 11, 0, 7, 64}, {"c", 7, 0, 24, 16, 27, 64}, {"c", 7, 0, 25, 0, 9, 256},
        {"c", 7, 0, 25, 16, 23, 64}}},
      // Own NPs (word 3 bits 16-23), the next pass's NPs (word 41), an alternate pair's (word 52).
      {"Conv2D over 255 NPs", many_nps(15, 17), 1, {{"c", 7, 0, 3, 16, 23, 255}}},
      {"a layer of 127 NPs opening a later pass", next_pass(127), 1, {{"a", 7, 0, 41, 24, 30, 127}}},
      // One more, and the model is cut into sequences instead: c opens one of its own, and no NP
      // is reconfigured.
      {"a layer of 128 NPs that would open a later pass", next_pass(128), 2, {{"c", 7, 0, 3, 16, 23, 128}}},
      {"alternate layers of 255 NPs", alternate_pair(127), 1,
       {{"s", 7, 0, 52, 24, 31, 255}, {"d1", 7, 0, 52, 24, 31, 255}}},
      // The next layer's row words (word 35) and window (word 34) in partial reconfiguration.
      {"Conv2D 32 x 1 x 2047 opening a later pass", cnp_next(2047), 1,
       {{"a", 7, 0, 35, 0, 13, 16376}, {"a", 7, 0, 35, 16, 31, 32}, {"a", 7, 0, 34, 16, 26, 32},
        {"a", 7, 0, 34, 0, 10, 1}, {"a", 7, 0, 41, 24, 30, 1}, {"c", 7, 0, 28, 0, 13, 16376}}},
      {"Dense1D 2047 x 1 x 1 opening a later pass", fnp_next, 1,
       {{"a", 7, 0, 34, 16, 26, 2047}, {"a", 7, 0, 34, 0, 10, 1}, {"a", 7, 0, 32, 1, 1, 1}}},
      // A skip-DMA store of 511 words per row (register 0x3C).
      {"skip layer 2044 x 1", wide_skip(2044), 1, {{"c1", 11, 0x3C, 1, 0, 31, 511}, {"c1", 11, 0x3C, 2, 0, 31, 511}}},
      // TNP-B rows, frames and FIFO.
      {"BufferTempConv 64 x 128 x 4", tnp_b(64, 128, 4, 4, 1), 1,
       {{"t", 7, 0, 56, 16, 24, 128}, {"t", 7, 0, 28, 0, 13, 64}, {"t", 7, 0, 28, 16, 31, 4}}},
      {"BufferTempConv 64 x 1 x 256", tnp_b(64, 1, 256, 4, 1), 1,
       {{"t", 7, 0, 28, 0, 13, 4096}, {"t", 7, 0, 28, 16, 31, 256}, {"t", 7, 0, 21, 0, 10, 256}}},
      // A FIFO of 15 counts its 16 slots as 0 in word 30 bits 16-19: the field keeps 4 bits on purpose.
      {"BufferTempConv of 256 filters, FIFO 15", tnp_b(4, 4, 4, 256, 15), 1,
       {{"t", 7, 0, 29, 16, 23, 32}, {"t", 7, 0, 11, 12, 29, buffer_temp_conv_ch_cont_100b_size(256)},
        {"t", 7, 0, 4, 0, 15, 15}, {"t", 7, 0, 30, 8, 11, 15}, {"t", 7, 0, 30, 16, 19, 0}}},
      {"BufferTempConv 63 x 173 x 12, 1 MiB input SRAM", tnp_b(63, 173, 12, 4, 1, kMiB), 1,
       {{"t", 7, 0, 56, 16, 24, 511}}},
      // Dense1D: a spatial input 2047 wide (word 10), its rows (words 11, 14, 15, 28).
      {"Dense1D 2047 x 1 x 1", dense_after_hrc(2047), 1,
       {{"d", 7, 0, 10, 16, 26, 2047}, {"d", 7, 0, 10, 0, 10, 1}, {"d", 7, 0, 11, 12, 29, 2048},
        {"d", 7, 0, 14, 0, 14, 512}, {"d", 7, 0, 15, 16, 30, 514}, {"d", 7, 0, 28, 0, 13, 512},
        {"d", 7, 0, 28, 16, 31, 2048}}},
      // 2048 wide it is refused after the HRC, and opens its own sequence reading its input flat.
      {"Dense1D 2048 x 1 x 1", dense_after_hrc(2048), 2,
       {{"d", 7, 0, 10, 16, 26, 1}, {"d", 7, 0, 14, 0, 14, 512}, {"d", 7, 0, 15, 16, 30, 514}}},
      // One row, window or frame more than a field holds on one NP: split over two.
      {"Conv2D 32 x 1 x 2048", conv_row(32, 2048), 1,
       {{"c", 7, 0, 28, 0, 13, 8192}, {"c", 7, 0, 4, 0, 15, 8192}, {"c", 7, 0, 3, 16, 23, 2}}},
      {"Conv2D 64 x 1 x 1024", conv_row(64, 1024), 1,
       {{"c", 7, 0, 28, 0, 13, 8192}, {"c", 7, 0, 8, 16, 26, 32}, {"c", 7, 0, 3, 16, 23, 2}}},
      {"Conv2D 128 x 1 x 1024", conv_row(128, 1024), 1,
       {{"c", 7, 0, 28, 0, 13, 11264}, {"c", 7, 0, 8, 16, 26, 43}, {"c", 7, 0, 3, 16, 23, 3}}},
      {"Conv2D 32 x 1 x 2048 opening a later pass", cnp_next(2048), 1,
       {{"c", 7, 0, 28, 0, 13, 8192}, {"c", 7, 0, 3, 16, 23, 2}}},
      {"Conv2D 32 x 5 x 1820, 1 MiB input SRAM", one(32, 5, 1820, LayerType::Conv2D, conv(1), mesh_device(1, kMiB)), 1,
       {{"c", 7, 0, 4, 0, 15, 36400}, {"c", 7, 0, 28, 0, 13, 7280}, {"c", 7, 0, 3, 16, 23, 2}}},
      {"BufferTempConv 64 x 171 x 12, 1 MiB input SRAM", tnp_b(64, 171, 12, 4, 1, kMiB), 1,
       {{"t", 7, 0, 56, 16, 24, 257}, {"t", 7, 0, 3, 16, 23, 2}}},
      {"Dense1D of 65535 units", one(1, 1, 4, LayerType::Dense1D, {{"units", 65535}}), 1,
       {{"c", 7, 0, 15, 0, 15, 65535}}},
      // The ViT block's tokens (words 1 and 10) and classes (word 4).
      {"ViT block of 383 tokens, 1023 classes", stem_vit(127, 1023), 1,
       {{"vit", 7, 1, 0, 16, 21, 63}, {"vit", 7, 1, 0, 4, 12, 383}, {"vit", 7, 1, 9, 0, 9, 383},
        {"vit", 7, 1, 9, 16, 25, 192}, {"vit", 7, 1, 3, 1, 10, 1023}, {"vit", 7, 1, 3, 16, 23, 255},
        {"stem", 8, 112, 0, 0, 31, 0x31}, {"stem", 8, 112, 1, 0, 31, 256}}},
      // The HRC's kernel, strides, pooling and filters.
      {"InputConv2D kernel 7, stride 6, pooling (3, 2), 512 filters", hrc, 1,
       {{"hrc", 8, 8, 0, 4, 6, 3}, {"hrc", 8, 8, 0, 24, 27, 3}, {"hrc", 8, 8, 1, 0, 4, 6},
        {"hrc", 8, 8, 1, 16, 19, 2}, {"hrc", 8, 8, 4, 16, 24, 511}}},
  };
  for (const Mapped& m : cases) {
    SCOPED_TRACE(m.model);
    std::string error;
    const auto model = mapped(m.build, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(model->sequences().size(), m.sequences);
    for (const auto& s : model->sequences()) check_hardware_sequence(*s);
    const auto blocks = blocks_by_layer(*model);
    for (const Field& f : m.fields)
      EXPECT_EQ(largest(blocks, f), f.value) << f.layer << " word " << f.word << " bits " << f.lo << "-" << f.hi;
  }
}

TEST(RegisterEdges, OneMoreIsRefusedNamingTheLayerAndTheLimit) {
  const Refused cases[] = {
      {"Conv2DTranspose 2 x 64 x 1025, 1 MiB input SRAM",
       one(2, 64, 1025, LayerType::Conv2DTranspose, conv(1, 3), mesh_device(1, kMiB, false, kMiB)),
       on("c", "The maximum input window of an NP, in 32-bit words, is 65535 (got 65600)")},
      {"Conv2D over 256 NPs", many_nps(16, 16), on("c", "The maximum number of NPs of a layer is 255 (got 256)")},
      // No sequence ending before d1 is acceptable: its branches meet after it.
      {"alternate layers of 256 NPs", alternate_pair(128),
       on("d1", "It runs beside layer 's' on 256 NPs in all; two layers that run side by side can take at most 255 "
                "NPs.")},
      {"skip layer 2048 x 1", wide_skip(2048),
       on("c1", "The maximum row kept by a skip DMA, in 32-bit words, is 511 (got 512)")},
      {"Dense1D of 65536 units", one(1, 1, 4, LayerType::Dense1D, {{"units", 65536}}),
       on("c", "The maximum number of units is 65535 (got 65536)")},
      {"ViT block of 384 tokens", stem_vit(128, 0), on("vit", "The maximum number of tokens is 383 (got 384)")},
      {"ViT block of 1024 classes", stem_vit(2, 1024), on("vit", "num_classes must be between 0 and 1023 (got 1024)")},
      {"ViT block of -1 classes", stem_vit(2, -1), on("vit", "num_classes must be between 0 and 1023 (got -1)")},
  };
  for (const Refused& r : cases) {
    SCOPED_TRACE(r.model);
    std::string error;
    const auto model = mapped(r.build, &error);
    EXPECT_EQ(error, r.message);
    EXPECT_TRUE(model->sequences().empty());
  }
}

// The split search takes only windows the fields hold: up to each limit, not one word or block
// past it. A depthwise convolution's row field counts one channel, which a part of at most 64
// columns never fills. Parts placed past a limit all the same are refused naming the field.
TEST(RegisterEdges, WindowsTheSplitSearchMayTake) {
  HardwareConstraints hardware;
  const CompatibilityCheckerImpl checker(hardware);
  struct Window {
    hw::Type type;
    uint32_t height, width, channels;
    bool depthwise, recordable;
  };
  const Window cases[] = {
      {hw::Type::CNP1, 1, 4, 16383, false, true},   {hw::Type::CNP2, 1, 4, 16384, false, false},
      {hw::Type::CNP1, 1, 4, 16384, true, true},    {hw::Type::CNP1, 4, 4, 16383, true, true},
      {hw::Type::CNP1, 65535, 4, 1, false, true},   {hw::Type::CNP1, 65536, 4, 1, true, false},
      {hw::Type::TNP_B, 32704, 1, 4, false, true},  {hw::Type::TNP_B, 32705, 1, 4, true, false},
      {hw::Type::TNP_B, 1, 4, 16384, false, true},  {hw::Type::FNP3, 65536, 64, 4096, false, true}};
  for (const Window& w : cases)
    EXPECT_EQ(checker.is_input_window_recordable(w.type, w.height, w.width, w.channels, 8, w.depthwise), w.recordable)
        << int(w.type) << " " << w.height << " x " << w.width << " x " << w.channels;

  ModelBuilder b;
  b.input(32, 1, 2048).add(LayerType::Conv2D, conv(1), "c");
  const NpSpace whole{0, 0, Shape{32, 1, 2048}};
  const hw::Component np{hw::Type::CNP1, {2, 1, 0, 0}, hw::SplitRecord{0, 1, whole, whole, false}, {}};
  EXPECT_EQ(check_np_register_limits(*b.layer("c"), {np}).message,
            on("c", "The maximum input row of an NP, in 32-bit words, is 16383 (got 16384)"));
}

}  // namespace
}  // namespace nuvra::v2
