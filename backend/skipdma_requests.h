// The skip-DMA engines a layer asks for besides its NPs: a store keeps a copy of the
// layer's output for a later layer, a load brings such a copy back as input.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <vector>

namespace nuvra {

// Appends the requests for every entry of `types` after the first (the layer's own NP type):
// the store requests for a SKIP_DMA_STORE entry, one load request for any other entry.
void request_skipdma(std::vector<hw::Component>* components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// One store per reason the layer's output must be kept (0 to 3): a TNP-B layer, a skip layer,
// a dual-output layer.
std::vector<hw::Component> request_skipdma_store(const std::shared_ptr<Layer>& layer,
                                                 const std::vector<std::shared_ptr<Layer>>& layers);

// Exactly one load.
std::vector<hw::Component> request_skipdma_load();

}  // namespace nuvra
