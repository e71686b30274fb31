// Layers split under pooling, in both generations: for every configuration a device maps, the
// parts' pooled outputs, read back from the register words of the program, tile the layer's
// output exactly and each part's window holds the input its outputs need; what cannot be cut so
// is refused at map time.
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "devices/virtual_device.h"
#include "support/model_builders.h"
#include "support/program_check.h"
#include "support/program_tools.h"
#include "v2/rule_testing.h"

#include <nuvra/layers.h>
#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace nuvra::test {
namespace {

using Runs = std::set<std::pair<uint32_t, uint32_t>>;  // (first pooled output, count) of each part

// `count` NPs that take any CNP layer, four a node, two nodes a column from column 2.
std::shared_ptr<Device> device_of(bool v2, unsigned count) {
  std::vector<np::Info> nps;
  for (unsigned n = 0; n < count; ++n)
    nps.push_back({{static_cast<uint8_t>(2 + n / 8), static_cast<uint8_t>(1 + n / 4 % 2), static_cast<uint8_t>(n % 4), 0},
                   {hw::Type::CNP1, hw::Type::CNP2}});
  const Mesh mesh(v2 ? IpVersion::v2 : IpVersion::v1, {1, 1, 0, 0}, {1, 1, 1, 0}, nps, {});
  return make_virtual_device(v2 ? versions::FPGA_v2 : versions::VLQ7300_v1, mesh);
}

// 128 NPs, so that no split of these tests is refused for want of NPs.
std::shared_ptr<Device> roomy_device(bool v2) { return device_of(v2, 128); }

enum Pool { kNone = 0, kMax = 1, kAverage = 2 };

// A Conv2D or DepthwiseConv2D (v2), a Convolutional or SeparableConvolutional (v1) "l" of `w` x `h`
// x 4 inputs, Same padding, pooling of `size` every `stride`, followed by a 1x1 convolution (a
// pooled CNP layer cannot end a sequence), mapped under the limits `max_h` and `max_w`.
struct Case {
  bool v2, depthwise;
  uint32_t w, h;
  int kernel, stride;
  Pool pool;
  int size, pool_stride;
  uint32_t max_h, max_w;
};

std::string name_of(const Case& c) {
  std::ostringstream s;
  s << (c.v2 ? (c.depthwise ? "DepthwiseConv2D " : "Conv2D ") : (c.depthwise ? "SeparableConvolutional " : "Convolutional "))
    << c.w << "x" << c.h << " kernel " << c.kernel << " stride " << c.stride << " pool " << c.pool << " " << c.size << "/"
    << c.pool_stride << " limits " << c.max_h << ", " << c.max_w;
  return s.str();
}

struct Mapped {
  std::unique_ptr<Model> model;
  std::string error;
  std::map<hw::Ident, std::vector<uint32_t>> registers;  // of the layer's NPs
};

Mapped map_case(const Case& c, const std::shared_ptr<Device>& device) {
  ModelBuilder b;
  if (c.v2) {
    Params p{{"kernel_size", c.kernel}, {"kernel_stride", c.stride}, {"padding", 1},  {"pool_type", c.pool},
             {"pool_size", c.size},     {"pool_stride", c.pool_stride},             {"activation", 1}};
    if (!c.depthwise) p["filters"] = 4;
    b.input(c.w, c.h, 4, 8).add(c.depthwise ? LayerType::DepthwiseConv2D : LayerType::Conv2D, p, "l");
    b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}, {"padding", 1}, {"activation", 1}}, "f");
  } else {
    const Params v1{{"filters", 4}, {"weights_bits", 2}, {"padding", 1}, {"activation", 1}, {"act_bits", 1}};
    b.input(c.w, c.h, 4, 1)
        .add(c.depthwise ? LayerType::SeparableConvolutional : LayerType::Convolutional,
             with(v1, {{"kernel_width", c.kernel}, {"kernel_height", c.kernel}, {"stride_x", c.stride},
                       {"stride_y", c.stride}, {"pool_type", c.pool}, {"pooling_width", c.size},
                       {"pooling_height", c.size}, {"pooling_stride_x", c.pool_stride}, {"pooling_stride_y", c.pool_stride}}),
             "l")
        .add(LayerType::Convolutional, with(v1, {{"kernel_width", 1}, {"kernel_height", 1}}), "f");
    for (const char* name : {"l", "f"}) set_variable(*b.layer(name), "weights", {1, -1, 0, 1}, 1);
    if (c.depthwise) set_variable(*b.layer("l"), "weights_pw", {1, 0, -1}, 1);
  }
  Mapped m;
  auto constraints = std::make_shared<MapConstraints>(device);
  constraints->set_cnp_max_height(c.max_h);
  constraints->set_cnp_max_width(c.max_w);
  m.error = message_of([&] { b.model().map(device, true, constraints); });
  m.model = b.take();
  if (!m.error.empty()) return m;
  const ByteView bytes = m.model->sequences().front()->program();
  const std::vector<uint8_t> program(bytes.data, bytes.data + bytes.size);
  const ProgramView view = open_program(program);
  std::set<hw::Ident> own;
  for (const hw::Component& np : *get_layer_mapping(*m.model->get_layer("l"))->nps) own.insert(np.ident);
  for (const fb::Record* record : *view.data->passes()->Get(0)->records())
    for (const auto& track : read_record(record).tracks)
      for (const Block& block : decode_blocks(track))
        if (block.header.target == 7 && own.count(block.header.ident))
          m.registers[block.header.ident].assign(block.data.begin(), block.data.end());
  return m;
}

// Per axis: the input extent, the convolution's output extent, stride and padding before, and the
// pooling's stride and padding before; pooled output j covers the convolution outputs
// [j * pool_stride - pool_pad, + size - 1].
struct Axis {
  uint32_t input, outputs;
  int stride, pad, pool_stride, pool_pad;
};

// The first fault of the parts' geometry ("" when there is none): a pooled output that a part
// records outside the layer's output, or whose input lies outside the part's window; an output
// that no part, or two parts, of one filter group produce. Global average pooling must keep
// its whole input on every NP.
std::string geometry_fault(const Case& c, const Mapped& m) {
  const Layer& layer = *m.model->get_layer("l");
  const Shape in = layer.input_dimensions()[0], out = layer.output_dimensions();
  const ConvParams& conv = *dynamic_cast<const HasConvParams&>(layer).conv_params();
  const PoolingCalculatedParams& pool = *dynamic_cast<const HasPoolParams&>(layer).pool_params();
  const bool max = c.pool == kMax;
  const int size = max ? c.size : 1;
  const Axis rows{in[1], conv.out_height, c.stride, int(conv.padding.top), max ? pool.stride_y : 1, max ? int(pool.padding.top) : 0};
  const Axis cols{in[0], conv.out_width, c.stride, int(conv.padding.left), max ? pool.stride_x : 1, max ? int(pool.padding.left) : 0};
  // Whether window [lo, lo + extent) holds every input that pooled outputs [first, first + count) read.
  auto holds = [&](const Axis& a, uint32_t first, uint32_t count, uint32_t lo, uint32_t extent) {
    for (uint32_t j = first; j < first + count; ++j)
      for (int o = int(j) * a.pool_stride - a.pool_pad; o < int(j) * a.pool_stride - a.pool_pad + size; ++o) {
        if (o < 0 || o >= int(a.outputs)) continue;  // pool padding
        const int top = std::max(0, o * a.stride - a.pad), bottom = std::min(int(a.input), o * a.stride - a.pad + c.kernel) - 1;
        if (top < int(lo) || bottom >= int(lo + extent)) return false;
      }
    return true;
  };
  std::map<uint32_t, std::vector<int>> produced;  // per first filter of a part: each output's producers
  for (const hw::Component& np : *get_layer_mapping(layer)->nps) {
    const std::vector<uint32_t>& r = m.registers.at(np.ident);
    const uint32_t row0 = field(r[24], 0, 11), col0 = field(r[24], 16, 27), nrows = field(r[25], 0, 9), ncols = field(r[25], 16, 23);
    const uint32_t wy = field(r[9], 0, 11), wx = field(r[9], 16, 27), wh = field(r[10], 0, 10), ww = field(r[10], 16, 26);
    if (c.pool == kAverage) {
      if (wy != 0 || wx != 0 || wh != in[1] || ww != in[0]) return "an NP averages part of the input";
      continue;
    }
    if (row0 + nrows > out[1] || col0 + ncols > out[0]) return "outputs outside the layer's output";
    if (!holds(rows, row0, nrows, wy, wh) || !holds(cols, col0, ncols, wx, ww)) return "a window lacks input";
    std::vector<int>& count = produced[np.split->start_neuron];
    count.resize(size_t{out[0]} * out[1]);
    for (uint32_t y = row0; y < row0 + nrows; ++y)
      for (uint32_t x = col0; x < col0 + ncols; ++x) ++count[size_t{y} * out[0] + x];
  }
  for (const auto& [first_filter, count] : produced)
    if (std::any_of(count.begin(), count.end(), [](int n) { return n != 1; })) return "outputs lost or produced twice";
  return "";
}

// The (first pooled row, rows) and (first pooled column, columns) of the layer's parts.
std::pair<Runs, Runs> runs_of(const Mapped& m) {
  Runs rows, cols;
  for (const auto& [ident, r] : m.registers) {
    rows.insert({field(r[24], 0, 11), field(r[25], 0, 9)});
    cols.insert({field(r[24], 16, 27), field(r[25], 16, 23)});
  }
  return {rows, cols};
}

TEST(SplitTiling, PooledOutputsTileTheLayerOutputInBothGenerations) {
  const std::shared_ptr<Device> devices[] = {roomy_device(false), roomy_device(true)};
  // Pool size and stride pairs: none, equal, gaps between windows, overlapping windows; the last
  // pair is global average pooling.
  const std::vector<std::pair<int, int>> v2_pools = {{1, 1}, {2, 2}, {1, 2}, {1, 4}, {2, 3}, {2, 4}, {2, 7}, {2, 1}, {-1, 1}};
  const std::vector<std::pair<int, int>> v1_pools = {{1, 1}, {2, 2}, {3, 3}, {3, 2}, {-1, 1}};
  // Limits of 1 to 3 cut parts that hold no kernel centre under a stride of 2, or no whole pooling
  // window.
  const std::pair<uint32_t, uint32_t> limits[] = {{256, 64}, {6, 64}, {256, 5}, {4, 7}, {8, 8}, {1, 64},
                                                  {256, 1}, {2, 2}, {3, 3}, {1, 3}, {3, 2}};
  std::map<std::string, int> split_mapped;  // per family
  int mapped = 0;
  for (const bool v2 : {false, true})
    for (const bool depthwise : {false, true})
      for (const auto& [w, h] : {std::pair{16u, 16u}, std::pair{13u, 9u}, std::pair{10u, 7u}})
        for (const auto& [kernel, stride] : v2 ? std::vector<std::pair<int, int>>{{3, 1}, {5, 1}, {3, 2}, {5, 2}}
                                               : std::vector<std::pair<int, int>>{{3, 1}, {3, 2}, {5, 1}})
          for (const auto& [size, pool_stride] : v2 ? v2_pools : v1_pools)
            for (const auto& [max_h, max_w] : limits) {
              const Pool pool = size == -1 ? kAverage : size == 1 && pool_stride == 1 ? kNone : kMax;
              if (v2 && stride > 1 && pool != kNone) continue;  // refused by the layer rules
              const Case c{v2, depthwise, w, h, kernel, stride, pool, size, pool_stride, max_h, std::min(max_w, v2 ? 64u : 32u)};
              const Mapped m = map_case(c, devices[v2]);
              if (!m.error.empty()) continue;
              ++mapped;
              EXPECT_EQ(geometry_fault(c, m), "") << name_of(c);
              if (m.registers.size() > 1)
                ++split_mapped[std::string(v2 ? "v2" : "v1") + (pool == kMax ? (size < pool_stride ? " gaps" : " pooled") : " plain") +
                               (stride > 1 ? " strided" : "") + (std::min(max_h, max_w) <= 3 ? " narrow" : "")];
            }
  // Every family maps split configurations: the test cannot pass by refusing them all.
  for (const char* family : {"v1 plain", "v1 plain strided", "v1 pooled", "v1 pooled strided", "v2 plain", "v2 pooled", "v2 gaps",
                             "v2 plain strided", "v1 plain strided narrow", "v1 pooled strided narrow", "v1 pooled narrow",
                             "v2 plain strided narrow", "v2 pooled narrow", "v2 gaps narrow"})
    EXPECT_GE(split_mapped[family], 3) << family;
  EXPECT_GT(mapped, 1000);
}

// The reviewed cases: the parts' pooled rows and columns, or the refusal.
TEST(SplitTiling, ReviewedCases) {
  const std::shared_ptr<Device> devices[] = {roomy_device(false), roomy_device(true)};
  const std::string overlap = "Error when mapping layer 'l': Cannot have pooling size > pooling stride if the layer is "
                              "mapped spatially on multiple NPs";
  const std::tuple<Case, Runs, Runs, std::string> cases[] = {
      // Pooling every 6 of 16 outputs gives 3, every 4 of 7 gives 2, on one NP.
      {{true, false, 16, 16, 3, 1, kMax, 2, 6, 256, 64}, {{0, 3}}, {{0, 3}}, ""},
      {{true, false, 7, 7, 1, 1, kMax, 1, 4, 256, 64}, {{0, 2}}, {{0, 2}}, ""},
      // Split by rows: rows 0-3 and 4-7 of 8, each part reading its own input.
      {{true, false, 16, 16, 3, 1, kMax, 1, 2, 8, 64}, {{0, 4}, {4, 4}}, {{0, 8}}, ""},
      // Parts of 6 rows (whole strides of 3): 2 of the 6 pooled rows each.
      {{true, true, 16, 16, 3, 1, kMax, 2, 3, 8, 64}, {{0, 2}, {2, 2}, {4, 2}}, {{0, 6}}, ""},
      // Windows of 2 every row cannot be cut: refused with or without a limit of the user's.
      {{true, false, 16, 16, 3, 1, kMax, 2, 1, 8, 64}, {}, {}, overlap},
      // A separable convolution of stride 2: parts of 4 rows give one pooled row each.
      {{false, true, 9, 9, 3, 2, kMax, 2, 2, 7, 32}, {{0, 1}, {1, 1}, {2, 1}}, {{0, 3}}, ""},
      // Parts one column or row wide under a stride of 2: a part that holds no kernel centre has no
      // output; its neighbour computes it from a window that holds all its input.
      {{true, false, 4, 4, 3, 2, kNone, 1, 1, 256, 1}, {{0, 2}}, {{0, 0}, {0, 1}, {1, 0}, {1, 1}}, ""},
      {{false, false, 8, 8, 3, 2, kNone, 1, 1, 1, 32}, {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {3, 0}, {3, 1}}, {{0, 4}}, ""},
      // Windows of 2 every 5 columns: cut at column 4, between them, though 5 columns would not fit.
      {{true, false, 7, 7, 1, 1, kMax, 2, 5, 256, 4}, {{0, 2}}, {{0, 1}, {1, 1}}, ""},
      // 3 x 3 windows after a pooling padding row: rows [0, 5) and [5, 7), under a limit of 5.
      {{false, false, 7, 7, 7, 1, kMax, 3, 3, 5, 32}, {{0, 2}, {2, 1}}, {{0, 3}}, ""},
      // Rules that forbid any spatial split come before a limit no part could meet.
      {{false, false, 16, 16, 3, 2, kMax, 2, 2, 256, 3}, {}, {},
       "Error when mapping layer 'l': Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs"},
      {{true, false, 16, 16, 3, 1, kMax, 2, 1, 1, 64}, {}, {}, overlap},
      // Global average pooling is never split spatially.
      {{true, false, 8, 8, 3, 1, kAverage, -1, 1, 256, 4}, {}, {}, "Error when mapping layer 'l': When using Global Average Pooling, spatial split is impossible"},
      {{false, false, 8, 8, 3, 1, kAverage, -1, 1, 256, 4}, {}, {}, "Error when mapping layer 'l': With average pooling, spatial split is impossible"},
  };
  for (const auto& [c, rows, cols, error] : cases) {
    SCOPED_TRACE(name_of(c));
    const Mapped m = map_case(c, devices[c.v2]);
    EXPECT_EQ(m.error, error);
    if (m.error.empty()) {
      EXPECT_EQ(runs_of(m), std::make_pair(rows, cols));
    }
  }
  // 128 x 64 x 8 is split by width over 2 NPs without any limit of the user's.
  ModelBuilder b;
  b.input(128, 64, 8, 8).add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}, {"padding", 1}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}, "l");
  b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}, {"padding", 1}}, "f");
  EXPECT_EQ(message_of([&] { b.model().map(devices[1], true, nullptr); }), overlap);
}

// Parts of one size that need more NPs than the mesh has give way to a cut that keeps every
// pooling window whole and that the mesh holds, which tiles the output; a mesh too small for both is
// told how many the parts of one size need. A layer that may never be split spatially is refused by
// its rule whatever the mesh.
TEST(SplitTiling, MeshTooSmallForPartsOfOneSize) {
  // Windows of 2 every 4 columns, limits 3 x 3: parts of 2 columns and rows (27 x 5) or, cut
  // between the windows, at most 3 (15 x 4).
  const Case gaps{true, false, 54, 9, 5, 1, kMax, 2, 4, 3, 3};
  const Case strided{false, false, 48, 48, 3, 2, kMax, 2, 2, 4, 4};
  const Case average{true, false, 13, 10, 3, 1, kAverage, -1, 1, 1, 1};
  const std::string stride_rule = "Error when mapping layer 'l': Cannot have convolution stride > 1 and max pooling if the layer "
                                  "is mapped on multiple NPs";
  const std::string average_rule = "Error when mapping layer 'l': When using Global Average Pooling, spatial split is impossible";
  const std::tuple<Case, unsigned, size_t, std::string> cases[] = {  // layer, mesh NPs -> NPs of the layer, or refusal
      {gaps, 128, 60, ""}, {gaps, 59, 0, "l : not enough NPs available. 135 are needed but only 59 are available."},
      {strided, 128, 0, stride_rule}, {strided, 144, 0, stride_rule}, {average, 128, 0, average_rule}};
  for (const auto& [c, nps, parts, error] : cases) {
    SCOPED_TRACE(name_of(c) + " on " + std::to_string(nps) + " NPs");
    const Mapped m = map_case(c, device_of(c.v2, nps));
    EXPECT_EQ(m.error, error);
    if (!m.error.empty()) continue;
    EXPECT_EQ(m.registers.size(), parts);
    EXPECT_EQ(geometry_fault(c, m), "");
  }
}

}  // namespace
}  // namespace nuvra::test
