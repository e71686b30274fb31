#include "backend/sequence_builder.h"

#include "backend/hardware_sequence.h"
#include "backend/layer_graph.h"
#include "backend/sequence_serializer.h"
#include "support/program_check.h"
#include "sequence_rig.h"

#include <nuvra/dma.h>
#include <nuvra/layers.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

using test::Components;
using test::Graph;
using test::hrc;
using test::mapping;
using test::np;
using test::RecordShape;
using test::SequenceRig;

std::vector<uint8_t> bytes_of(const Sequence& s) {
  const auto p = s.program();
  return {p.data, p.data + p.size};
}

std::vector<std::string> called_layers(const test::FakeLayerRecorder& r) {
  std::vector<std::string> names;
  for (const auto& c : r.calls) names.push_back(c.layer);
  return names;
}

struct BuilderTest : ::testing::Test {
  SequenceRig rig;
  Graph g = test::chain();

  // Pass 1: in, c1; pass 2: c2, c3.
  void two_passes() {
    rig.builder.add_layers(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(2, 1, 0)}});
    rig.builder.add_layers(g.list({"c2", "c3"}), g.all(), {{np(2, 1, 1)}, {np(3, 1, 0)}});
  }
  HardwareSequenceBuilder::Result build() { return rig.builder.build_sequence(); }
};

TEST_F(BuilderTest, OnePassProgram) {
  rig.builder.add_layers(g.list({"in", "c1", "c2"}), g.all(), {{hrc()}, {np(2, 1, 0)}, {np(5, 1, 0)}});
  const auto r = build();
  ASSERT_EQ(r.status.code, 0u) << r.status.message;
  EXPECT_EQ(r.status.message, "Success");
  ASSERT_TRUE(r.sequence);
  EXPECT_EQ(r.sequence->name(), "HW/in-c2");
  EXPECT_TRUE(rig.builder.passes().empty());
  EXPECT_TRUE(rig.builder.layers().empty());
  EXPECT_TRUE(mapping(g("c1")));  // the sequence keeps the pass

  EXPECT_EQ(called_layers(rig.recorder), (std::vector<std::string>{"in", "c1", "c2"}));
  for (const auto& c : rig.recorder.calls) {
    EXPECT_EQ(c.seq_first, "in");
    EXPECT_EQ(c.next, "");
    EXPECT_FALSE(c.ib_spikes || c.routing_flag || c.registers_only || c.last_flag);
    EXPECT_TRUE(c.excluded_nps.empty());
  }
  ASSERT_EQ(rig.io.scc_calls.size(), 1u);
  const auto& scc = rig.io.scc_calls[0];
  EXPECT_TRUE(scc.input_layer && scc.input_type_zero && scc.output_type_zero);
  EXPECT_FALSE(scc.solo);
  EXPECT_FALSE(scc.narrow);  // the last layer has an activation
  EXPECT_EQ(scc.input, (Shape{8, 8, 3}));
  EXPECT_EQ(scc.output, (Shape{8, 8, 4}));
  EXPECT_EQ(rig.io.output_type_values, (std::vector<int>{0}));
  ASSERT_EQ(rig.io.epg_calls.size(), 1u);
  const auto& epg = rig.io.epg_calls[0];
  EXPECT_EQ(epg.layer, "in");
  // The input layer's pass is ranged by the layer after it, c1 on column 2.
  EXPECT_EQ(epg.low, 2);
  EXPECT_EQ(epg.high, 2);
  EXPECT_EQ(epg.count, 1);
  EXPECT_FALSE(epg.solo || epg.multi_pass);
  EXPECT_TRUE(epg.input_type_zero);

  const auto bytes = bytes_of(*r.sequence);
  const auto v = test::open_program(bytes);
  EXPECT_EQ(test::check_spans(v), "");
  EXPECT_EQ(v.info->descriptors_per_pass(), 5);  // SCC + 3 layers, plus one
  EXPECT_EQ(v.data->dummy_desc_header()->word_0(), 0u);
  EXPECT_EQ(v.info->epg_registers()->size(), 2u);
  // conv_param_0 and _1 are the input layer's output width and height.
  EXPECT_EQ(v.info->conv_param_0(), 8u);
  EXPECT_EQ(v.info->conv_param_1(), 8u);
  EXPECT_TRUE(v.info->has_activation());
  EXPECT_EQ(v.info->thresholds()->size(), 0u);
}

TEST_F(BuilderTest, TwoPassesProgramTheIdleNpsBetweenThem) {
  two_passes();
  const auto r = build();
  ASSERT_EQ(r.status.code, 0u) << r.status.message;
  EXPECT_EQ(r.sequence->passes().size(), 2u);
  EXPECT_EQ(called_layers(rig.recorder), (std::vector<std::string>{"in", "c1", "c2", "c2", "c3"}));
  const auto& calls = rig.recorder.calls;
  EXPECT_EQ(calls[0].next, "c2");
  EXPECT_FALSE(calls[0].routing_flag);
  EXPECT_TRUE(calls[1].routing_flag);  // the last layer of a pass that is not the last
  EXPECT_FALSE(calls[1].ib_spikes);
  // Idle NPs: the next pass's first layer, registers only, over the NPs of the pass just done.
  EXPECT_TRUE(calls[2].registers_only);
  EXPECT_EQ(calls[2].seq_first, "in");
  EXPECT_EQ(calls[2].next, "c2");
  EXPECT_EQ(calls[2].excluded_nps, (std::vector<hw::Ident>{{0, 0, 0, 0}, {2, 1, 0, 0}}));
  EXPECT_EQ(calls[2].mapping_id, mapping(g("c2"))->prev_id);
  EXPECT_TRUE(calls[3].ib_spikes);  // first layer of a later pass
  EXPECT_FALSE(calls[3].registers_only);
  EXPECT_EQ(calls[3].next, "");
  EXPECT_FALSE(calls[4].ib_spikes || calls[4].routing_flag);

  const auto bytes = bytes_of(*r.sequence);
  const auto v = test::open_program(bytes);
  EXPECT_EQ(test::check_spans(v), "");
  EXPECT_EQ(v.data->passes()->Get(0)->records()->size(), 4u);  // SCC, in, c1, idle NPs
  EXPECT_EQ(v.data->passes()->Get(1)->records()->size(), 2u);
  EXPECT_EQ(v.info->descriptors_per_pass(), 5);  // max(4, 2) + 1
  const uint64_t header = format_config_header_fb({}, dma::Target{8}, 1, 0);
  EXPECT_EQ(v.data->dummy_desc_header()->word_0(), static_cast<uint32_t>(header));
  EXPECT_NE(header, 0u);
  ASSERT_EQ(rig.io.epg_calls.size(), 1u);
  EXPECT_TRUE(rig.io.epg_calls[0].multi_pass);
  EXPECT_EQ(rig.io.epg_calls[0].low, 2);  // c1 on column 2, c2 on column 2
  EXPECT_EQ(rig.io.epg_calls[0].high, 2);
}

TEST_F(BuilderTest, SameSequenceTwiceGivesTheSameBytes) {
  std::vector<uint8_t> first;
  {
    SequenceRig r;
    r.builder.add_layers(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(2, 1, 0)}});
    r.builder.add_layers(g.list({"c2", "c3"}), g.all(), {{np(2, 1, 1)}, {np(3, 1, 0)}});
    first = bytes_of(*r.builder.build_sequence().sequence);
  }
  // The sequence is gone: its passes took the mappings off, and the layers map again.
  EXPECT_FALSE(g("c1")->mapping());
  two_passes();
  const auto r = build();
  ASSERT_EQ(r.status.code, 0u) << r.status.message;
  EXPECT_EQ(bytes_of(*r.sequence), first);
}

TEST_F(BuilderTest, DescriptorLimit) {
  // SCC + "in" + c1's tracks (+ 1 idle-NP record with two passes); c2 records 1 track.
  struct Case {
    size_t c1_tracks;
    bool two_passes;
    int expected;  // descriptors per pass, or -1 for a refusal
  } cases[] = {
      {252, false, 255},  // 254 descriptors: the largest count a byte holds
      {253, false, -1},   // 255 descriptors would be written as 0
      {124, true, 128},   // 2 x 128 = 256 is accepted
      {125, true, -1},    // 2 x 129 = 258 is not
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.c1_tracks);
    SequenceRig r;
    Graph graph = test::chain();
    r.recorder.shapes["c1"] = RecordShape{c.c1_tracks, 1};
    if (c.two_passes) {
      r.builder.add_layers(graph.list({"in", "c1"}), graph.all(), {{hrc()}, {np(2, 1, 0)}});
      r.builder.add_layers(graph.list({"c2"}), graph.all(), {{np(2, 1, 1)}});
    } else {
      r.builder.add_layers(graph.list({"in", "c1", "c2"}), graph.all(), {{hrc()}, {np(2, 1, 0)}, {np(2, 1, 1)}});
      r.recorder.shapes["c2"] = RecordShape{0};
    }
    const auto result = r.builder.build_sequence();
    if (c.expected < 0) {
      EXPECT_EQ(result.status.code, 1u);
      EXPECT_EQ(result.status.message, "the maximum number of descriptors is more than allowed");
      EXPECT_FALSE(result.sequence);
      EXPECT_TRUE(r.builder.passes().empty());
      EXPECT_FALSE(graph("c1")->mapping());  // the refused sequence's layers are unmapped
      continue;
    }
    ASSERT_EQ(result.status.code, 0u) << result.status.message;
    const auto bytes = bytes_of(*result.sequence);
    const auto v = test::open_program(bytes);
    EXPECT_EQ(v.info->descriptors_per_pass(), c.expected);
  }
}

TEST_F(BuilderTest, SkipDmaRecordsCountOnlyWithSeveralPasses) {
  for (bool several : {false, true}) {
    SCOPED_TRACE(several);
    SequenceRig r;
    Graph graph = test::chain();
    if (several) {
      r.builder.add_layers(graph.list({"in", "c1"}), graph.all(), {{hrc()}, {np(2, 1, 0)}});
      r.builder.add_layers(graph.list({"c2"}), graph.all(), {{np(2, 1, 1)}});
    } else {
      r.builder.add_layers(graph.list({"in", "c1", "c2"}), graph.all(), {{hrc()}, {np(2, 1, 0)}, {np(2, 1, 1)}});
    }
    auto m = mapping(graph("c1"));
    m->skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>();
    m->skipdma_load_info = std::make_unique<SkipDmaLoadMapInfo>();
    m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>();
    const auto result = r.builder.build_sequence();
    ASSERT_EQ(result.status.code, 0u) << result.status.message;
    const auto bytes = bytes_of(*result.sequence);
    const auto v = test::open_program(bytes);
    // SCC, in, c1 (+ 9 with several passes, + 1 idle-NP record), c2 in one pass.
    EXPECT_EQ(v.info->descriptors_per_pass(), several ? 1 + 1 + 1 + 9 + 1 + 1 : 4 + 1);
  }
}

TEST_F(BuilderTest, LearningLayerIsRecordedAsSuch) {
  test::ModelBuilder b;
  b.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  const auto params = LearningParams::create(LearningType::Unsupervised, {});
  dynamic_cast<LayerImpl&>(*b.layer("fc")).set_learning(params);
  ASSERT_TRUE(b.layer("fc")->can_learn());
  rig.recorder.learning_registers = RecordShape{2, 3};
  rig.recorder.learning_weights = RecordShape{3, 3};
  rig.builder.add_layers({b.layer("fc")}, b.model().layers(), {{np(2, 1, 0, hw::Type::FNP3)}});
  const auto r = build();
  ASSERT_EQ(r.status.code, 0u) << r.status.message;
  EXPECT_TRUE(rig.recorder.calls.empty());
  ASSERT_EQ(rig.recorder.learning_calls.size(), 1u);
  EXPECT_FALSE(rig.recorder.learning_calls[0].learn);  // not the first layer of a later pass
  const auto bytes = bytes_of(*r.sequence);
  const auto v = test::open_program(bytes);
  EXPECT_EQ(test::check_spans(v), "");
  EXPECT_TRUE(v.info->learning_layer());
  EXPECT_EQ(v.info->descriptors_per_pass(), 1 + 2 + 3 + 1);
}

TEST_F(BuilderTest, RecorderFailureNamesTheLayerAndKeepsThePasses) {
  rig.recorder.failures["c2"] = "boom";
  two_passes();
  try {
    build();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error when programming layer 'c2': boom");
  }
  EXPECT_EQ(rig.builder.passes().size(), 2u);
  EXPECT_TRUE(mapping(g("c2")));
}

TEST_F(BuilderTest, MergeLayerOpensTheNextPass) {
  Graph r = test::residual();  // in -> c1 -> c2 -> c3; add(c1, c3) -> c4 -> c5
  const auto all = r.all();
  auto comps = [&](const std::vector<std::string>& names) {
    Components out;
    uint8_t col = 2;
    for (const auto& n : names) {
      const auto l = r(n);
      std::vector<hw::Component> v;
      if (l->is_kind(1)) v.push_back(hrc());
      else if (!l->is_kind(5)) v.push_back(np(col++, 1, 0));
      if (!l->is_kind(5) && (layer_need_store_dma(l, all) || is_dual_output_layer(l, all)))
        v.push_back(np(9, 0, 0, hw::Type::SKIP_DMA_STORE));
      if (!l->is_kind(5) && layer_need_load_dma(*l)) v.push_back(np(9, 0, 1, hw::Type::SKIP_DMA_LOAD));
      out.push_back(std::move(v));
    }
    return out;
  };
  rig.builder.add_layers(r.list({"in", "c1", "c2", "c3", "add"}), all, comps({"in", "c1", "c2", "c3", "add"}));
  EXPECT_TRUE(rig.builder.has_pending_merge_layer());
  EXPECT_EQ(rig.builder.passes().at(0)->layers, r.list({"in", "c1", "c2", "c3"}));
  rig.builder.add_layers(r.list({"c4", "c5"}), all, comps({"c4", "c5"}));
  EXPECT_FALSE(rig.builder.has_pending_merge_layer());
  EXPECT_EQ(rig.builder.passes().at(1)->layers, r.list({"add", "c4", "c5"}));
  EXPECT_EQ(rig.builder.layers(), r.list({"in", "c1", "c2", "c3", "add", "c4", "c5"}));
}

TEST_F(BuilderTest, PendingMergeLayerIsRefused) {
  Graph r = test::residual();
  rig.builder.add_layers(r.list({"in", "c1", "c2", "c3", "add"}), r.all(),
                         {{hrc()},
                          {np(2, 1, 0), np(9, 0, 0, hw::Type::SKIP_DMA_STORE)},
                          {np(3, 1, 0)},
                          {np(4, 1, 0)},
                          {}});
  const auto result = build();
  EXPECT_EQ(result.status.code, 1u);
  EXPECT_EQ(result.status.message, "Bad mapping on skip connection. No valid merge layer.");
  EXPECT_FALSE(result.sequence);
  EXPECT_TRUE(rig.builder.passes().empty());
  EXPECT_TRUE(rig.recorder.calls.empty());
  EXPECT_FALSE(r("c1")->mapping());
}

TEST_F(BuilderTest, FailedPassLeavesTheBuilderAsItWas) {
  Graph t;
  t.tnpb("t1", "in").conv("c2", "t1");
  rig.builder.add_layers(t.list({"in"}), t.all(), {{hrc()}});
  // t1 is missing from the layers to map: its FIFO index cannot be found.
  EXPECT_THROW(rig.builder.add_layers(t.list({"t1", "c2"}), t.list({"in", "c2"}),
                                      {{np(2, 1, 0, hw::Type::TNP_B), np(4, 0, 0, hw::Type::SKIP_DMA_STORE),
                                        np(4, 0, 1, hw::Type::SKIP_DMA_LOAD)},
                                       {np(2, 1, 1)}}),
               std::runtime_error);
  EXPECT_EQ(rig.builder.passes().size(), 1u);
  EXPECT_EQ(rig.builder.layers(), t.list({"in"}));
  EXPECT_FALSE(t("t1")->mapping());
  // Parallel lists of different lengths.
  EXPECT_THROW(rig.builder.add_layers(t.list({"t1", "c2"}), t.all(), {{np(2, 1, 1)}}), std::invalid_argument);
}

TEST_F(BuilderTest, SplitComponentsAreSingleBufferedExceptAcrossPasses) {
  rig.builder.add_layers(g.list({"in", "c1"}), g.all(),
                         {{hrc()}, {np(2, 1, 0, hw::Type::CNP1, true), np(2, 1, 1, hw::Type::CNP1, true)}});
  rig.builder.add_layers(g.list({"c2", "c3"}), g.all(),
                         {{np(2, 1, 0, hw::Type::CNP1, true), np(3, 1, 0, hw::Type::CNP1, true)},
                          {np(4, 1, 0, hw::Type::CNP1, true)}});
  const auto r = build();
  ASSERT_EQ(r.status.code, 0u) << r.status.message;
  const auto& c1 = *mapping(g("c1"))->nps;
  const auto& c2 = *mapping(g("c2"))->nps;
  const auto& c3 = *mapping(g("c3"))->nps;
  EXPECT_FALSE(c1[0].split->single_buffer);  // (2, 1, 0) ends pass 1 and starts pass 2
  EXPECT_TRUE(c1[1].split->single_buffer);
  EXPECT_FALSE(c2[0].split->single_buffer);
  EXPECT_TRUE(c2[1].split->single_buffer);
  EXPECT_TRUE(c3[0].split->single_buffer);
}

TEST(BuilderEpgTest, EventGeneratorWrites) {
  // The column range spans the NPs of every pass's first mappable layer (the layer after an input
  // layer); an input layer alone gives {0, 0}; output type 3 has no writes at all.
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> passes;
    Components components;
    uint8_t input_type, output_type;
    int low, high;  // -1: no call
    bool solo;
  } cases[] = {
      {"two passes", {{"in", "c1"}, {"c2"}}, {{hrc()}, {np(3, 1, 0), np(5, 2, 0)}, {np(1, 1, 0), np(4, 1, 0)}}, 1, 0,
       1, 5, false},
      {"solo input", {{"in"}}, {{hrc()}}, 0, 0, 0, 0, true},
      {"output type 3", {{"in", "c1"}}, {{hrc()}, {np(2, 1, 0)}}, 0, 3, -1, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SequenceRig rig;
    Graph g = test::chain();
    rig.io.input_type = c.input_type;
    rig.io.output_type = c.output_type;
    size_t k = 0;
    for (const auto& names : c.passes) {
      Components comps(c.components.begin() + k, c.components.begin() + k + names.size());
      k += names.size();
      rig.builder.add_layers(g.list(names), g.all(), comps);
    }
    const auto r = rig.builder.build_sequence();
    ASSERT_EQ(r.status.code, 0u) << r.status.message;
    EXPECT_EQ(rig.io.output_type_values, (std::vector<int>{c.input_type}));
    EXPECT_EQ(rig.io.scc_calls.at(0).solo, c.solo);
    EXPECT_EQ(rig.io.scc_calls.at(0).output_type_zero, c.output_type == 0);
    const auto bytes = bytes_of(*r.sequence);
    const auto v = test::open_program(bytes);
    EXPECT_EQ(v.info->output_type(), static_cast<fb::IoType>(c.output_type));
    if (c.low < 0) {
      EXPECT_TRUE(rig.io.epg_calls.empty());
      EXPECT_FALSE(v.info->epg_registers());
      continue;
    }
    ASSERT_EQ(rig.io.epg_calls.size(), 1u);
    const auto& e = rig.io.epg_calls[0];
    EXPECT_EQ(e.low, c.low);
    EXPECT_EQ(e.high, c.high);
    EXPECT_EQ(e.solo, c.solo);
    EXPECT_EQ(e.multi_pass, c.passes.size() > 1);
    EXPECT_EQ(e.input_type_zero, c.input_type == 0);
    EXPECT_EQ(v.info->epg_registers()->size(), rig.io.epg.size());
  }
}

// Shapes, convolution words and output values, one sequence each.
struct Built {
  test::ModelBuilder model;
  SequenceRig rig;
  HardwareSequenceBuilder::Result result;
  test::ProgramView view;
  std::vector<uint8_t> bytes;

  void build(const std::vector<std::string>& names, Components comps) {
    std::vector<std::shared_ptr<Layer>> layers;
    for (const auto& n : names) layers.push_back(model.layer(n));
    rig.builder.add_layers(layers, model.model().layers(), std::move(comps));
    result = rig.builder.build_sequence();
    if (result.status.code != 0) throw std::runtime_error(result.status.message);
    const auto p = result.sequence->program();
    bytes.assign(p.data, p.data + p.size);
    view = test::open_program(bytes);
  }
  std::vector<uint32_t> dims(const flatbuffers::Vector<uint32_t>* v) const { return {v->begin(), v->end()}; }
};

TEST(BuilderShapesTest, Dense1DInputIsFlattened) {
  Built b;
  b.model.input(4, 2, 3).add(LayerType::Dense1D, {{"units", 5}}, "dense");
  b.build({"dense"}, {{np(2, 1, 0, hw::Type::FNP3)}});
  EXPECT_EQ(b.dims(b.view.info->input_dims()), (std::vector<uint32_t>{1, 1, 24}));
  EXPECT_EQ(b.rig.io.scc_calls.at(0).input, (Shape{1, 1, 24}));
  EXPECT_FALSE(b.rig.io.scc_calls.at(0).input_layer);
  EXPECT_EQ(b.view.info->conv_param_0(), 0u);
  EXPECT_EQ(b.view.info->conv_param_1(), 0u);
}

TEST(BuilderShapesTest, SoloStemOutputIsRotated) {
  Built b;
  b.model.add(LayerType::Stem,
              {{"input_width", 8}, {"input_height", 12}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 4}},
              "stem");
  ASSERT_EQ(b.model.layer("stem")->output_dimensions(), (Shape{1, 6, 8}));
  b.build({"stem"}, {{hrc()}});
  EXPECT_EQ(b.dims(b.view.info->output_dims()), (std::vector<uint32_t>{6, 8, 1}));
  // The patch grid is 2 x 3: the first convolution word is its width, the second its height.
  EXPECT_EQ(b.view.info->conv_param_0(), 2u);
  EXPECT_EQ(b.view.info->conv_param_1(), 3u);
}

TEST(BuilderShapesTest, DequantizerGivesItsScalesAndZeroThresholds) {
  Built b;
  b.model.add(LayerType::InputConv2D,
              {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"filters", 3}, {"kernel_size", 3}},
              "in");
  b.model.add(LayerType::Dequantizer, {}, "dq");
  auto scales = b.model.layer("dq")->variables()->get("scales");
  scales->set<float>(0, 0.25f);
  scales->set<float>(1, 3.0f);
  scales->set<float>(2, -1.5f);
  b.build({"in", "dq"}, {{hrc()}, {}});
  const auto* info = b.view.info;
  EXPECT_EQ(std::vector<float>(info->scales()->begin(), info->scales()->end()),
            (std::vector<float>{0.25f, 3.0f, -1.5f}));
  EXPECT_EQ(std::vector<int32_t>(info->thresholds()->begin(), info->thresholds()->end()),
            (std::vector<int32_t>{0, 0, 0}));
  EXPECT_TRUE(b.rig.io.scc_calls.at(0).narrow);  // the Dequantizer reads 8 bits
}

TEST(BuilderShapesTest, OutputWithoutActivationGivesThresholdsAndStepReciprocals) {
  Built b;
  b.model.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 3}, {"activation", 0}}, "fc");
  auto* vars = b.model.layer("fc")->variables();
  auto t = vars->get("threshold");
  t->set<int32_t>(0, -4);
  t->set<int32_t>(1, 0);
  t->set<int32_t>(2, 9);
  auto s = vars->get("act_step");
  s->set<float>(0, 0.5f);
  s->set<float>(1, 0.0f);
  s->set<float>(2, 4.0f);
  b.build({"fc"}, {{np(2, 1, 0, hw::Type::FNP3)}});
  const auto* info = b.view.info;
  EXPECT_EQ(std::vector<int32_t>(info->thresholds()->begin(), info->thresholds()->end()),
            (std::vector<int32_t>{-4, 0, 9}));
  EXPECT_EQ(std::vector<float>(info->scales()->begin(), info->scales()->end()),
            (std::vector<float>{2.0f, 0.0f, 0.25f}));
  EXPECT_FALSE(info->has_activation());
  EXPECT_FALSE(b.rig.io.scc_calls.at(0).narrow);  // 32-bit output
}

TEST(BuilderShapesTest, FnpFeedFlag) {
  // A CNP reading signed data that feeds a Dense1D: set when the Dense1D's input does not fit
  // 2048 words row by row but does as one row per line.
  struct Case {
    uint32_t width, height, filters;
    bool expected;
  } cases[] = {{1, 16, 64, true}, {8, 8, 4, false}, {16, 16, 16, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width * 1000 + c.filters);
    Built b;
    b.model.input(c.width, c.height, 3, 8, true)
        .add(LayerType::Conv2D, {{"filters", static_cast<int>(c.filters)}, {"kernel_size", 1}}, "conv")
        .add(LayerType::Dense1D, {{"units", 4}}, "dense");
    ASSERT_EQ(b.model.layer("conv")->input_type_code(), 2);
    b.build({"conv", "dense"}, {{np(2, 1, 0)}, {np(3, 1, 0, hw::Type::FNP3)}});
    ASSERT_EQ(b.rig.recorder.calls.size(), 2u);
    EXPECT_EQ(b.rig.recorder.calls[0].last_flag, c.expected);
    EXPECT_FALSE(b.rig.recorder.calls[1].last_flag);
  }
}

TEST(BuilderShapesTest, SignedInputBeforeTnpBSetsTheFlag) {
  Built b;
  b.model.input(8, 8, 3, 8, true)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "conv")
      .add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, "tnp");
  const auto all = b.model.model().layers();
  std::vector<hw::Component> tnp{np(3, 1, 0, hw::Type::TNP_B)};
  if (layer_need_store_dma(b.model.layer("tnp"), all)) tnp.push_back(np(9, 0, 0, hw::Type::SKIP_DMA_STORE));
  if (layer_need_load_dma(*b.model.layer("tnp"))) tnp.push_back(np(9, 0, 1, hw::Type::SKIP_DMA_LOAD));
  b.build({"conv", "tnp"}, {{np(2, 1, 0)}, tnp});
  EXPECT_TRUE(b.rig.recorder.calls.at(0).last_flag);
}

}  // namespace
}  // namespace nuvra
