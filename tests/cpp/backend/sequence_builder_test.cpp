// The sequence builder over recorder doubles: descriptor limits, merge layers and failed passes,
// the FNP-feed flag and the output conversion. The recorder flags, idle-NP records and descriptor
// counts of one or several passes, and the same bytes from a rebuilt sequence, are checked on every
// pass of the end-to-end programs; their bytes are pinned by the program digest tests.
#include "backend/sequence_builder.h"

#include "sequence_rig.h"
#include "support/program_check.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::test {
namespace {

using Names = std::vector<std::string>;

// The bytes of the built sequence, read back from verified parts whose spans all hold.
struct Built {
  std::shared_ptr<Sequence> sequence;  // keeps the mappings on the layers
  std::vector<uint8_t> bytes;
  ProgramView v;
  explicit Built(const HardwareSequenceBuilder::Result& r) : sequence(r.sequence) {
    if (r.status.code != 0) throw std::runtime_error(r.status.message);
    bytes.assign(sequence->program().data, sequence->program().data + sequence->program().size);
    v = open_program(bytes);
    EXPECT_EQ(check_spans(v), "");
  }
  const fb::ProgramInfo& info() const { return *v.info; }
};
// `passes` of the chain, the components of all in order.
void add(SequenceRig& rig, const Graph& g, const std::vector<Names>& passes, const Components& comps) {
  auto c = comps.begin();
  for (const auto& names : passes) rig.builder.add_layers(g.list(names), g.all(), Components(c, c + names.size())), c += names.size();
}

// SCC + "in" + c1's tracks (+ the idle-NP record with two passes); max + 1 < 256 and
// n * (max + 1) <= 256, or the sequence is refused and its layers unmapped.
TEST(SequenceBuilder, DescriptorLimit) {
  for (const auto& [tracks, two, expected] : {std::tuple{252, false, 255}, std::tuple{253, false, -1}, std::tuple{124, true, 128}, std::tuple{125, true, -1}}) {
    SequenceRig rig;
    Graph g = chain();
    rig.recorder.shapes = {{"c1", RecordShape(tracks, 1)}, {"c2", RecordShape(two ? 1 : 0)}};
    add(rig, g, two ? std::vector<Names>{{"in", "c1"}, {"c2"}} : std::vector<Names>{{"in", "c1", "c2"}}, {{hrc()}, {np(2, 1, 0)}, {np(2, 1, 1)}});
    const auto r = rig.build();
    if (expected > 0) {
      EXPECT_EQ(Built(r).info().descriptors_per_pass(), expected);
      continue;
    }
    EXPECT_EQ(r.status.message, "the maximum number of descriptors is more than allowed");
    EXPECT_FALSE(r.sequence || g("c1")->mapping() || !rig.builder.passes().empty());
  }
}

// A merge layer that ends a pass opens the next one; left pending at the end, it is refused
// rather than lost. A pass that cannot be built leaves the builder as it was.
TEST(SequenceBuilder, MergeLayersAndFailedPasses) {
  Graph r = residual();
  const auto store = np(9, 0, 0, hw::Type::SKIP_DMA_STORE), load = np(9, 0, 1, hw::Type::SKIP_DMA_LOAD);
  const Components head{{hrc()}, {np(2, 1, 0), store}, {np(3, 1, 0)}, {np(4, 1, 0)}, {}};
  {
    SequenceRig rig;
    rig.builder.add_layers(r.list({"in", "c1", "c2", "c3", "add"}), r.all(), head);
    EXPECT_TRUE(rig.builder.has_pending_merge_layer());
    rig.builder.add_layers(r.list({"c4", "c5"}), r.all(), {{np(5, 1, 0), load}, {np(6, 1, 0)}});
    EXPECT_EQ(rig.builder.passes().at(1)->layers, r.list({"add", "c4", "c5"}));
  }
  SequenceRig rig;
  rig.builder.add_layers(r.list({"in", "c1", "c2", "c3", "add"}), r.all(), head);
  const auto result = rig.build();
  EXPECT_EQ(result.status.message, "Bad mapping on skip connection. No valid merge layer.");
  EXPECT_TRUE(!result.sequence && rig.builder.passes().empty() && rig.recorder.calls.empty() && !r("c1")->mapping());
  Graph t;
  t.tnpb("t1", "in").conv("c2", "t1");
  SequenceRig other;
  other.builder.add_layers(t.list({"in"}), t.all(), {{hrc()}});
  EXPECT_THROW(other.builder.add_layers(t.list({"t1", "c2"}), t.list({"in", "c2"}), {{np(2, 1, 0, hw::Type::TNP_B), store, load}, {np(2, 1, 1)}}),
               std::runtime_error);  // t1 has no FIFO index
  EXPECT_EQ(other.builder.layers(), t.list({"in"}));
  EXPECT_FALSE(t("t1")->mapping());
  EXPECT_THROW(other.builder.add_layers(t.list({"t1", "c2"}), t.all(), {{np(2, 1, 1)}}), std::invalid_argument);
}

// The last flag of a layer with signed input: set when it feeds a TNP-B, or when a CNP feeds an
// FNP whose x * y * c input of 8 bits takes more than 2048 words with every row padded to 4
// bytes but no more once each row of all channels is packed end to end (5 x y x 3: 24 y against
// 16 y bytes).
TEST(SequenceBuilder, FnpFeedFlag) {
  const struct {
    bool is_signed;
    uint32_t height;
    LayerType next;
    hw::Type next_np;
    bool flag;
  } cases[] = {{true, 100, LayerType::Dense1D, hw::Type::FNP3, true},
               {true, 85, LayerType::Dense1D, hw::Type::FNP3, false},
               {true, 128, LayerType::Dense1D, hw::Type::FNP3, true},
               {true, 129, LayerType::Dense1D, hw::Type::FNP3, false},
               {false, 100, LayerType::Dense1D, hw::Type::FNP3, false},
               {true, 100, LayerType::Conv2D, hw::Type::CNP1, false},
               {true, 4, LayerType::BufferTempConv, hw::Type::TNP_B, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.height) + " rows to type " + std::to_string(static_cast<int>(c.next)));
    ModelBuilder b;
    b.input(5, c.height, 3, 8, c.is_signed).add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 1}}, "c");
    b.add(c.next, {{"filters", 4}, {"kernel_size", 1}, {"units", 4}, {"fifo_size", 2}}, "n");
    SequenceRig rig;
    const LayerList all = b.model().layers();
    rig.builder.add_layers({b.layer("c"), b.layer("n")}, all, {{np(2, 1, 0)}, {np(3, 1, 0, c.next_np)}});
    Built built(rig.build());
    ASSERT_FALSE(rig.recorder.calls.empty());
    EXPECT_EQ(rig.recorder.calls.front().layer, "c");
    EXPECT_EQ(rig.recorder.calls.front().last_flag, c.flag);
  }
}

// A flatbuffer vector's values; none for an absent one.
template <class T, class V>
std::vector<T> values(const V* v) {
  return v ? std::vector<T>(v->begin(), v->end()) : std::vector<T>{};
}

// A Dequantizer ending the sequence hands its scales to the program as they are, with zero
// thresholds; a last layer with activation hands neither.
TEST(SequenceBuilder, OutputConversion) {
  for (const bool dequantized : {true, false}) {
    Graph g;
    g.conv("c1", "in");
    std::vector<std::string> names{"in", "c1"};
    Components comps{{hrc()}, {np(2, 1, 0)}};
    if (dequantized) {
      g.dequantizer("dq", "c1");
      auto scales = Dense::create(TensorType::float32, {4});
      for (const auto& [i, v] : {std::pair{0u, 0.5f}, {1u, -2.0f}, {2u, 0.0f}, {3u, 3.25f}}) scales->set<float>(i, v);
      g("dq")->variables()->set("scales", scales);
      names.push_back("dq"), comps.push_back({});
    }
    SequenceRig rig;
    add(rig, g, {names}, comps);
    const Built built(rig.build());
    const std::vector<float> scales{0.5f, -2.0f, 0.0f, 3.25f};
    EXPECT_EQ(values<float>(built.info().scales()), dequantized ? scales : std::vector<float>());
    EXPECT_EQ(values<int32_t>(built.info().thresholds()), std::vector<int32_t>(dequantized ? 4 : 0, 0));
  }
}

}  // namespace
}  // namespace nuvra::test
