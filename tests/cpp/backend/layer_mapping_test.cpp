#include "backend/layer_mapping.h"

#include "backend/layer_graph_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace nuvra {
namespace {

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 1, uint8_t id = 0) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, row, id, 0};
  return c;
}

std::shared_ptr<std::vector<hw::Component>> list_of(std::vector<hw::Component> comps) {
  return std::make_shared<std::vector<hw::Component>>(std::move(comps));
}

std::vector<hw::Component> stores(size_t n) {
  std::vector<hw::Component> out;
  for (size_t i = 0; i < n; ++i) out.push_back(comp(hw::Type::SKIP_DMA_STORE, static_cast<uint8_t>(10 + i)));
  return out;
}

TEST(LayerMapping, StoreAndDualOutputStoreByCount) {
  enum class Merge { none, single, dual };
  struct Case {
    size_t stores;
    Merge merge;
    int32_t plain, dual;
  };
  const Case cases[] = {
      {0, Merge::none, -1, -1},   {0, Merge::dual, -1, -1},   {1, Merge::none, 0, -1},
      {1, Merge::single, 0, -1},  {1, Merge::dual, -1, 0},    {2, Merge::none, 0, -1},
      {2, Merge::dual, 0, 1},     {3, Merge::none, -1, -1},   {3, Merge::dual, -1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stores << " stores, merge " << static_cast<int>(c.merge));
    LayerMapping m;
    EXPECT_FALSE(m.skipdma_load());
    m.skipdma_stores = stores(c.stores);
    if (c.merge != Merge::none) {
      m.merge_info = std::make_unique<MergeLayerMapInfo>();
      m.merge_info->dual_output = c.merge == Merge::dual;
    }
    EXPECT_EQ(m.get_skipdma_store_index(), c.plain);
    EXPECT_EQ(m.get_skipdma_store_dual_output_index(), c.dual);

    const LayerMapping& cm = m;
    if (c.plain < 0) {
      EXPECT_FALSE(cm.skipdma_store());
      EXPECT_EQ(m.skipdma_store(), nullptr);
    } else {
      EXPECT_EQ(cm.skipdma_store(), m.skipdma_stores[c.plain]);
      EXPECT_EQ(m.skipdma_store(), &m.skipdma_stores[c.plain]);
    }
    if (c.dual < 0) {
      EXPECT_FALSE(cm.skipdma_store_dual_output());
      EXPECT_EQ(m.skipdma_store_dual_output(), nullptr);
    } else {
      EXPECT_EQ(cm.skipdma_store_dual_output(), m.skipdma_stores[c.dual]);
      EXPECT_EQ(m.skipdma_store_dual_output(), &m.skipdma_stores[c.dual]);
    }
  }
}

TEST(LayerMapping, NonConstStoreIsWrittenInPlace) {
  LayerMapping m;
  m.skipdma_stores = stores(2);
  m.merge_info = std::make_unique<MergeLayerMapInfo>();
  m.merge_info->dual_output = true;
  m.skipdma_store()->mem_info.input_size = 64;
  m.skipdma_store_dual_output()->mem_info.external_size = 128;
  EXPECT_EQ(m.skipdma_stores[0].mem_info.input_size, 64u);
  EXPECT_EQ(m.skipdma_stores[1].mem_info.external_size, 128u);
}

TEST(LayerMapping, PreviousAndNextComponentsPlaceTheStoresBySide) {
  const auto dma = comp(hw::Type::DMA_EVENT, 0, 0);
  const auto np_a = comp(hw::Type::CNP1, 1), np_b = comp(hw::Type::CNP1, 2), np_c = comp(hw::Type::CNP2, 3);
  const auto load = comp(hw::Type::SKIP_DMA_LOAD, 7);
  const auto store = comp(hw::Type::SKIP_DMA_STORE, 8);
  for (bool inputs : {false, true}) {
    SCOPED_TRACE(inputs ? "stores are inputs" : "stores are outputs");
    LayerMapping m;
    m.prev_components = {list_of({dma}), list_of({np_a, np_b})};
    m.next_components = {list_of({np_c}), nullptr};
    m.skipdma_loads = {load};
    m.skipdma_stores = {store};
    m.stores_are_inputs = inputs;
    EXPECT_EQ(m.skipdma_load(), load);
    const auto prev = m.get_prev_component();
    const auto next = m.get_next_components();
    if (inputs) {
      EXPECT_EQ(prev, (std::vector<hw::Component>{dma, np_a, np_b, load, store}));
      EXPECT_EQ(next, (std::vector<hw::Component>{np_c}));
    } else {
      EXPECT_EQ(prev, (std::vector<hw::Component>{dma, np_a, np_b, load}));
      EXPECT_EQ(next, (std::vector<hw::Component>{np_c, store}));
    }
  }
}

struct OtherMapping : Layer::Mapping {};

TEST(LayerMapping, FoundThroughTheLayerOnlyWhenOfThisKind) {
  test::Graph g;
  auto layer = g("in");
  auto* impl = dynamic_cast<LayerImpl*>(layer.get());
  ASSERT_NE(impl, nullptr);
  EXPECT_EQ(get_layer_mapping(*layer), nullptr);

  impl->layer_mapping = std::make_shared<OtherMapping>();
  EXPECT_EQ(get_layer_mapping(*layer), nullptr);

  auto m = std::make_shared<LayerMapping>();
  impl->layer_mapping = m;
  EXPECT_EQ(get_layer_mapping(*layer), m);
  const Layer& const_layer = *layer;
  EXPECT_EQ(get_layer_mapping(const_layer), m);

  // Dropping the layer's reference through the base releases the mapping.
  std::weak_ptr<LayerMapping> watch = m;
  m.reset();
  impl->layer_mapping.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace nuvra
