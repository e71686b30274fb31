#include "backend/skipdma_requests.h"

#include "mapper_rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nuvra::test {
namespace {

using hw::Type;

// The types of the components, in order.
std::vector<Type> types_of(const std::vector<hw::Component>& components) {
  std::vector<Type> t;
  for (const auto& c : components) t.push_back(c.type);
  return t;
}

TEST(SkipDmaRequests, StoreCountsEveryReason) {
  const Graph chain_graph = chain(), residual_graph = residual(), dual_graph = dual_residual();
  const Graph both = dual_and_skip(), tnp = tnp_b_skip();
  Graph plain_tnp;
  plain_tnp.tnpb("t1", "in").conv("c2", "t1");
  const struct {
    const char* layer;
    const Graph* graph;
    size_t stores;
  } cases[] = {
      {"c2", &chain_graph, 0},    // no reason
      {"c1", &residual_graph, 1},  // skip layer
      {"c4", &dual_graph, 1},      // dual output
      {"c4", &both, 2},            // skip layer and dual output
      {"t1", &plain_tnp, 1},       // TNP-B
      {"t1", &tnp, 2},             // TNP-B and skip layer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    const auto stores = request_skipdma_store((*c.graph)(c.layer), c.graph->all());
    EXPECT_EQ(stores, std::vector<hw::Component>(c.stores, hw::Component{Type::SKIP_DMA_STORE, {}, {}, {}}));
  }
}

TEST(SkipDmaRequests, LoadIsOneBareRequest) {
  EXPECT_EQ(request_skipdma_load(), std::vector<hw::Component>{(hw::Component{Type::SKIP_DMA_LOAD, {}, {}, {}})});
}

TEST(SkipDmaRequests, RequestsFollowTheTypesAfterTheFirst) {
  const Graph both = dual_and_skip(), chain_graph = chain();
  const struct {
    const char* what;
    const Graph* graph;
    const char* layer;
    std::vector<Type> types;
    std::vector<Type> appended;
  } cases[] = {
      {"one entry adds nothing", &both, "c4", {Type::SKIP_DMA_STORE}, {}},
      {"store for two reasons", &both, "c4", {Type::CNP1, Type::SKIP_DMA_STORE},
       {Type::SKIP_DMA_STORE, Type::SKIP_DMA_STORE}},
      {"store without reason", &chain_graph, "c2", {Type::CNP1, Type::SKIP_DMA_STORE}, {}},
      {"store then load", &both, "c4", {Type::CNP1, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD},
       {Type::SKIP_DMA_STORE, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}},
      {"any other entry is a load", &chain_graph, "c2", {Type::CNP1, Type::CNP2, Type::FNP3},
       {Type::SKIP_DMA_LOAD, Type::SKIP_DMA_LOAD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    hw::Component existing;
    existing.type = Type::CNP1;
    existing.ident = {2, 1, 0, 0};
    std::vector<hw::Component> components{existing};
    request_skipdma(&components, c.types, (*c.graph)(c.layer), c.graph->all());
    ASSERT_FALSE(components.empty());
    EXPECT_EQ(components.front(), existing);  // appended after what is there
    const std::vector<hw::Component> appended(components.begin() + 1, components.end());
    EXPECT_EQ(types_of(appended), c.appended);
    for (const auto& r : appended) {
      EXPECT_EQ(r.ident, hw::Ident{});
      EXPECT_FALSE(r.split.has_value());
      EXPECT_EQ(r.mem_info, MemoryInfo{});
    }
  }
}

}  // namespace
}  // namespace nuvra::test
