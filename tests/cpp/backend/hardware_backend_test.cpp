#include "backend/hardware_backend.h"

#include "backend/hardware_sequence.h"
#include "backend/layer_mapping.h"
#include "backend_rig.h"
#include "devices/system_services.h"
#include "layer_graph_fixtures.h"

#include <nuvra/model.h>
#include <nuvra/services.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using test::BackendRig;
using test::Graph;
using test::LayerNames;
using test::ModelBuilder;
using test::names_of;
using Type = hw::Type;
using Layers = std::vector<std::shared_ptr<Layer>>;

// in -> c1 -> ... -> cn
Graph long_chain(size_t n) {
  Graph g;
  for (size_t i = 1; i <= n; ++i) g.conv("c" + std::to_string(i), i == 1 ? "in" : "c" + std::to_string(i - 1));
  return g;
}

std::string c(size_t i) { return "c" + std::to_string(i); }

LayerNames chain_names(size_t from, size_t to) {
  LayerNames n;
  for (size_t i = from; i <= to; ++i) n.push_back(c(i));
  return n;
}

LayerNames operator+(LayerNames a, const LayerNames& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<LayerNames> passes_of(const Sequence& s) {
  std::vector<LayerNames> out;
  for (const auto& p : s.passes()) out.push_back(names_of(p->layers));
  return out;
}

std::vector<std::vector<LayerNames>> sequences_of(const std::vector<std::shared_ptr<Sequence>>& sequences) {
  std::vector<std::vector<LayerNames>> out;
  for (const auto& s : sequences) out.push_back(passes_of(*s));
  return out;
}

std::vector<hw::Component> nps_of(const std::shared_ptr<Layer>& layer) {
  const auto m = layer->mapping();
  return m && m->nps ? *m->nps : std::vector<hw::Component>{};
}

bool contains(const std::vector<hw::Ident>& list, const hw::Ident& ident) {
  return std::find(list.begin(), list.end(), ident) != list.end();
}

// Refuses the first check (the whole list), so that the list is cut sequence by sequence.
MappingStatus refuse_first(const LayerNames&, size_t call) {
  return call == 0 ? MappingStatus{1, "whole list refused"} : MappingStatus{0, "Success"};
}

TEST(HardwareBackend, SingleModeMapsTheWholeListIntoOneSequence) {
  BackendRig rig;
  Graph g = test::chain();
  Layers layers = g.all();
  const MappingStatus status = rig.map(&layers);
  EXPECT_EQ(status.code, 0u);
  EXPECT_EQ(status.message, "Success");
  EXPECT_TRUE(layers.empty());
  ASSERT_EQ(rig.sequences.size(), 1u);
  EXPECT_EQ(rig.sequences[0]->name(), "HW/in-c4");
  EXPECT_EQ(passes_of(*rig.sequences[0]), (std::vector<LayerNames>{{"in", "c1", "c2", "c3", "c4"}}));

  // One whole-list check, none per layer; every layer checked against the one before it.
  ASSERT_EQ(rig.checker.sequence_calls.size(), 1u);
  EXPECT_EQ(rig.checker.sequence_calls[0].run, (LayerNames{"in", "c1", "c2", "c3", "c4"}));
  EXPECT_EQ(rig.checker.compatibility_checks, (LayerNames{"in", "c1", "c2", "c3", "c4"}));
  EXPECT_EQ(rig.checker.previous_layers, (LayerNames{"", "in", "c1", "c2", "c3"}));

  // The input layer is on the HRC and never reaches the mapper.
  EXPECT_EQ(rig.constraints->handled, (LayerNames{"c1", "c2", "c3", "c4"}));
  std::vector<std::string> checked;
  for (const auto& m : rig.checker.mapping_checks) checked.push_back(m.layer);
  EXPECT_EQ(checked, (LayerNames{"c1", "c2", "c3", "c4"}));
  const auto in = nps_of(g("in"));
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].type, Type::HRC);
  EXPECT_EQ(in[0].ident, (hw::Ident{0, 0, 0, 0}));
  EXPECT_FALSE(in[0].split.has_value());
  std::set<hw::Ident> used;
  for (const auto& name : chain_names(1, 4)) {
    const auto comps = nps_of(g(name));
    ASSERT_EQ(comps.size(), 1u) << name;
    EXPECT_EQ(comps[0].type, Type::CNP1);
    used.insert(comps[0].ident);
  }
  EXPECT_EQ(used.size(), 4u);

  // The strategy objects were made once, over the device and constraints of its mesh.
  EXPECT_EQ(rig.factory_calls, 1);
  EXPECT_EQ(rig.factory_device, rig.device.get());
  EXPECT_EQ(rig.factory_constraints, compute_hardware_constraints(*rig.device));
}

TEST(HardwareBackend, InputMergeAndDequantizerLayersGetNoNps) {
  BackendRig rig;
  Graph g = test::residual();
  g.dequantizer("deq", "c5");
  Layers layers = g.all();
  const MappingStatus status = rig.map(&layers);
  ASSERT_EQ(status.message, "Success");
  EXPECT_EQ(rig.constraints->handled, (LayerNames{"c1", "c2", "c3", "c4", "c5"}));
  EXPECT_TRUE(nps_of(g("add")).empty());
  EXPECT_TRUE(nps_of(g("deq")).empty());
  ASSERT_EQ(rig.sequences.size(), 1u);
  EXPECT_EQ(passes_of(*rig.sequences[0]),
            (std::vector<LayerNames>{{"in", "c1", "c2", "c3", "add", "c4", "c5", "deq"}}));
}

// A full mesh opens a pass of the same sequence at the layer that did not fit. That layer may
// not take the NPs of the layer before it unless layers loop on their own NPs.
TEST(HardwareBackend, AFullMeshOpensAnotherPassInSingleMode) {
  for (const bool loop_itself : {false, true}) {
    SCOPED_TRACE(loop_itself);
    BackendRig rig;
    rig.constraints->set_hwpr_loopitself(loop_itself);
    const size_t k = rig.mesh_nps(Type::CNP1);
    ASSERT_GT(k, 4u);
    Graph g = long_chain(2 * k + 1);
    Layers layers = g.all();
    const MappingStatus status = rig.map(&layers);
    ASSERT_EQ(status.message, "Success");
    ASSERT_EQ(rig.sequences.size(), 1u);
    EXPECT_EQ(passes_of(*rig.sequences[0]),
              (std::vector<LayerNames>{LayerNames{"in"} + chain_names(1, k), chain_names(k + 1, 2 * k),
                                       chain_names(2 * k + 1, 2 * k + 1)}));
    EXPECT_EQ(rig.checker.sequence_calls.size(), 1u);

    for (const size_t opener : {k + 1, 2 * k + 1}) {
      const auto& offered = rig.constraints->offered(c(opener));
      const hw::Ident before = nps_of(g(c(opener - 1))).at(0).ident;
      EXPECT_EQ(offered.size(), loop_itself ? k : k - 1);
      EXPECT_EQ(contains(offered, before), loop_itself);
    }
    // Inside a pass the layer before is still allocated anyway.
    EXPECT_EQ(rig.constraints->offered(c(2)).size(), k - 1);
  }
}

TEST(HardwareBackend, CutModeEndsTheSequenceBeforeTheLayerThatDoesNotFit) {
  BackendRig rig;
  rig.checker.sequence_rule = refuse_first;
  const size_t k = rig.mesh_nps(Type::CNP1);
  Graph g = long_chain(k + 3);
  Layers layers = g.all();
  const MappingStatus status = rig.map(&layers);
  ASSERT_EQ(status.message, "Success");
  EXPECT_TRUE(layers.empty());
  EXPECT_EQ(sequences_of(rig.sequences), (std::vector<std::vector<LayerNames>>{{LayerNames{"in"} + chain_names(1, k)},
                                                                               {chain_names(k + 1, k + 3)}}));

  // The whole list, then each prefix of the first sequence, then each prefix of the rest, each
  // with the list that was still to map.
  const auto& calls = rig.checker.sequence_calls;
  ASSERT_EQ(calls.size(), 1 + (k + 1) + 3);
  EXPECT_EQ(calls[1].run, (LayerNames{"in"}));
  EXPECT_EQ(calls[1].all, k + 4);
  EXPECT_EQ(calls[k + 1].run, LayerNames{"in"} + chain_names(1, k));
  EXPECT_EQ(calls[k + 2].run, (LayerNames{c(k + 1)}));
  EXPECT_EQ(calls[k + 2].all, 3u);
  // A fresh NP table for every sequence: the opener of the second is offered every NP.
  EXPECT_EQ(rig.constraints->offered(c(k + 1)).size(), k);
}

// Layers loop on their own NPs only in single mode: with no room for two input buffers, the
// single attempt cannot split and the cut one can.
TEST(HardwareBackend, LoopItselfIsNeverUsedInCutMode) {
  BackendRig rig;
  rig.constraints->set_hwpr_loopitself(true);
  rig.checker.dual_capacity_words = 0;
  Graph g = test::chain();
  Layers layers = g.all();
  const MappingStatus status = rig.map(&layers);
  ASSERT_EQ(status.message, "Success");
  EXPECT_EQ(sequences_of(rig.sequences), (std::vector<std::vector<LayerNames>>{{{"in", "c1", "c2", "c3", "c4"}}}));
  EXPECT_EQ(rig.checker.sequence_calls.size(), 1u + 5u);  // whole list, then cut mode
  const auto& fits = rig.checker.fit_calls;
  ASSERT_FALSE(fits.empty());
  EXPECT_TRUE(fits.front().dual);
  EXPECT_TRUE(std::any_of(fits.begin(), fits.end(), [](const auto& f) { return !f.dual && f.accepted; }));
}

TEST(HardwareBackend, QrixV2IsCutFromTheStart) {
  BackendRig rig(versions::Qrix_v2);
  Graph g = test::chain();
  Layers layers = g.all();
  const MappingStatus status = rig.map(&layers);
  ASSERT_EQ(status.message, "Success");
  EXPECT_EQ(sequences_of(rig.sequences), (std::vector<std::vector<LayerNames>>{{{"in", "c1", "c2", "c3", "c4"}}}));
  // No whole-list attempt: the first check is the first prefix.
  const auto& calls = rig.checker.sequence_calls;
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].run, (LayerNames{"in"}));
  EXPECT_EQ(calls[4].run, (LayerNames{"in", "c1", "c2", "c3", "c4"}));
  // A Qrix_v2 is of the first generation.
  EXPECT_EQ(rig.factory_constraints.limit_10, 504u);
}

// In cut mode the layers after which the run is refused wait; a later accepted prefix takes them
// along, otherwise they start the next sequence.
TEST(HardwareBackend, PendingLayersRejoinOrStartTheNextSequence) {
  const struct {
    const char* what;
    std::set<std::string> refused;  // a prefix ending at these layers is refused
    std::vector<std::vector<LayerNames>> sequences;
    LayerNames left;
    std::string message;
  } cases[] = {
      {"one refused, rejoins", {"c2"}, {{{"in", "c1", "c2", "c3", "c4"}}}, {}, "Success"},
      {"two refused, rejoin", {"c1", "c2"}, {{{"in", "c1", "c2", "c3", "c4"}}}, {}, "Success"},
      {"refused to the end", {"c3", "c4"}, {{{"in", "c1", "c2"}}}, {"c3", "c4"}, "ends at c4"},
      {"rejoin, then left", {"c2", "c4"}, {{{"in", "c1", "c2", "c3"}}}, {"c4"}, "ends at c4"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    BackendRig rig;
    rig.checker.sequence_rule = [&](const LayerNames& run, size_t call) -> MappingStatus {
      if (call == 0 || t.refused.count(run.back())) return {1, "ends at " + run.back()};
      return {0, "Success"};
    };
    Graph g = test::chain();
    Layers layers = g.all();
    const MappingStatus status = rig.map(&layers);
    EXPECT_EQ(status.message, t.message);
    EXPECT_EQ(sequences_of(rig.sequences), t.sequences);
    EXPECT_EQ(names_of(layers), t.left);
    for (const auto& l : layers) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
  }
}

// Dense layers too large for an FNP3 go to FNP2 NPs, whose weights stay in external memory:
// no later dense layer of the sequence may take one of them, even in another pass.
TEST(HardwareBackend, DenseLayersAreKeptOffTheFnp2NpsOfTheSequence) {
  BackendRig rig;
  rig.checker.fnp3_fits = false;
  const size_t f = rig.mesh_nps(Type::FNP2);
  ASSERT_GT(f, 1u);
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "in");
  LayerNames dense;
  for (size_t i = 1; i <= f + 1; ++i) {
    dense.push_back("d" + std::to_string(i));
    b.add(LayerType::Dense1D, {{"units", 10}}, dense.back());
  }
  Layers all = b.model().layers();

  // One sequence cannot hold them: the layer after the last free FNP2 has none left.
  Layers layers = all;
  {
    const IpVersionSpecificHardwareBackend backend(*rig.device, rig.factory());
    const MappingStatus status = map_next_sequence(backend, rig.constraints, &layers, &rig.sequences, true);
    EXPECT_EQ(status.message, "MeshMapper cannot map layer " + dense.back() + ".");
    EXPECT_EQ(layers, all);
    EXPECT_TRUE(rig.sequences.empty());
  }

  const MappingStatus status = rig.map(&layers);
  ASSERT_EQ(status.message, "Success");
  LayerNames first{"in"};
  first.insert(first.end(), dense.begin(), dense.end() - 1);
  EXPECT_EQ(sequences_of(rig.sequences), (std::vector<std::vector<LayerNames>>{{first}, {{dense.back()}}}));
  std::set<hw::Ident> fnp2;
  for (size_t i = 0; i < f; ++i) {
    const auto comps = nps_of(b.layer(dense[i]));
    ASSERT_EQ(comps.size(), 1u);
    EXPECT_EQ(comps[0].type, Type::FNP2);
    fnp2.insert(comps[0].ident);
  }
  EXPECT_EQ(fnp2.size(), f);
}

// The sizer counts words; components hold bytes. Every component of the sequence is sized, the
// skip-DMA stores too (the dual-output one with its flag), with the sequence's first layer and
// whether it has several passes.
TEST(HardwareBackend, MemorySizesInBytes) {
  BackendRig probe;
  const size_t k = probe.mesh_nps(Type::CNP1);
  const struct {
    const char* what;
    Graph graph;
    size_t passes;
  } cases[] = {
      {"one pass", test::chain(), 1},
      {"two passes", long_chain(k + 2), 2},
      {"skip store", test::residual(), 1},
      {"dual-output store", test::dual_residual(), 1},
  };
  const MemoryInfo sized{12, 20, 28};
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    BackendRig rig;
    Layers layers = t.graph.all();
    ASSERT_EQ(rig.map(&layers).message, "Success");
    ASSERT_EQ(rig.sequences.size(), 1u);
    EXPECT_EQ(rig.sequences[0]->passes().size(), t.passes);

    size_t components = 0;
    for (const auto& l : t.graph.all()) {
      for (const auto& comp : nps_of(l)) EXPECT_EQ(comp.mem_info, sized) << l->get_name();
      components += nps_of(l).size();
      const auto m = get_layer_mapping(*l);
      ASSERT_TRUE(m) << l->get_name();
      if (const auto store = m->skipdma_store()) {
        EXPECT_EQ(store->mem_info, sized) << l->get_name();
        ++components;
      }
      if (const auto dual = m->skipdma_store_dual_output()) {
        EXPECT_EQ(dual->mem_info, (MemoryInfo{12, 20, 280})) << l->get_name();
        ++components;
      }
    }
    size_t inputs = 0, duals = 0;
    for (const auto& call : rig.sizer.calls) {
      if (call.what == 'i') {
        ++inputs;
        EXPECT_EQ(call.first, "in");
      }
      if (call.what == 'e') {
        EXPECT_EQ(call.multi_pass, t.passes > 1);
        duals += call.dual_output;
      }
    }
    EXPECT_EQ(inputs, components);
    EXPECT_EQ(rig.sizer.calls.size(), 3 * components);
    EXPECT_EQ(duals, std::string(t.what) == "dual-output store" ? 1u : 0u);
  }
}

TEST(HardwareBackend, ConstraintsMustBeGiven) {
  BackendRig rig;
  Graph g = test::chain();
  Layers layers = g.all();
  for (HardwareBackend backend : {HardwareBackend(), HardwareBackend(rig.factory())}) {
    try {
      backend.map(&layers, &rig.sequences, nullptr);
      ADD_FAILURE();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Map constraints must be specified");
    }
  }
  EXPECT_EQ(rig.factory_calls, 0);
  EXPECT_EQ(layers.size(), 5u);
  EXPECT_EQ(HardwareBackend().type(), BackendType::Hardware);
}

// Every prefix refused, and the layer that fills the mesh ends the attempt without a failure of
// its own.
TEST(HardwareBackend, NoCompatibleSequence) {
  BackendRig rig;
  rig.checker.sequence_status = {1, "refused"};
  const size_t k = rig.mesh_nps(Type::CNP1);
  Graph g = long_chain(k + 2);
  Layers layers = g.all();
  const Layers before = layers;
  const MappingStatus status = rig.map(&layers);
  EXPECT_EQ(status.code, 1u);
  EXPECT_EQ(status.message, "in -> " + c(k + 2) + ": could not find a compatible sequence");
  EXPECT_EQ(layers, before);
  EXPECT_TRUE(rig.sequences.empty());
}

TEST(HardwareBackend, AnEmptyListIsMappedWithoutASequence) {
  for (const MappingStatus& whole : {MappingStatus{0, "Success"}, MappingStatus{1, "Empty layer sequence"}}) {
    SCOPED_TRACE(whole.message);
    BackendRig rig;
    rig.checker.sequence_status = whole;
    Layers layers;
    const MappingStatus status = rig.map(&layers);
    EXPECT_EQ(status.code, 0u);
    EXPECT_EQ(status.message, "Success");
    EXPECT_TRUE(rig.sequences.empty());
    EXPECT_EQ(rig.checker.sequence_calls.size(), 1u);
    const IpVersionSpecificHardwareBackend backend(*rig.device, rig.factory());
    for (const bool single : {true, false})
      EXPECT_EQ(map_next_sequence(backend, rig.constraints, &layers, &rig.sequences, single).message, "Success");
    EXPECT_TRUE(rig.sequences.empty());
  }
}

// Whatever stops a sequence, the caller's lists are as they were and no layer keeps a mapping,
// also when passes were already closed.
TEST(HardwareBackend, AFailedSequenceLeavesNothingBehind) {
  BackendRig probe;
  const size_t k = probe.mesh_nps(Type::CNP1);
  const struct {
    const char* what;
    std::function<void(BackendRig&)> set_up;
    std::string message;  // a status message, or the text of an exception
    bool throws;
  } cases[] = {
      {"refused layer",
       [](BackendRig& r) {
         r.checker.layer_rule = [](const std::string& n) {
           return n == "c3" ? MappingStatus{1, "no c3"} : MappingStatus{0, "Success"};
         };
       },
       "no c3", false},
      {"refused layer in the second pass",
       [k](BackendRig& r) {
         r.checker.layer_rule = [k](const std::string& n) {
           return n == c(k + 2) ? MappingStatus{1, "no room"} : MappingStatus{0, "Success"};
         };
       },
       "no room", false},
      {"refused placement",
       [](BackendRig& r) {
         r.checker.mappings_status = {1, "bad placement"};
       },
       "bad placement", false},
      {"too many descriptors", [](BackendRig& r) { r.recorder.shapes["c2"] = test::RecordShape{260}; },
       "the maximum number of descriptors is more than allowed", false},
      {"recorder failure", [](BackendRig& r) { r.recorder.failures["c2"] = "boom"; },
       "Error when programming layer 'c2': boom", true},
      {"sizer failure", [](BackendRig& r) { r.sizer.fail_on = "c2"; }, "cannot size c2", true},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    BackendRig rig;
    t.set_up(rig);
    Graph g = long_chain(k + 3);
    Layers layers = g.all();
    const Layers before = layers;
    const auto earlier =
        std::make_shared<HardwareSequence>(rig.device, HardwareConstraints{}, Layers{},
                                           std::vector<std::shared_ptr<Sequence::Pass>>{}, std::vector<uint8_t>{});
    rig.sequences = {earlier};
    const IpVersionSpecificHardwareBackend backend(*rig.device, rig.factory());
    try {
      const MappingStatus status = map_next_sequence(backend, rig.constraints, &layers, &rig.sequences, true);
      EXPECT_FALSE(t.throws);
      EXPECT_EQ(status.code, 1u);
      EXPECT_EQ(status.message, t.message);
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(t.throws);
      EXPECT_EQ(e.what(), t.message);
    }
    EXPECT_EQ(layers, before);
    EXPECT_EQ(rig.sequences, (std::vector<std::shared_ptr<Sequence>>{earlier}));
    for (const auto& l : before) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
  }
}

// Model::map through the services the system registers, with doubles in the back end.
class ModelMapThroughServices : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = system_services(); }
  void TearDown() override { register_system_services(saved_); }
  SystemServices saved_;
};

TEST_F(ModelMapThroughServices, RegisteredServicesMakeTheHardwareBackEnd) {
  register_system_services_with_engine();
  const auto backend = make_backend();
  ASSERT_NE(dynamic_cast<HardwareBackend*>(backend.get()), nullptr);
  EXPECT_EQ(backend->type(), BackendType::Hardware);
  BackendRig rig;
  const auto constraints = default_constraints(rig.device);
  ASSERT_TRUE(constraints);
  EXPECT_EQ(constraints->device(), rig.device);
  EXPECT_EQ(constraints->cnp_max_width(), 64u);
}

TEST_F(ModelMapThroughServices, AModelIsMappedEndToEnd) {
  BackendRig rig;
  register_system_services_with_engine();
  SystemServices services = system_services();
  services.make_backend = [&rig]() -> std::unique_ptr<Backend> {
    return std::make_unique<HardwareBackend>(rig.factory());
  };
  register_system_services(services);

  auto model = test::v2_conv_dense_model();
  model->map(rig.device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto& s = model->sequences()[0];
  EXPECT_EQ(s->name(), "HW/conv-dense");
  EXPECT_EQ(s->backend(), BackendType::Hardware);
  EXPECT_GT(s->program().size, 0u);
  EXPECT_EQ(model->device(), rig.device);
  EXPECT_EQ(nps_of(model->get_layer("conv")).at(0).mem_info, (MemoryInfo{12, 20, 28}));
  // The default constraints were used, not the rig's.
  EXPECT_TRUE(rig.constraints->handled.empty());
  EXPECT_EQ(rig.checker.compatibility_checks, (LayerNames{"conv", "dense"}));

  // A refusal under hw_only reaches the caller as the status message.
  rig.checker.layer_status = {1, "Error when mapping layer 'conv': refused"};
  try {
    model->map(rig.device, true, nullptr);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error when mapping layer 'conv': refused");
  }
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->get_layer("conv")->mapping(), nullptr);
}

}  // namespace
}  // namespace nuvra
