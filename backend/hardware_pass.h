// One mesh configuration of a sequence: the layers the device runs before the NPs are
// reprogrammed. A pass owns its layers' mappings: making it maps them, destroying it unmaps them.
#pragma once

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace nuvra {

class HardwarePass : public Sequence::Pass {
 public:
  using Layers = std::vector<std::shared_ptr<Layer>>;

  // The first pass of a sequence. `components[k]` holds what `layers[k]` was placed on;
  // `dma_event` is the mesh's DMA event endpoint.
  HardwarePass(const Layers& layers, const Layers& all_layers,
               const std::vector<std::vector<hw::Component>>& components, hw::Ident dma_event);
  // A later pass: it starts where `previous` sends its output and is linked to it.
  HardwarePass(const Layers& layers, const Layers& all_layers,
               const std::vector<std::vector<hw::Component>>& components, std::shared_ptr<HardwarePass> previous);
  ~HardwarePass() override;

  HardwarePass(const HardwarePass&) = delete;
  HardwarePass& operator=(const HardwarePass&) = delete;

  // Every layer of the pass, including those that take no NP.
  size_t size() const { return layers.size(); }

 private:
  // What this pass attached to each layer. The layers may be mapped again while this pass is
  // still held (by a Python Sequence): only its own mappings are taken off when it goes.
  std::vector<std::weak_ptr<Layer::Mapping>> attached_;
  void remember_mappings();
};

// Takes the mapping off each layer (layers that cannot hold one are left alone).
void unmap_layers(const std::vector<std::shared_ptr<Layer>>& layers);

}  // namespace nuvra
