// What the CNP convolution recorders refuse, and with which text: wrong layers, unbuilt and
// unmapped layers, incomplete mappings and bad tensors (refused before any read past them).
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"

#include "cnp_recording_rig.h"

#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::attach;
using test::bare;
using test::expect_error;
using test::list_of;
using test::make_layer;
using test::ModelBuilder;
using test::Params;
using test::part_of;
using test::StubDevice;

using Recorder = std::unique_ptr<program::Record> (*)(const Device&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                      const std::vector<hw::Ident>&, bool, bool);

const hw::Ident kNp{3, 2, 1, 0};
const hw::Ident kDmaEvent{9, 9, 0, 0};

struct Member {
  const char* name;
  Recorder record;
  LayerType type;
  Params params;
};

const Member kMembers[] = {
    {"Conv2D", record_program_conv2d_layer, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}},
    {"DepthwiseConv2D", record_program_dwconv2d_layer, LayerType::DepthwiseConv2D, {{"kernel_size", 3}}},
    {"Conv2DTranspose",
     record_program_transposed_conv2d_layer,
     LayerType::Conv2DTranspose,
     {{"filters", 4}, {"kernel_size", 3}}},
    {"DepthwiseConv2DTranspose",
     record_program_transposed_dwconv2d_layer,
     LayerType::DepthwiseConv2DTranspose,
     {{"kernel_size", 3}}},
};

std::unique_ptr<program::Record> record_with(const Member& member, const Layer& layer,
                                             std::shared_ptr<Layer> next = nullptr) {
  return member.record(StubDevice(), layer, std::move(next), false, false, {}, false, false);
}

// An engine layer seen through a view that can hide its computed records or replace its
// variables, for layers the engine itself would never produce.
class LayerView final : public Layer, public HasConvParams, public HasPoolParams {
 public:
  explicit LayerView(std::shared_ptr<Layer> inner) : inner_(std::move(inner)), own_vars_(inner_->get_name()) {}

  bool hide_conv = false;
  bool hide_pool = false;
  bool use_own_variables = false;
  VariablesImpl& own_variables() { return own_vars_; }

  const ConvParams* conv_params() const override {
    const auto* v = dynamic_cast<const HasConvParams*>(inner_.get());
    return hide_conv || !v ? nullptr : v->conv_params();
  }
  const PoolingCalculatedParams* pool_params() const override {
    const auto* v = dynamic_cast<const HasPoolParams*>(inner_.get());
    return hide_pool || !v ? nullptr : v->pool_params();
  }

  const std::string& get_name() const override { return inner_->get_name(); }
  LayerType type() const override { return inner_->type(); }
  std::vector<Shape> input_dimensions() const override { return inner_->input_dimensions(); }
  Shape output_dimensions() const override { return inner_->output_dimensions(); }
  uint8_t input_bits() const override { return inner_->input_bits(); }
  uint8_t output_bits() const override { return inner_->output_bits(); }
  bool output_signed() const override { return inner_->output_signed(); }
  int input_type_code() const override { return inner_->input_type_code(); }
  bool is_input_layer() const override { return inner_->is_input_layer(); }
  bool splittable() const override { return inner_->splittable(); }
  bool channelwise() const override { return inner_->channelwise(); }
  bool is_kind(int code) const override { return inner_->is_kind(code); }
  bool has_activation() const override { return inner_->has_activation(); }
  bool has_activation_type(ActivationType t) const override { return inner_->has_activation_type(t); }
  bool has_pool_type(PoolType t) const override { return inner_->has_pool_type(t); }
  std::shared_ptr<LearningParams> learning() const override { return inner_->learning(); }
  bool can_learn() const override { return inner_->can_learn(); }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override {
    return std::const_pointer_cast<const Layer>(inner_)->inbound_layers();
  }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inner_->inbound_layers(); }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return inner_->outbound_layers(); }
  const LayerParams* params() const override { return inner_->params(); }
  const Variables* variables() const override {
    return use_own_variables ? &own_vars_ : std::const_pointer_cast<const Layer>(inner_)->variables();
  }
  Variables* variables() override { return use_own_variables ? &own_vars_ : inner_->variables(); }
  std::shared_ptr<const Mapping> mapping() const override {
    return std::const_pointer_cast<const Layer>(inner_)->mapping();
  }
  std::shared_ptr<Mapping> mapping() override { return inner_->mapping(); }

 private:
  std::shared_ptr<Layer> inner_;
  VariablesImpl own_vars_;
};

// input (8, 8, 4) -> "layer", mapped on one NP holding the whole layer.
struct OneNp {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping;

  explicit OneNp(const Member& m, uint32_t start = 0, uint32_t filters = 4) {
    b.input(8, 8, 4).add(m.type, m.params, "layer");
    layer = b.layer("layer");
    const NpSpace whole{0, 0, Shape{8, 8, 4}};
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, whole, whole, start, filters)}, 1, kDmaEvent);
    mapping = get_layer_mapping(*layer);
  }
};

TEST(CnpRecordingErrors, LayerOfAnotherType) {
  for (const Member& recorder : kMembers)
    for (const Member& other : kMembers) {
      if (&recorder == &other) continue;
      OneNp m(other);
      expect_error([&] { record_with(recorder, *m.layer); }, "Invalid layer type for CNP recording.", "",
                   std::string(recorder.name) + " given a " + other.name);
    }
  ModelBuilder b;
  b.input(1, 1, 16).add(LayerType::Dense1D, {{"units", 4}}, "dense");
  for (const Member& recorder : kMembers)
    expect_error([&] { record_with(recorder, *b.layer("dense")); }, "Invalid layer type for CNP recording.", "",
                 std::string(recorder.name) + " given a Dense1D");
}

TEST(CnpRecordingErrors, UnbuiltLayer) {
  const char* expected[] = {"The layer lonely is not built", "The layer lonely is not built",
                            "Cannot get input size before it is set.", "Cannot get input size before it is set."};
  for (size_t i = 0; i < 4; ++i) {
    const Member& member = kMembers[i];
    auto layer = make_layer(member.type, member.params, "lonely");
    const NpSpace whole{0, 0, Shape{8, 8, 4}};
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, whole, whole, 0, 4)}, 1, kDmaEvent);
    expect_error([&] { record_with(member, *layer); }, expected[i], "", member.name);
  }
}

// A convolution without either computed record is refused, the depthwise one included.
TEST(CnpRecordingErrors, MissingConvolutionOrPoolingRecord) {
  for (size_t i = 0; i < 2; ++i) {
    for (int hide = 0; hide < 2; ++hide) {
      OneNp m(kMembers[i]);
      LayerView view(m.layer);
      (hide == 0 ? view.hide_conv : view.hide_pool) = true;
      const std::string what = std::string(kMembers[i].name) + (hide == 0 ? ", no convolution" : ", no pooling");
      expect_error([&] { record_with(kMembers[i], view); }, "The layer layer is not built", "", what);
    }
  }
}

TEST(CnpRecordingErrors, IncompleteMappings) {
  const struct {
    const char* what;
    std::function<void(OneNp&)> setup;
    std::string message;
  } cases[] = {
      {"no mapping", [](OneNp& m) { attach(m.layer, nullptr); }, "The layer layer is not mapped"},
      {"a component without split record", [](OneNp& m) { m.mapping->nps = list_of({bare(hw::Type::CNP1, kNp)}); },
       "The component (3, 2, 1) of layer layer has no split record"},
      {"a fused merge without skip-DMA load",
       [](OneNp& m) { m.mapping->merge_info = std::make_unique<MergeLayerMapInfo>(); },
       "Skip DMA load should not be null."},
      {"a point-to-point output to two NPs",
       [](OneNp& m) {
         m.mapping->next_components.push_back(list_of({bare(hw::Type::CNP1, {4, 1, 0, 0})}));
       },
       "Cannot use P2P OUT mode for multiple NPs"},
  };
  for (const Member& member : kMembers)
    for (const auto& c : cases) {
      OneNp m(member);
      c.setup(m);
      expect_error([&] { record_with(member, *m.layer); }, c.message, "", std::string(member.name) + ", " + c.what);
    }
}

TEST(CnpRecordingErrors, UnmappedNextLayer) {
  for (const Member& member : kMembers) {
    OneNp m(member);
    m.b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "next", {"layer"});
    expect_error([&] { record_with(member, *m.layer, m.b.layer("next")); }, "The layer next is not mapped", "",
                 member.name);
  }
}

TEST(CnpRecordingErrors, UnsupportedKernelSizes) {
  const struct {
    const Member& member;
    int kernel;
  } cases[] = {{kMembers[0], 2}, {kMembers[0], 6}, {kMembers[1], 1}, {kMembers[2], 2}, {kMembers[3], 1}};
  for (const auto& c : cases) {
    Member member = c.member;
    member.params["kernel_size"] = c.kernel;
    OneNp m(member);
    expect_error([&] { record_with(member, *m.layer); }, "ch_cont_size: Unexpected kernel size", "",
                 std::string(member.name) + " " + std::to_string(c.kernel));
  }
}

// Variables of the wrong element type or too short for the NP's filters: the panic texts, and
// nothing read past a tensor (the sanitizer build checks the latter).
TEST(CnpRecordingErrors, BadTensors) {
  const struct {
    const char* what;
    std::vector<VariableDecl> vars;  // every other variable is left out
    std::string prefix, suffix;
    bool depthwise_only = false;
  } cases[] = {
      {"weights of unsigned bytes",
       {{"weights", TensorType::uint8, Shape{3, 3, 4, 4}}, {"input_shift", TensorType::uint4, Shape{4}}},
       "Wrong requested type ",
       " for a tensor of type uint8."},
      {"input shifts of signed bytes",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 4}}, {"input_shift", TensorType::int8, Shape{4}}},
       "Wrong requested type ",
       " for a tensor of type int8."},
      {"output shifts of unsigned bytes",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 4}},
        {"input_shift", TensorType::uint4, Shape{4}},
        {"output_shift", TensorType::uint8, Shape{4}}},
       "Wrong requested type ",
       " for a tensor of type uint8."},
      {"weights of 2 filters for an NP of 4",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 2}}, {"input_shift", TensorType::uint4, Shape{4}}},
       "Coordinates are out-of-range",
       ""},
      {"biases of 3 neurons for an NP of 4",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 4}},
        {"input_shift", TensorType::uint4, Shape{4}},
        {"bias", TensorType::int8, Shape{3}}},
       "Coordinates are out-of-range",
       ""},
      // Depthwise NPs read the shifts of their own channels; a standard convolution takes the
      // whole tensor.
      {"input shifts of 3 channels for an NP of 4",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 4}}, {"input_shift", TensorType::uint4, Shape{3}}},
       "Coordinates are out-of-range",
       "",
       true},
      {"no weights", {{"input_shift", TensorType::uint4, Shape{4}}}, "Layer layer has no variable weights", ""},
      {"no input shifts",
       {{"weights", TensorType::int8, Shape{3, 3, 4, 4}}},
       "Layer layer has no variable input_shift",
       ""},
  };
  for (const Member& member : kMembers) {
    const bool depthwise =
        member.type == LayerType::DepthwiseConv2D || member.type == LayerType::DepthwiseConv2DTranspose;
    for (const auto& c : cases) {
      if (c.depthwise_only && !depthwise) continue;
      OneNp m(member);
      LayerView view(m.layer);
      view.use_own_variables = true;
      for (VariableDecl d : c.vars) {
        // Depthwise weights hold one kernel per channel.
        if (depthwise && d.name == "weights") d.shape = Shape{3, 3, 1, d.shape[3]};
        view.own_variables().declare(d);
      }
      const std::string what = std::string(member.name) + ", " + c.what;
      expect_error([&] { record_with(member, view); }, c.prefix, c.suffix, what);
    }
  }
}

TEST(CnpRecordingErrors, FilterRangePastTheLayer) {
  for (const Member& member : kMembers) {
    OneNp m(member, 2, 4);  // filters 2..5 of a layer of 4
    expect_error([&] { record_with(member, *m.layer); }, "Coordinates are out-of-range", "", member.name);
  }
}

TEST(CnpRecordingErrors, MergeShiftOutOfRange) {
  for (const Member& member : kMembers) {
    OneNp m(member);
    auto merge = std::make_unique<MergeLayerMapInfo>();
    merge->is_add = true;
    merge->a_shift = Dense::create(TensorType::uint8, Shape{4});
    merge->b_shift = Dense::create(TensorType::uint8, Shape{4});
    merge->output_shift = Dense::create(TensorType::int8, Shape{4});
    std::static_pointer_cast<Dense>(merge->a_shift)->set<uint8_t>(1, 4);
    m.mapping->merge_info = std::move(merge);
    m.mapping->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, {1, 1, 3, 1})};
    m.mapping->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>();
    expect_error([&] { record_with(member, *m.layer); }, "4 cannot fit in a 3 bits signed integer", "", member.name);
    // Registers alone read no shift.
    EXPECT_NO_THROW(member.record(StubDevice(), *m.layer, nullptr, false, false, {}, true, false)) << member.name;
    m.mapping->merge_info->b_shift.reset();
    expect_error([&] { record_with(member, *m.layer); }, "The Add layer fused into layer has no shift variables", "",
                 member.name);
  }
}

}  // namespace
}  // namespace nuvra::v2
