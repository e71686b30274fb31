// The map driver over strategy doubles: passes in single mode, cut mode on a Qrix_v2, refusals,
// and nothing left behind on failure. Single mode, cuts, pending layers and FNP2 reservations of
// the second generation are compared with the literal driver in v2/sequence_cut_test.
#include "backend/hardware_backend.h"

#include "backend/hardware_sequence.h"
#include "backend/layer_mapping.h"
#include "backend/strategy_factory.h"
#include "mapper_rig.h"
#include "support/fake_recorders.h"
#include "v2/fnp_hrc/mapping_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

namespace nuvra::test {
namespace {

using Names = std::vector<std::string>;
using Seqs = std::vector<std::vector<Names>>;  // the layers of each pass of each sequence

Names names_of(const LayerList& layers) { return collect(layers, [](const auto& l) { return l->get_name(); }); }
std::string c(size_t i) { return "c" + std::to_string(i); }
Names cs(size_t from, size_t to, Names head = {}) {  // head, then c<from> .. c<to>
  for (size_t i = from; i <= to; ++i) head.push_back(c(i));
  return head;
}
Graph long_chain(size_t n, Graph g = {}) {  // in -> c1 -> ... -> c<n>
  for (size_t i = 1; i <= n; ++i) g.conv(c(i), i == 1 ? "in" : c(i - 1));
  return g;
}
std::vector<hw::Component> nps_of(const std::shared_ptr<Layer>& l) { return l->mapping() ? *l->mapping()->nps : std::vector<hw::Component>{}; }

// Sequence answers by run, layer answers by name; split parameters of the second generation.
struct ScriptedChecker : FakeChecker {
  std::function<MappingStatus(const std::string&)> layer_rule;
  mutable std::vector<std::pair<Names, size_t>> runs;  // each run checked, with the size of the list
  MappingStatus check_layer_compatibility(const Layer& l, const std::shared_ptr<Layer>& p, HwVersion v) const override {
    return layer_rule ? layer_rule(l.get_name()) : FakeChecker::check_layer_compatibility(l, p, v);
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator b, LayerList::const_iterator e, const LayerList& all, HwVersion v) const override {
    runs.emplace_back(names_of(LayerList(b, e)), all.size());
    return FakeChecker::check_layer_sequence(b, e, all, v);
  }
  NpSplitParams np_split_params(hw::Type t, const LayerParams& p) const override { return v2::np_split_params(t, p); }
};

// 3, 5 and 7 words (70 for a dual-output store).
struct FakeSizer : MemorySizer {
  std::string fail_on;
  uint32_t input_words = 3;
  uint32_t external_words = 7;
  mutable std::vector<std::pair<bool, bool>> externals;  // dual output, multi-pass
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& l, const hw::Component&, const std::shared_ptr<Layer>&) const override {
    if (l->get_name() == fail_on) throw std::runtime_error("cannot size " + fail_on);
    return input_words;
  }
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>&, const hw::Component&) const override { return 5; }
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&, bool d, bool m) const override {
    return externals.emplace_back(d, m), d ? 70 : external_words;
  }
};

// Records the layers handed to the mapper and the candidates first offered to each.
struct WatchingConstraints : MapConstraints {
  using MapConstraints::MapConstraints;
  mutable Names handled;
  mutable std::map<std::string, std::vector<hw::Ident>> offered;
  void next_layer_handler(const std::string& n) const override { handled.push_back(n); }
  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& cands, size_t n, hw::Type t) const override {
    return offered.emplace(handled.empty() ? "" : handled.back(), cands), MapConstraints::select_nps(cands, n, t);
  }
};

// The back end's objects live for one map call: each is a copy of a double of the rig that hands
// its state back when released.
template <typename T>
struct Kept final : T {
  explicit Kept(T* home) : T(*home), home(home) {}
  ~Kept() override { *home = *this; }
  T* home;
};

struct BackendRig {
  explicit BackendRig(HwVersion v = versions::FPGA_v2)
      : device(make_virtual_device(v, discovered_mesh(v == versions::Qrix_v2 ? "qrix_v2" : "fpga_v2"))) {}
  StrategyFactory factory() {
    return [this](const Device&, const HardwareConstraints*) {
      return GenerationStrategies{std::make_unique<Kept<ScriptedChecker>>(&checker), std::make_unique<Kept<FakeSizer>>(&sizer),
                                  std::make_unique<Kept<FakeIoRecorder>>(&io), std::make_unique<Kept<FakeLayerRecorder>>(&recorder)};
    };
  }
  MappingStatus map(LayerList* layers) { return HardwareBackend(factory()).map(layers, &sequences, constraints); }
  MappingStatus map_next(LayerList* layers, bool single) {
    return map_next_sequence(IpVersionSpecificHardwareBackend(*device, factory()), constraints, layers, &sequences, single);
  }
  size_t cnp1() const { return device->mesh()->nps.size(); }  // every NP of both presets offers CNP1
  Seqs mapped() const {
    return collect(sequences, [](const auto& s) { return collect(s->passes(), [](const auto& p) { return names_of(p->layers); }); });
  }
  std::shared_ptr<Device> device;
  std::shared_ptr<WatchingConstraints> constraints = std::make_shared<WatchingConstraints>(device);
  ScriptedChecker checker;
  FakeSizer sizer;
  FakeIoRecorder io;
  FakeLayerRecorder recorder;
  std::vector<std::shared_ptr<Sequence>> sequences;
};

// A full mesh opens a pass at the layer that did not fit; that layer may take the NPs of the
// layer before it only when layers loop on their own NPs.
TEST(HardwareBackend, AFullMeshOpensAnotherPassInSingleMode) {
  for (const bool loop_itself : {false, true}) {
    BackendRig rig;
    rig.constraints->set_hwpr_loopitself(loop_itself);
    const size_t k = rig.cnp1();
    Graph g = long_chain(2 * k + 1);
    LayerList layers = g.all();
    ASSERT_EQ(rig.map(&layers).message, "Success");
    EXPECT_EQ(rig.mapped(), (Seqs{{cs(1, k, {"in"}), cs(k + 1, 2 * k), {c(2 * k + 1)}}}));
    EXPECT_EQ(rig.sizer.externals, std::vector(2 * k + 2, std::pair{false, true}));  // sized as a multi-pass sequence
    for (const size_t opener : {k + 1, 2 * k + 1}) {
      const auto& offered = rig.constraints->offered[c(opener)];
      EXPECT_EQ(std::make_pair(offered.size(), bool(std::count(offered.begin(), offered.end(), nps_of(g(c(opener - 1))).at(0).ident))),
                std::make_pair(loop_itself ? k : k - 1, loop_itself));
    }
  }
}

// The layer before the one that opens the pass may hold no NPs (a Dequantizer, or a merge fused
// into the opener): the opener still avoids the NPs of the last layer that holds some.
TEST(HardwareBackend, APassOpenedAfterALayerWithoutNpsAvoidsTheLastNpsHeld) {
  // What comes between, and whether it ends the first pass (a merge is held for its reader).
  const std::tuple<const char*, std::function<void(Graph&, size_t)>, bool> rows[] = {
      {"Dequantizer", [](Graph& g, size_t k) { g.dequantizer("x", c(k)).conv(c(k + 1), "x"); }, true},
      {"merge", [](Graph& g, size_t k) { g.add("x", c(k - 1), c(k)).conv(c(k + 1), "x"); }, false},
  };
  for (const auto& [between, extend, ends_first] : rows) {
    SCOPED_TRACE(between);
    BackendRig rig;
    const size_t k = rig.cnp1();
    Graph g = long_chain(k);
    extend(g, k);
    LayerList layers = g.all();
    ASSERT_EQ(rig.map(&layers).message, "Success");
    Names first = cs(1, k, {"in"}), second = {"x", c(k + 1)};
    if (ends_first) first.push_back("x"), second.erase(second.begin());
    EXPECT_EQ(rig.mapped(), (Seqs{{first, second}}));
    const auto& offered = rig.constraints->offered[c(k + 1)];
    const hw::Ident held = nps_of(g(c(k))).at(0).ident;
    EXPECT_EQ(std::make_pair(offered.size(), std::count(offered.begin(), offered.end(), held)), std::make_pair(k - 1, std::ptrdiff_t{0}));
  }
}

// The external memory of all sequences, in bytes, is counted up to 2^32 - 1 (its 32-bit figure);
// past that a sequence is refused (AFailedSequenceLeavesNothingBehind), the earlier ones included.
TEST(HardwareBackend, TheExternalMemoryTotalFitsItsByteCount) {
  BackendRig rig(versions::Qrix_v2);
  const size_t k = rig.cnp1();
  Graph g = long_chain(k + 3);
  LayerList layers = g.all();
  const uint64_t components = k + 4;  // the HRC's and one NP per CNP layer, over two sequences
  rig.sizer.external_words = static_cast<uint32_t>(0xFFFFFFFFull / 4 / components);
  ASSERT_EQ(rig.map(&layers).message, "Success");
  ASSERT_EQ(rig.sequences.size(), 2u);
  EXPECT_EQ(external_memory_size(rig.sequences), components * 4 * rig.sizer.external_words);

  BackendRig over(versions::Qrix_v2);
  over.sizer.external_words = rig.sizer.external_words + 1;
  layers = g.all();
  EXPECT_THAT([&] { over.map(&layers); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(
                                              "bytes, does not fit a byte count.")));
}

// A Qrix_v2 is cut from the start, without the whole-list attempt: each sequence is the longest
// acceptable prefix, ending before the layer that fills the mesh, each with a fresh NP table.
// (Second-generation cuts are compared with the literal driver in v2/sequence_cut_test.)
TEST(HardwareBackend, AQrixV2IsCutFromTheStart) {
  BackendRig rig(versions::Qrix_v2);
  const size_t k = rig.cnp1();
  Graph g = long_chain(k + 3);
  LayerList layers = g.all();
  ASSERT_EQ(rig.map(&layers).message, "Success");
  EXPECT_EQ(rig.mapped(), (Seqs{{cs(1, k, {"in"})}, {cs(k + 1, k + 3)}}));
  ASSERT_EQ(rig.checker.runs.size(), (k + 1) + 3);
  EXPECT_EQ(std::make_tuple(rig.checker.runs[1], rig.checker.runs[k + 1], rig.constraints->offered[c(k + 1)].size()),
            std::make_tuple(std::pair<Names, size_t>{{"in", "c1"}, k + 4}, std::pair<Names, size_t>{{c(k + 1)}, 3}, k));
}

// A single attempt that the descriptor table cannot hold runs to its end before cut mode takes
// over: every layer is handed to the mapper (a watching hook sees them all), and a recording
// failure in a pass past the table's limit refuses the map. The outcome is the same whether or not
// hooks watch.
TEST(HardwareBackend, ASingleAttemptRunsToItsEndWatchedOrNot) {
  const size_t k = BackendRig().cnp1();
  ASSERT_GE(k, 20u);  // 12 passes of k layers overflow the table
  for (const bool fails : {false, true}) {
    std::vector<std::pair<Seqs, std::string>> outcomes;
    for (const bool watched : {true, false}) {
      BackendRig rig;
      if (fails) rig.recorder.failures[c(11 * k)] = "boom";
      const auto constraints = watched ? std::shared_ptr<MapConstraints>(rig.constraints)
                                       : std::make_shared<MapConstraints>(rig.device);
      Graph g = long_chain(12 * k);
      LayerList layers = g.all();
      std::string outcome;
      try {
        outcome = HardwareBackend(rig.factory()).map(&layers, &rig.sequences, constraints).message;
      } catch (const std::runtime_error& e) {
        outcome = e.what();
      }
      outcomes.emplace_back(rig.mapped(), outcome);
      if (watched && !fails) {  // the whole list once, then each cut sequence's layers and the next one's first
        ASSERT_GE(rig.constraints->handled.size(), 12 * k);
        EXPECT_EQ(Names(rig.constraints->handled.begin(), rig.constraints->handled.begin() + 12 * k), cs(1, 12 * k));
      }
    }
    EXPECT_EQ(outcomes[0], outcomes[1]);
    EXPECT_EQ(outcomes[1].second, fails ? "Error when programming layer '" + c(11 * k) + "': boom" : "Success");
    EXPECT_EQ(outcomes[1].first.size(), fails ? 0u : 12u);
  }
}

// A sequence that cannot hold a layer (a refusal of the recorded program, or programs past what a
// pass counts) ends before it, whether the whole list was tried first or not; a layer refused
// when it opens its sequence is refused with its name, and it and the layers after it stay.
TEST(HardwareBackend, ASequenceThatCannotHoldALayerEndsBeforeIt) {
  for (const HwVersion v : {versions::FPGA_v2, versions::Qrix_v2}) {
    BackendRig rig(v);
    rig.recorder.refusals[c(3)] = "no room";
    Graph g = long_chain(5);
    LayerList layers = g.all();
    ASSERT_EQ(rig.map(&layers).message, "Success");
    EXPECT_EQ(rig.mapped(), (Seqs{{cs(1, 2, {"in"})}, {cs(3, 5)}}));

    // The SCC's descriptor, 1 for each layer but 253 for c2 and 260 for c4: a pass counts 254.
    BackendRig tracks(v);
    tracks.recorder.shapes = {{c(2), RecordShape{253}}, {c(4), RecordShape{260}}};
    layers = g.all();
    EXPECT_EQ(tracks.map(&layers).message,
              "Error when mapping layer 'c4': the maximum number of descriptors is more than allowed");
    EXPECT_EQ(tracks.mapped(), (Seqs{{cs(1, 1, {"in"})}, {{c(2)}}, {{c(3)}}}));
    EXPECT_EQ(names_of(layers), cs(4, 5));
    for (const auto& l : layers) EXPECT_EQ(l->mapping(), nullptr);
  }
}

TEST(HardwareBackend, RefusalsOfTheWholeCall) {
  BackendRig rig;
  const size_t k = rig.cnp1();
  Graph g = long_chain(k + 2);
  LayerList layers = g.all(), empty;
  EXPECT_THAT([&] { HardwareBackend().map(&layers, &rig.sequences, nullptr); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("Map constraints must be specified")));
  // Every prefix refused, and the layer that fills the mesh ends the attempt without a failure.
  rig.checker.sequence_status = {1, "refused"};
  EXPECT_EQ(rig.map(&layers).message, "in -> " + c(k + 2) + ": could not find a compatible sequence");
  EXPECT_EQ(layers, g.all());
  EXPECT_EQ(rig.map(&empty).message, "Success");  // an empty list: no sequence, whatever the checker says
  EXPECT_TRUE(rig.sequences.empty());
}

// Whatever stops a sequence, the caller's lists are as they were and no layer keeps a mapping,
// also when passes were already closed.
TEST(HardwareBackend, AFailedSequenceLeavesNothingBehind) {
  const size_t k = BackendRig().cnp1();
  auto refuse = [](std::string name) {
    return [=](BackendRig& r) { r.checker.layer_rule = [=](const std::string& n) { return n == name ? MappingStatus{1, "no " + n} : MappingSuccess(); }; };
  };
  const std::pair<std::function<void(BackendRig&)>, std::string> cases[] = {
      {refuse("c3"), "no c3"},
      {refuse(c(k + 2)), "no " + c(k + 2)},  // in the second pass
      {[](BackendRig& r) { r.checker.mappings_status = {1, "bad placement"}; }, "bad placement"},
      {[](BackendRig& r) { r.recorder.shapes["c2"] = RecordShape{260}; }, "the maximum number of descriptors is more than allowed"},
      {[](BackendRig& r) { r.recorder.failures["c2"] = "boom"; }, "Error when programming layer 'c2': boom"},
      {[](BackendRig& r) { r.sizer.fail_on = "c2"; }, "cannot size c2"},
      // Words that make more than 2^32 - 1 bytes are refused, not wrapped.
      {[](BackendRig& r) { r.sizer.input_words = 0x40000000; }, "The input memory of layer in, 1073741824 words, does not fit a byte count."},
      // So is a total of 2^31 bytes for each of the k + 4 components (the HRC's, one NP per CNP layer).
      {[](BackendRig& r) { r.sizer.external_words = 0x20000000; },
       "The external memory of the mapped layers, " + std::to_string(uint64_t{k + 4} << 31) + " bytes, does not fit a byte count."},
  };
  for (const auto& [set_up, message] : cases) {
    BackendRig rig;
    set_up(rig);
    Graph g = long_chain(k + 3);
    LayerList layers = g.all();
    rig.sequences = {std::make_shared<HardwareSequence>(rig.device, HardwareConstraints{}, LayerList{},
                                                        std::vector<std::shared_ptr<Sequence::Pass>>{}, std::vector<uint8_t>{})};
    const auto earlier = rig.sequences;
    try {
      EXPECT_EQ(rig.map_next(&layers, true).message, message);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(layers, g.all());
    EXPECT_EQ(rig.sequences, earlier);
    for (const auto& l : layers) EXPECT_EQ(l->mapping(), nullptr) << message;
  }
}

// A full mesh that would close a pass between the two layers an alternate pair takes its output
// through ends the single attempt with the refusal, before the mapping builder would throw on the
// pass; nothing is left behind, and cut mode takes over.
TEST(HardwareBackend, APassThatWouldSplitAnAlternatePairEndsTheSingleAttempt) {
  BackendRig rig;
  const size_t k = rig.cnp1();
  Graph g = long_chain(k - 1);
  g.conv("a", c(k - 1)).conv("b", c(k - 1)).add("add", "a", "b").conv("z", "add");
  LayerList layers = g.all();
  EXPECT_EQ(rig.map_next(&layers, true).message,
            "Error when mapping layer '" + c(k - 1) +
                "': Its outputs 'a' and 'b' are as deep, so they take its output together in its pass; 'b' is not in "
                "that pass.");
  EXPECT_EQ(layers, g.all());
  EXPECT_TRUE(rig.sequences.empty());
  for (const auto& l : layers) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
  // One NP fewer before the fork: the pair shares the first pass.
  BackendRig fits;
  Graph h = long_chain(k - 2);
  h.conv("a", c(k - 2)).conv("b", c(k - 2)).add("add", "a", "b").conv("z", "add");
  layers = h.all();
  EXPECT_EQ(fits.map_next(&layers, true).message, "Success");
  Names first = cs(1, k - 2, {"in"});
  first.insert(first.end(), {"a", "b"});
  EXPECT_EQ(fits.mapped(), (Seqs{{first, {"add", "z"}}}));
}

}  // namespace
}  // namespace nuvra::test
