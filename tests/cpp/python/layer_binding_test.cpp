// Layer.Mapping as Python sees it, over hand-made mappings that no model builds.
#include "backend/layer_mapping.h"

#include "embedded_python.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <gtest/gtest.h>

namespace py = pybind11;

namespace nuvra {
namespace {

// A mapped input layer with two NPs, two skip-DMA loads and `stores` stores. The stores are
// reported in store then dual-output order: a merge's dual-output store once.
TEST(LayerMappingBinding, SkipDmaStoresAndAViewThatOutlivesTheMapping) {
  testing::scratch_module();
  const std::tuple<size_t, bool, const char*> cases[] = {  // stores, dual-output merge, reported
      {1, false, "['(4, 1, 0)']"}, {1, true, "['(4, 1, 0)']"}, {2, false, "['(4, 1, 0)']"},
      {2, true, "['(4, 1, 0)', '(4, 1, 1)']"}, {3, false, "[]"}, {3, true, "['(4, 1, 2)']"},
  };
  for (const auto& [stores, dual, reported] : cases) {
    auto m = std::make_shared<LayerMapping>();
    auto at = [](hw::Type type, uint8_t col, size_t id) {
      return hw::Component{type, {col, 1, uint8_t(id), 0}, {}, {}};
    };
    m->nps = std::make_shared<std::vector<hw::Component>>();
    *m->nps = {at(hw::Type::CNP2, 2, 0), at(hw::Type::CNP2, 2, 1)};
    m->skipdma_loads = {at(hw::Type::SKIP_DMA_LOAD, 3, 0), at(hw::Type::SKIP_DMA_LOAD, 3, 1)};
    for (size_t i = 0; i < stores; ++i) m->skipdma_stores.push_back(at(hw::Type::SKIP_DMA_STORE, 4, i));
    m->merge_info = std::make_unique<MergeLayerMapInfo>();
    m->merge_info->dual_output = dual;
    auto params = LayerParams::create(LayerType::InputData, {{"input_width", 2}, {"input_height", 2},
                                                             {"input_channels", 1}});
    auto layer = std::dynamic_pointer_cast<LayerImpl>(Layer::create(params.get(), "in"));
    layer->layer_mapping = m;
    testing::py_run(R"py(
idents = lambda components: str([str(c.ident) for c in components])
view = layer.mapping
unmap()
assert layer.mapping is None and idents(view.skipdma_stores) == reported, idents(view.skipdma_stores)
assert all(s.type.name == "SKIP_DMA_STORE" for s in view.skipdma_stores)
assert idents(view.skipdma_loads) == "['(3, 1, 0)']" and idents(view.nps) == "['(2, 1, 0)', '(2, 1, 1)']"
assert [(c.filters, c.start_neuron, c.single_buffer) for c in view.nps] == [(0, 0, True)] * 2  # no split: whole
)py",
                    {{"layer", py::cast(std::shared_ptr<Layer>(layer))}, {"reported", py::str(reported)},
                     {"unmap", py::cpp_function([layer] { layer->layer_mapping.reset(); })}});
  }
}

}  // namespace
}  // namespace nuvra
