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
using Ints = std::vector<int>;

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
// n * (max + 1) <= 256, or the sequence is refused and its layers unmapped. A pass past the count
// names its layer that passes it; two passes that only fill the table together name none.
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
    EXPECT_EQ(r.descriptors_over, two ? nullptr : g("c1"));
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
    EXPECT_FALSE(rig.builder.has_pending_merge_layer());
    SequenceRig lone;  // a merge layer alone makes no pass
    EXPECT_THROW(lone.builder.add_layers(r.list({"add"}), r.all(), {{}}), std::invalid_argument);
    EXPECT_TRUE(lone.builder.passes().empty() && !lone.builder.has_pending_merge_layer());
    EXPECT_EQ(lone.build().status.message, "No pass to build a sequence from.");
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
// 16 y bytes; 5 x y x 4: 32 y against 20 y).
TEST(SequenceBuilder, FnpFeedFlag) {
  const struct {
    bool is_signed;
    uint32_t height;
    LayerType next;
    hw::Type next_np;
    bool flag;
    uint32_t channels = 3;
  } cases[] = {{true, 100, LayerType::Dense1D, hw::Type::FNP3, true},
               {true, 85, LayerType::Dense1D, hw::Type::FNP3, false},
               {true, 64, LayerType::Dense1D, hw::Type::FNP3, false, 4},  // 2048 bytes padded: no packing
               {true, 65, LayerType::Dense1D, hw::Type::FNP3, true, 4},
               {true, 128, LayerType::Dense1D, hw::Type::FNP3, true},
               {true, 129, LayerType::Dense1D, hw::Type::FNP3, false},
               {false, 100, LayerType::Dense1D, hw::Type::FNP3, false},
               {true, 100, LayerType::Conv2D, hw::Type::CNP1, false},
               {true, 4, LayerType::BufferTempConv, hw::Type::TNP_B, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.height) + " rows to type " + std::to_string(static_cast<int>(c.next)));
    ModelBuilder b;
    b.input(5, c.height, c.channels, 8, c.is_signed).add(LayerType::Conv2D, {{"filters", int(c.channels)}, {"kernel_size", 1}}, "c");
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

// An NP that ends one pass and starts the next is double-buffered on both sides (its whole
// ident must match, channel included); every other split component is single-buffered. Flags of
// the split components of c1.. in order, 1 for single.
TEST(SequenceBuilder, SingleAndDoubleBuffers) {
  const auto s = [](uint8_t id, uint8_t channel = 0) {
    auto c = np(2, 1, id);
    c.ident.channel = channel, c.split = hw::SplitRecord{};
    return c;
  };
  const std::vector<Names> two{{"in", "c1"}, {"c2"}}, three{{"in", "c1"}, {"c2"}, {"c3"}};
  const std::tuple<std::vector<Names>, Components, Ints> cases[] = {
      {two, {{hrc()}, {s(0)}, {s(0)}}, {0, 0}},
      {three, {{hrc()}, {s(0)}, {s(0)}, {s(0)}}, {0, 0, 0}},
      {three, {{hrc()}, {s(0)}, {s(1)}, {s(1)}}, {1, 0, 0}},
      {two, {{hrc()}, {s(0)}, {s(1)}}, {1, 1}},
      {two, {{hrc()}, {s(0)}, {s(0, 1)}}, {1, 1}},
      {two, {{hrc()}, {s(0)}, {np(2, 1, 0)}}, {0}},  // the later side has no split record to change
      // Only the last layer of the earlier pass counts, and each of its NPs on its own.
      {{{"in", "c1", "c2"}, {"c3"}}, {{hrc()}, {s(3)}, {s(2), s(0)}, {s(0), s(3)}}, {1, 1, 0, 0, 1}},
  };
  for (const auto& [passes, comps, expected] : cases) {
    SequenceRig rig;
    Graph g = chain();
    add(rig, g, passes, comps);
    const Built built(rig.build());
    Ints flags;
    for (const auto& layer : g.all())
      if (const auto m = get_layer_mapping(*layer))
        for (const auto& c : *m->nps)
          if (c.split) flags.push_back(c.split->single_buffer);
    EXPECT_EQ(flags, expected) << ::testing::PrintToString(passes);
  }
}

// Three passes: the event generator spans the columns of every pass's first mappable layer (the
// lowest here in the last pass); each pass but the last records its idle NPs, told every NP of
// its own layers to leave out; the output type is the last pass's; a built builder is empty again.
TEST(SequenceBuilder, ThreePasses) {
  SequenceRig rig;
  Graph g = chain();
  add(rig, g, {{"in", "c1"}, {"c2", "c3"}, {"c4"}}, {{hrc()}, {np(3, 1, 0), np(4, 1, 0)}, {np(5, 1, 0)}, {np(6, 1, 0)}, {np(2, 1, 0)}});
  const Built built(rig.build());
  ASSERT_EQ(rig.io.epg_calls.size(), 1u);
  const auto& epg = rig.io.epg_calls[0];
  EXPECT_EQ(std::make_tuple(int{epg.low}, int{epg.high}, epg.multi_pass), std::make_tuple(2, 5, true));
  std::vector<std::vector<hw::Ident>> idle;
  for (const auto& call : rig.recorder.calls)
    if (call.registers_only) idle.push_back(call.excluded_nps);
  EXPECT_EQ(idle, (std::vector<std::vector<hw::Ident>>{{{0, 0, 0, 0}, {3, 1, 0, 0}, {4, 1, 0, 0}}, {{5, 1, 0, 0}, {6, 1, 0, 0}}}));
  EXPECT_EQ(rig.io.output_type_calls, std::vector<std::string>{"c4"});
  EXPECT_TRUE(rig.builder.passes().empty() && rig.builder.layers().empty());
}

// A pass's event-generator columns: those of the layer after the input layer, lowest to highest
// whatever their order; a lone HRC counts as column 1, a lone input layer as 0; a pass whose
// layer has no NP adds none. An output of type 3 sets up no event generator.
TEST(SequenceBuilder, EventGeneratorColumns) {
  const std::tuple<std::vector<Names>, Components, int, int, bool> cases[] = {
      {{{"in", "c1", "c2"}}, {{hrc()}, {np(4, 1, 0), np(3, 1, 1), np(4, 1, 2)}, {np(6, 1, 0)}}, 3, 4, false},
      {{{"c1", "c2"}}, {{hrc()}, {np(6, 1, 0)}}, 1, 1, false},
      {{{"in"}}, {{hrc()}}, 0, 0, true},
      {{{"in", "c1"}, {"c2"}}, {{hrc()}, {}, {np(5, 1, 0)}}, 5, 5, false},
  };
  for (const auto& [passes, comps, low, high, solo] : cases) {
    SequenceRig rig;
    Graph g = chain();
    add(rig, g, passes, comps);
    const Built built(rig.build());
    ASSERT_EQ(rig.io.epg_calls.size(), 1u);
    const auto& epg = rig.io.epg_calls[0];
    EXPECT_EQ(std::make_tuple(int{epg.low}, int{epg.high}, epg.solo), std::make_tuple(low, high, solo));
  }
  SequenceRig rig;
  Graph g = chain();
  rig.io.output_type = 3;
  add(rig, g, {{"in", "c1"}}, {{hrc()}, {np(3, 1, 0)}});
  const Built built(rig.build());
  EXPECT_TRUE(rig.io.epg_calls.empty());
}

// A learning layer is told whether it opens a later pass.
TEST(SequenceBuilder, LearningLayerOpeningALaterPass) {
  for (const auto& [passes, learn] : {std::pair{std::vector<Names>{{"f1"}, {"fc"}}, true}, {std::vector<Names>{{"fc"}}, false}}) {
    ModelBuilder b;
    b.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "f1").add(LayerType::FullyConnected, {{"units", 4}}, "fc");
    const auto params = LearningParams::create(LearningType::Unsupervised, {});  // held weakly by the layer
    dynamic_cast<LayerImpl&>(*b.layer("fc")).set_learning(params);
    SequenceRig rig;
    uint8_t id = 0;
    for (const auto& names : passes) rig.builder.add_layers({b.layer(names[0])}, b.model().layers(), {{np(3, 1, id++, hw::Type::FNP3)}});
    const Built built(rig.build());
    EXPECT_EQ(rig.recorder.learning_calls, (std::vector<std::pair<std::string, bool>>{{"fc", learn}}));
  }
}

// A sequence that starts with a Dense1D layer takes its input flat.
TEST(SequenceBuilder, DenseFirstLayerTakesItsInputFlat) {
  ModelBuilder b;
  b.input(4, 2, 3).add(LayerType::Dense1D, {{"units", 4}}, "d");
  SequenceRig rig;
  rig.builder.add_layers({b.layer("d")}, b.model().layers(), {{np(3, 1, 0, hw::Type::FNP3)}});
  const Built built(rig.build());
  ASSERT_EQ(rig.io.scc_calls.size(), 1u);
  EXPECT_EQ(rig.io.scc_calls[0].input, (Shape{1, 1, 24}));
}

// A flatbuffer vector's values; none for an absent one.
template <class T, class V>
std::vector<T> values(const V* v) {
  return v ? std::vector<T>(v->begin(), v->end()) : std::vector<T>{};
}

// A Dequantizer ending the sequence hands its scales to the program as they are, with zero
// thresholds; a last layer with activation hands neither. The output is narrow for a Dequantizer
// reading 8 bits or for a last layer of 8 bits without activation.
TEST(SequenceBuilder, OutputConversion) {
  enum Last { dequantizer, activation, plain };
  for (const Last last : {dequantizer, activation, plain}) {
    Graph g;
    g.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"activation", last != plain}, {"output_bits", 8}}, "c1", {"in"});
    std::vector<std::string> names{"in", "c1"};
    Components comps{{hrc()}, {np(2, 1, 0)}};
    if (last == dequantizer) {
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
    EXPECT_EQ(values<float>(built.info().scales()), last == dequantizer ? scales : std::vector<float>());
    EXPECT_EQ(values<int32_t>(built.info().thresholds()), std::vector<int32_t>(last == dequantizer ? 4 : 0, 0));
    EXPECT_EQ(rig.io.scc_calls.at(0).narrow, last != activation) << last;
  }
}

}  // namespace
}  // namespace nuvra::test
