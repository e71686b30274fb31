#include "backend/hardware_pass.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "sequence_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra {
namespace {

using test::Components;
using test::Graph;
using test::hrc;
using test::kDmaEvent;
using test::mapping;
using test::np;

const hw::Ident kOtherEvent{7, 7, 0, 0};

TEST(HardwarePassTest, SizeCountsLayersThatTakeNoNp) {
  Graph g;
  g.conv("c1", "in").conv("c2", "c1").dequantizer("dq", "c2");
  HardwarePass pass(g.list({"in", "c1", "c2", "dq"}), g.all(), {{hrc()}, {np(2, 1, 0)}, {np(2, 1, 1)}, {}}, kDmaEvent);
  EXPECT_EQ(pass.size(), 4u);
  EXPECT_TRUE(mapping(g("c1")));
}

TEST(HardwarePassTest, DestructionTakesTheMappingsOff) {
  Graph g = test::chain();
  auto pass = std::make_shared<HardwarePass>(g.list({"in", "c1"}), g.all(), Components{{hrc()}, {np(2, 1, 0)}},
                                             kDmaEvent);
  ASSERT_TRUE(mapping(g("in")));
  ASSERT_TRUE(mapping(g("c1")));
  const auto held = g("c1")->mapping();  // somebody (Python) may still hold one
  pass.reset();
  EXPECT_FALSE(g("in")->mapping());
  EXPECT_FALSE(g("c1")->mapping());
  EXPECT_TRUE(held);

  // A pass whose layers were already unmapped goes quietly.
  auto again = std::make_shared<HardwarePass>(g.list({"in", "c1"}), g.all(), Components{{hrc()}, {np(2, 1, 0)}},
                                              kDmaEvent);
  unmap_layers(again->layers);
  again.reset();
  EXPECT_FALSE(g("c1")->mapping());
}

TEST(HardwarePassTest, AnOldPassLeavesTheMappingsOfANewerOne) {
  Graph g = test::chain();
  auto old_pass = std::make_shared<HardwarePass>(g.list({"in", "c1"}), g.all(), Components{{hrc()}, {np(2, 1, 0)}},
                                                 kDmaEvent);
  // The layers are mapped again while the old pass is still held (by a Python Sequence).
  auto new_pass = std::make_shared<HardwarePass>(g.list({"in", "c1"}), g.all(), Components{{hrc()}, {np(2, 1, 1)}},
                                                 kDmaEvent);
  const auto current = g("c1")->mapping();
  old_pass.reset();
  EXPECT_EQ(g("c1")->mapping(), current);
  EXPECT_TRUE(g("in")->mapping());
  new_pass.reset();
  EXPECT_FALSE(g("c1")->mapping());
  EXPECT_FALSE(g("in")->mapping());
}

TEST(HardwarePassTest, LaterPassStartsWhereThePreviousEnds) {
  Graph g = test::chain();
  auto first = std::make_shared<HardwarePass>(g.list({"in", "c1"}), g.all(), Components{{hrc()}, {np(2, 1, 0)}},
                                              kDmaEvent);
  // Make the previous pass's endpoint recognisable.
  for (auto& list : mapping(g("c1"))->next_components)
    for (auto& c : *list)
      if (c.type == hw::Type::DMA_EVENT) c.ident = kOtherEvent;
  const uint8_t c1_id = mapping(g("c1"))->id;

  HardwarePass second(g.list({"c2", "c3"}), g.all(), Components{{np(2, 1, 1)}, {np(2, 1, 2)}}, first);
  EXPECT_EQ(second.size(), 2u);
  const auto c3 = mapping(g("c3"));
  bool found = false;
  for (const auto& list : c3->next_components)
    for (const auto& c : *list)
      if (c.type == hw::Type::DMA_EVENT) {
        EXPECT_EQ(c.ident, kOtherEvent);
        found = true;
      }
  EXPECT_TRUE(found);

  // c2 is linked to c1, the previous pass's last mappable layer.
  const auto c1 = mapping(g("c1"));
  const auto c2 = mapping(g("c2"));
  EXPECT_EQ(c1->next_id, c1_id + 1);
  EXPECT_EQ(c2->prev_id, c1_id + 1);
  ASSERT_EQ(c1->next_components.size(), 1u);
  EXPECT_EQ(c1->next_components[0], c2->nps);
  EXPECT_EQ(c2->prev_components.back(), c1->nps);
}

// in -> t1 (TNP-B) -> c2, with t1 missing from the list of layers to map: building t1's store
// record cannot find its FIFO index.
struct FailingPass {
  Graph g;
  FailingPass() { g.tnpb("t1", "in").conv("c2", "t1"); }
  test::LayerList all() const { return g.list({"in", "c2"}); }
  Components components() const {
    return {{np(2, 1, 0, hw::Type::TNP_B), np(4, 0, 0, hw::Type::SKIP_DMA_STORE), np(4, 0, 1, hw::Type::SKIP_DMA_LOAD)},
            {np(2, 1, 1)}};
  }
};

TEST(HardwarePassTest, FailedConstructionLeavesNoMapping) {
  {
    FailingPass f;
    try {
      HardwarePass pass(f.g.list({"t1", "c2"}), f.all(), f.components(), kDmaEvent);
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Layer not found in the sequence.");
    }
    EXPECT_FALSE(f.g("t1")->mapping());
    EXPECT_FALSE(f.g("c2")->mapping());
  }
  {
    FailingPass f;
    auto first = std::make_shared<HardwarePass>(f.g.list({"in"}), f.g.all(), Components{{hrc()}}, kDmaEvent);
    EXPECT_THROW(HardwarePass(f.g.list({"t1", "c2"}), f.all(), f.components(), first), std::runtime_error);
    EXPECT_FALSE(f.g("t1")->mapping());
    EXPECT_FALSE(f.g("c2")->mapping());
    EXPECT_TRUE(f.g("in")->mapping());  // the earlier pass keeps its own
  }
}

TEST(HardwarePassTest, LaterPassNeedsItsPredecessor) {
  Graph g = test::chain();
  EXPECT_THROW(HardwarePass(g.list({"c1"}), g.all(), Components{{np(2, 1, 0)}}, std::shared_ptr<HardwarePass>()),
               std::invalid_argument);
  EXPECT_FALSE(g("c1")->mapping());
}

}  // namespace
}  // namespace nuvra
