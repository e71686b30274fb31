#include "backend/skipdma_requests.h"

#include "backend/layer_graph.h"

namespace nuvra {

namespace {

// No split record and no ident: the mesh mapper picks the channel.
hw::Component request(hw::Type type) {
  hw::Component c;
  c.type = type;
  return c;
}

}  // namespace

void request_skipdma(std::vector<hw::Component>* components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  for (size_t i = 1; i < types.size(); ++i) {
    const auto requests =
        types[i] == hw::Type::SKIP_DMA_STORE ? request_skipdma_store(layer, layers) : request_skipdma_load();
    components->insert(components->end(), requests.begin(), requests.end());
  }
}

std::vector<hw::Component> request_skipdma_store(const std::shared_ptr<Layer>& layer,
                                                 const std::vector<std::shared_ptr<Layer>>& layers) {
  const size_t n = size_t{layer->is_kind(6)} + size_t{is_skip_layer(layer, layers)} +
                   size_t{is_dual_output_layer(layer, layers)};
  return std::vector<hw::Component>(n, request(hw::Type::SKIP_DMA_STORE));
}

std::vector<hw::Component> request_skipdma_load() { return {request(hw::Type::SKIP_DMA_LOAD)}; }

}  // namespace nuvra
