// Layer, Layer.Mapping and Variables as Python sees them, over engine objects that no model
// builds: hand-made mappings, unusual shapes and the element types no layer declares.
#include "backend/layer_mapping.h"
#include "python/bindings.h"

#include "embedded_python.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

// The classes, registered once per interpreter in a scratch module (another test may
// have registered some of them already).
py::module_ bindings_module() {
  static const py::handle module = [] {
    py::module_ m = py::module_::import("types").attr("ModuleType")("layer_scratch");
    if (!py::detail::get_type_info(typeid(Layer))) init_layer(m);
    if (!py::detail::get_type_info(typeid(LayerParams))) init_layer_params(m);
    if (!py::detail::get_type_info(typeid(Variables))) init_variables(m);
    if (!py::detail::get_type_info(typeid(hw::Component))) init_np(m);
    return m.release();
  }();
  return py::reinterpret_borrow<py::module_>(module);
}

// Runs `code` with the given objects bound by name. The code reaches classes only through
// objects, since the scratch module may not hold them.
void run(const char* code, std::vector<std::pair<const char*, py::object>> objects) {
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  for (auto& [name, object] : objects) scope[name] = std::move(object);
  py::exec(code, scope);
}

// A layer whose shapes are whatever the test says.
class ShapedLayer final : public LayerImpl {
 public:
  ShapedLayer(std::vector<Shape> inputs, Shape output)
      : LayerImpl(LayerParams::create(LayerType::Add, {}), "shaped"), in_(std::move(inputs)), out_(output) {}
  std::vector<Shape> input_dimensions() const override { return in_; }
  Shape output_dimensions() const override { return out_; }

 private:
  std::vector<Shape> in_;
  Shape out_;
};

py::object layer_object(std::vector<Shape> inputs, Shape output) {
  bindings_module();
  return py::cast(std::shared_ptr<Layer>(std::make_shared<ShapedLayer>(std::move(inputs), output)));
}

TEST(LayerBinding, InputDimsAreFlatOnlyForOneShape) {
  run(R"(
assert none.input_dims == []
assert one.input_dims == [5]
assert two.input_dims == [[], [2, 3]]
assert one.output_dims == [2, 3]
assert two.output_dims == []
)",
      {{"none", layer_object({}, Shape{7, 1, 1})},
       {"one", layer_object({Shape{5}}, Shape{2, 3})},
       {"two", layer_object({Shape{}, Shape{2, 3}}, Shape{})}});
}

hw::Component component(hw::Type type, uint8_t col, uint8_t id) { return {type, {col, 1, id, 0}, {}, {}}; }

// A mapped input layer carrying `mapping`, as Python sees it.
py::object mapped_layer(std::shared_ptr<Layer::Mapping> mapping) {
  auto params = LayerParams::create(LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}});
  std::shared_ptr<Layer> layer = Layer::create(params.get(), "in");
  std::dynamic_pointer_cast<LayerImpl>(layer)->layer_mapping = std::move(mapping);
  bindings_module();
  return py::cast(layer);
}

std::shared_ptr<LayerMapping> skip_mapping(size_t stores, bool merge, bool dual_output) {
  auto m = std::make_shared<LayerMapping>();
  m->nps = std::make_shared<std::vector<hw::Component>>(
      std::vector{component(hw::Type::CNP2, 2, 0), component(hw::Type::CNP2, 2, 1)});
  m->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, 3, 0), component(hw::Type::SKIP_DMA_LOAD, 3, 1)};
  for (size_t i = 0; i < stores; ++i)
    m->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, 4, static_cast<uint8_t>(i)));
  if (merge) {
    m->merge_info = std::make_unique<MergeLayerMapInfo>();
    m->merge_info->dual_output = dual_output;
  }
  return m;
}

constexpr const char* kIdents = R"(
def idents(components):
    return [str(c.ident) for c in components]
)";

TEST(LayerMappingBinding, SkipDmaStoresInStoreThenDualOutputOrder) {
  struct Case {
    size_t stores;
    bool merge, dual;
    const char* expected;
  };
  const Case cases[] = {
      {0, false, false, "[]"},
      {1, false, false, "['(4, 1, 0)']"},
      {1, true, false, "['(4, 1, 0)']"},
      {1, true, true, "['(4, 1, 0)']"},  // reported once, as the dual-output store
      {2, false, false, "['(4, 1, 0)']"},
      {2, true, true, "['(4, 1, 0)', '(4, 1, 1)']"},
      {3, false, false, "[]"},
      {3, true, true, "['(4, 1, 2)']"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.stores << " stores, merge " << c.merge << ", dual " << c.dual);
    run((std::string(kIdents) + R"(
mapping = layer.mapping
assert type(mapping).__name__ == "Mapping"
assert str(idents(mapping.skipdma_stores)) == expected, idents(mapping.skipdma_stores)
assert all(s.type.name == "SKIP_DMA_STORE" for s in mapping.skipdma_stores)
assert idents(mapping.skipdma_loads) == ['(3, 1, 0)']
assert mapping.skipdma_loads[0].type.name == "SKIP_DMA_LOAD"
assert idents(mapping.nps) == ['(2, 1, 0)', '(2, 1, 1)']
)")
            .c_str(),
        {{"layer", mapped_layer(skip_mapping(c.stores, c.merge, c.dual))}, {"expected", py::str(c.expected)}});
  }
}

TEST(LayerMappingBinding, ComponentsAreCopies) {
  auto mapping = skip_mapping(1, false, false);
  run(R"(
first = layer.mapping.nps[0]
first.ident.col = 9
store = layer.mapping.skipdma_stores[0]
store.ident.id = 9
assert layer.mapping.nps[0].ident.col == 2
assert layer.mapping.skipdma_stores[0].ident.id == 0
)",
      {{"layer", mapped_layer(mapping)}});
  EXPECT_EQ(mapping->nps->front().ident.col, 2);
  EXPECT_EQ(mapping->skipdma_stores.front().ident.id, 0);
}

TEST(LayerMappingBinding, OtherMappingKindsHaveNoSkipDmas) {
  auto plain = std::make_shared<Layer::Mapping>();
  plain->nps = std::make_shared<std::vector<hw::Component>>(std::vector{component(hw::Type::FNP3, 5, 0)});
  run((std::string(kIdents) + R"(
assert idents(layer.mapping.nps) == ['(5, 1, 0)']
assert layer.mapping.skipdma_loads == [] and layer.mapping.skipdma_stores == []
assert empty.mapping.nps == []
)")
          .c_str(),
      {{"layer", mapped_layer(plain)}, {"empty", mapped_layer(std::make_shared<Layer::Mapping>())}});
}

TEST(LayerMappingBinding, ViewOutlivesTheLayersMapping) {
  py::object layer = mapped_layer(skip_mapping(2, true, true));
  auto impl = std::dynamic_pointer_cast<LayerImpl>(layer.cast<std::shared_ptr<Layer>>());
  run((std::string(kIdents) + R"(
view = layer.mapping
unmap()
assert layer.mapping is None
assert idents(view.nps) == ['(2, 1, 0)', '(2, 1, 1)']
assert idents(view.skipdma_stores) == ['(4, 1, 0)', '(4, 1, 1)']
)")
          .c_str(),
      {{"layer", layer}, {"unmap", py::cpp_function([impl] { impl->layer_mapping.reset(); })}});
}

// int16 and uint2: element types that no layer declares.
TEST(VariablesBinding, RoundTripAndRefusalOfUndeclaredKinds) {
  auto vars = std::make_shared<VariablesImpl>("L");
  vars->declare({"s", TensorType::int16, Shape{3}});
  vars->declare({"u", TensorType::uint2, Shape{2, 2}});
  bindings_module();
  run(R"(
assert variables.names == ["s", "u"]
variables["s"] = np.array([-32768, 5, 32767], np.int16)
assert variables["s"].dtype == np.int16 and variables["s"].tolist() == [-32768, 5, 32767]
variables["u"] = np.array([[0, 1], [2, 3]], np.uint8)
assert variables["u"].dtype == np.uint8 and variables["u"].tolist() == [[0, 1], [2, 3]]
for name, value, expected in (("s", np.zeros(3, np.int32), "int16"), ("u", np.zeros((2, 2), np.int8), "uint8")):
    try:
        variables[name] = value
        raise AssertionError("stored")
    except ValueError as e:
        assert str(e) == f"Unsupported variable type for {name} expected {expected} received {value.dtype}", str(e)
try:
    variables["u"] = np.full((2, 2), 4, np.uint8)
    raise AssertionError("stored")
except ValueError:
    pass
assert variables["u"].tolist() == [[0, 1], [2, 3]]
)",
      {{"variables", py::cast(std::shared_ptr<Variables>(vars))}});
  EXPECT_EQ(vars->get("u")->type(), TensorType::uint2);
  EXPECT_EQ(vars->get("s")->at<int16_t>(2), 32767);
}

}  // namespace
}  // namespace nuvra
