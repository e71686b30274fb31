// Second-generation models mapped end to end: Model::map through the registered back end, the
// real checker, placement, recorders and serializer, onto a virtual device whose mesh the
// simulated "fpga_v2" board reports. Every hardware sequence produced is read back and checked
// (end_to_end_rig.h).
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "end_to_end_rig.h"
#include "support/model_builders.h"
#include "support/program_check.h"

#include <nuvra/model.h>
#include <nuvra/program_info.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::check_hardware_sequence;
using test::fill_model;
using test::fpga_v2_device;
using test::mapped_layers;
using test::ModelBuilder;
using test::Params;
using test::program_bytes;
using Names = std::vector<std::string>;

Names names_of(const std::vector<std::shared_ptr<Layer>>& layers) {
  Names out;
  for (const auto& l : layers) out.push_back(l->get_name());
  return out;
}

Names sequence_names(const Model& model) {
  Names out;
  for (const auto& s : model.sequences()) out.push_back(s->name());
  return out;
}

Names model_layers(const Model& model) {
  Names out;
  for (const auto& l : model.layers())
    if (l->params()->layer_type() != LayerType::InputData) out.push_back(l->get_name());
  return out;
}

// The message of what `action` throws; "" when it throws nothing.
std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

const Params kConv3{{"filters", 16}, {"kernel_size", 3}};

// hrc (InputConv2D 32x32x3, stride 2) -> c1 (Conv2D 3x3) -> dw (DepthwiseConv2D, stride 2)
// -> c2 (Conv2D 1x1) -> add = Add(dw, c2) -> c3 (Conv2D 3x3, stride 2) -> dense (Dense1D 10).
// A Dense1D may not read a merge layer, hence c3.
std::unique_ptr<Model> skip_model() {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3},
         {"kernel_stride", 2}},
        "hrc")
      .add(LayerType::Conv2D, kConv3, "c1")
      .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}}, "dw")
      .add(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 1}}, "c2")
      .add(LayerType::Add, {}, "add", {"dw", "c2"})
      .add(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 3}, {"kernel_stride", 2}}, "c3")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  auto model = b.take();
  fill_model(*model);
  return model;
}

// An InputConv2D 8x8x3 and `n` Conv2D layers of `filters` 3x3 filters after it.
std::unique_ptr<Model> conv_chain(int n, int filters = 8) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", filters}, {"kernel_size", 3}},
        "hrc");
  for (int i = 1; i <= n; ++i) b.add(LayerType::Conv2D, {{"filters", filters}, {"kernel_size", 3}}, "c" + std::to_string(i));
  auto model = b.take();
  fill_model(*model);
  return model;
}

TEST(EndToEnd, SkipConnectionModelMapsIntoOneVerifiedSequence) {
  auto model = skip_model();
  const auto device = fpga_v2_device();
  model->map(device, true, nullptr);
  EXPECT_EQ(model->device(), device);
  ASSERT_EQ(sequence_names(*model), (Names{"HW/hrc-dense"}));
  const Sequence& sequence = *model->sequences()[0];
  ASSERT_EQ(sequence.passes().size(), 1u);
  EXPECT_EQ(names_of(sequence.passes()[0]->layers), model_layers(*model));
  check_hardware_sequence(sequence, *device);

  // The Add is fused into c3: dw's output goes round through a skip-DMA channel that c3 loads.
  const auto dw = get_layer_mapping(*model->get_layer("dw"));
  const auto add = get_layer_mapping(*model->get_layer("add"));
  const auto c3 = get_layer_mapping(*model->get_layer("c3"));
  const auto dense = get_layer_mapping(*model->get_layer("dense"));
  ASSERT_TRUE(dw && add && c3 && dense);
  ASSERT_EQ(dw->skipdma_stores.size(), 1u);
  ASSERT_EQ(c3->skipdma_loads.size(), 1u);
  EXPECT_EQ(dw->skipdma_stores[0].type, hw::Type::SKIP_DMA_STORE);
  EXPECT_EQ(c3->skipdma_loads[0].type, hw::Type::SKIP_DMA_LOAD);
  EXPECT_EQ(add->id, 255);
  EXPECT_TRUE(!add->nps || add->nps->empty());
  ASSERT_EQ(dense->nps->size(), 1u);
  EXPECT_EQ(dense->nps->at(0).type, hw::Type::FNP3);  // 10 neurons of 130 words fit its memory

  // Sizes worked by hand. c1 reads 16 x 16 x 8 bytes: rows of 16 bytes, 32 words a row over
  // the channels, 16 rows. dw's store keeps frames of its 8 x 8 x 16 output (2 words a row,
  // 256 a frame), 3 + 2 of them since the Add is two levels below dw.
  EXPECT_EQ(get_layer_mapping(*model->get_layer("c1"))->nps->at(0).mem_info.input_size, 2048u);
  EXPECT_EQ(dw->skipdma_stores[0].mem_info.external_size, 5u * 256 * 4);

  // The loader's view: 32 x 32 x 3 bytes in, ten activations out, one pass.
  const auto program = program_bytes(sequence);
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{32, 32, 3}));
  EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 1, 10}));
  EXPECT_EQ(input_memory_required(info), 3072u);
  EXPECT_EQ(output_memory_required(info), 12u);
  EXPECT_EQ(extra_program_memory_required(info), 4u * 256);  // one frame of dw's store
  // A single pass records no dummy descriptor header.
  const auto view = test::open_program(program);
  EXPECT_EQ(view.data->dummy_desc_header()->word_0(), 0u);
  EXPECT_EQ(view.data->dummy_desc_header()->word_1(), 0u);
}

// InputConv2D 224x224x3 (stride 2), then depthwise 3x3 / pointwise 1x1 pairs whose strides halve
// the image down to 7x7 while the channels grow to 1024, a global average pooling on the last
// pointwise layer and a Dense1D head: 28 layers, the first ones split over several NPs.
std::unique_ptr<Model> mobilenet_like() {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 32}, {"kernel_size", 3},
         {"kernel_stride", 2}},
        "hrc");
  const int strides[] = {1, 2, 1, 2, 1, 2, 1, 1, 1, 1, 1, 2, 1};
  const int filters[] = {64, 128, 128, 256, 256, 512, 512, 512, 512, 512, 512, 1024, 1024};
  for (int i = 0; i < 13; ++i) {
    const std::string n = std::to_string(i + 1);
    b.add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", strides[i]}}, "dw" + n);
    Params pw{{"filters", filters[i]}, {"kernel_size", 1}};
    if (i == 12) {
      pw["pool_type"] = static_cast<int>(PoolType::Average);
      pw["pool_size"] = -1;
    }
    b.add(LayerType::Conv2D, pw, "pw" + n);
  }
  b.add(LayerType::Dense1D, {{"units", 10}}, "head");
  auto model = b.take();
  fill_model(*model);
  return model;
}

// The whole list is accepted, but the mesh fills up: one sequence of several passes, each pass
// opening at the layer that did not fit.
TEST(EndToEnd, AModelTooLargeForTheMeshGetsSeveralPassesInOneSequence) {
  struct Case {
    const char* what;
    std::function<std::unique_ptr<Model>()> model;
    bool loop_itself;
  };
  const Case cases[] = {
      {"a chain of 50 convolutions", [] { return conv_chain(50); }, false},
      {"a chain whose layers may loop on their own NPs", [] { return conv_chain(100); }, true},
      {"a MobileNet-like model", mobilenet_like, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto model = c.model();
    const auto device = fpga_v2_device();
    auto constraints = std::make_shared<MapConstraints>(device);
    constraints->set_hwpr_loopitself(c.loop_itself);
    model->map(device, true, constraints);
    ASSERT_EQ(model->sequences().size(), 1u);
    const Sequence& sequence = *model->sequences()[0];
    ASSERT_GE(sequence.passes().size(), 2u);
    Names joined;
    for (const auto& pass : sequence.passes()) {
      const Names names = names_of(pass->layers);
      joined.insert(joined.end(), names.begin(), names.end());
    }
    EXPECT_EQ(joined, model_layers(*model));
    check_hardware_sequence(sequence, *device);

    const auto program = program_bytes(sequence);
    const auto view = test::open_program(program);
    EXPECT_NE(view.data->dummy_desc_header()->word_1(), 0u) << "a several-pass sequence records the dummy header";
    const ProgramInfo info(program.data(), program.size());
    EXPECT_EQ(info.passes().size(), sequence.passes().size());
  }
}

// When the whole list fails (its check, or its single-sequence build), the list is cut into the
// longest acceptable prefixes, each sequence one pass.
TEST(EndToEnd, AListRefusedAsAWholeIsCutIntoSequences) {
  struct Case {
    const char* what;
    std::function<std::unique_ptr<Model>()> model;
    std::vector<Names> sequences;  // layers of each sequence; empty: only check there are several
  };
  const Case cases[] = {
      {"an FNP layer followed by a CNP layer",
       [] {
         ModelBuilder b;
         b.add(LayerType::InputConv2D,
               {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
               "hrc")
             .add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "c1")
             .add(LayerType::Dense1D, {{"units", 16}}, "d1")
             .add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}}, "c2")
             .add(LayerType::Dense1D, {{"units", 4}}, "d2");
         auto m = b.take();
         fill_model(*m);
         return m;
       },
       {{"hrc", "c1", "d1"}, {"c2", "d2"}}},
      // Two tracks a layer (the weights need the extended header): three passes would pass the
      // 256-entry descriptor table, so the single attempt is refused.
      {"more descriptors than one sequence holds", [] { return conv_chain(95, 64); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto model = c.model();
    const auto device = fpga_v2_device();
    model->map(device, true, nullptr);
    const auto& sequences = model->sequences();
    ASSERT_GE(sequences.size(), 2u);
    Names joined;
    std::vector<Names> got;
    for (const auto& s : sequences) {
      EXPECT_EQ(s->passes().size(), 1u) << s->name();
      got.push_back(names_of(s->passes().front()->layers));
      joined.insert(joined.end(), got.back().begin(), got.back().end());
      check_hardware_sequence(*s, *device);
    }
    EXPECT_EQ(joined, model_layers(*model));
    if (!c.sequences.empty()) {
      EXPECT_EQ(got, c.sequences);
    }
  }
}

// A layer the second generation cannot run: under hw_only the map fails with the checker's
// message and leaves the model unmapped; otherwise it and everything after it run in software.
TEST(EndToEnd, AnUnsupportedLayerFailsHwOnlyAndOtherwiseStartsTheSoftwarePart) {
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> build;
    std::string message;
    Names sequences;  // without hw_only
  };
  const Case cases[] = {
      {"Shiftmax after the input",
       [](ModelBuilder& b) {
         b.input(8, 8, 3).add(LayerType::Shiftmax, {}, "sm").add(LayerType::Conv2D, kConv3, "c");
       },
       "Error when mapping layer 'sm': Unsupported layer type on v2.", {"SW/sm-c"}},
      {"MadNorm after a mappable part",
       [](ModelBuilder& b) {
         b.add(LayerType::InputConv2D,
               {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
               "hrc")
             .add(LayerType::Conv2D, kConv3, "c1")
             .add(LayerType::MadNorm, {}, "mad")
             .add(LayerType::Conv2D, kConv3, "c2");
       },
       "Error when mapping layer 'mad': Unsupported layer type on v2.", {"HW/hrc-c1", "SW/mad-c2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    c.build(b);
    Model& model = b.model();
    fill_model(model);
    const auto device = fpga_v2_device();

    EXPECT_EQ(error_of([&] { model.map(device, true, nullptr); }), c.message);
    EXPECT_TRUE(model.sequences().empty());
    EXPECT_EQ(model.device(), nullptr);
    EXPECT_EQ(mapped_layers(model), Names{});

    model.map(device, false, nullptr);
    EXPECT_EQ(sequence_names(model), c.sequences);
    for (const auto& s : test::hardware_sequences(model)) check_hardware_sequence(*s, *device);
    const auto& software = *model.sequences().back();
    EXPECT_EQ(software.backend(), BackendType::Software);
    for (const auto& layer : software.passes().front()->layers) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
  }
}

TEST(EndToEnd, MappingTwiceGivesTheSameBytesAndRemappingLeavesNoStaleMapping) {
  auto model = skip_model();
  const auto device = fpga_v2_device();
  model->map(device, true, nullptr);
  const auto first = program_bytes(*model->sequences().at(0));
  ASSERT_FALSE(first.empty());

  model->map(device, true, nullptr);
  EXPECT_EQ(program_bytes(*model->sequences().at(0)), first);
  auto other = skip_model();
  other->map(fpga_v2_device(), true, nullptr);
  EXPECT_EQ(program_bytes(*other->sequences().at(0)), first) << "another model of the same layers";

  // Editing drops the sequences, and their passes take the mappings with them.
  model->pop_layer();
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->device(), nullptr);
  EXPECT_EQ(mapped_layers(*model), Names{});
  model->add(test::make_layer(LayerType::Dense1D, {{"units", 10}}, "dense"));
  test::fill_variables(*model->get_layer("dense"), 7);  // the seed fill_model gives the 7th layer
  EXPECT_EQ(mapped_layers(*model), Names{});
  model->map(device, true, nullptr);
  EXPECT_EQ(mapped_layers(*model), model_layers(*model));
  EXPECT_EQ(program_bytes(*model->sequences().at(0)), first);

  // A sequence someone still holds keeps its own mappings alive, and dropping it later does
  // not take away the mappings of a newer map call.
  std::shared_ptr<Sequence> held = model->sequences().at(0);
  const auto held_mapping = model->get_layer("c1")->mapping();
  model->add(test::make_layer(LayerType::Conv2D, kConv3, "after"));
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->get_layer("c1")->mapping(), held_mapping);
  model->pop_layer();
  model->map(device, true, nullptr);
  EXPECT_NE(model->get_layer("c1")->mapping(), held_mapping);
  EXPECT_EQ(program_bytes(*held), first);
  held.reset();
  EXPECT_EQ(mapped_layers(*model), model_layers(*model));
  check_hardware_sequence(*model->sequences().at(0), *device);
}

// A Conv2D too wide for one NP's input, a Conv2D whose filters fill several NPs' weight memory,
// and the transposed layers after them.
TEST(EndToEnd, SplitAndTransposedLayersMapAndRecord) {
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> build;
    const char* split;  // a layer that must take several NPs
  };
  const Case cases[] = {
      {"split by width, then transposed",
       [](ModelBuilder& b) {
         b.input(128, 20, 16)
             .add(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 3}}, "wide")
             .add(LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 4}}, "up")
             .add(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, "dwup");
       },
       "wide"},
      {"split by filters",
       [](ModelBuilder& b) {
         b.input(8, 8, 256)
             .add(LayerType::Conv2D, {{"filters", 256}, {"kernel_size", 3}}, "deep")
             .add(LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, "dw")
             .add(LayerType::Conv2DTranspose, {{"filters", 16}, {"kernel_size", 3}}, "up");
       },
       "deep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    c.build(b);
    Model& model = b.model();
    fill_model(model);
    const auto device = fpga_v2_device();
    model.map(device, true, nullptr);
    ASSERT_EQ(model.sequences().size(), 1u);
    check_hardware_sequence(*model.sequences()[0], *device);
    EXPECT_GT(get_layer_mapping(*model.get_layer(c.split))->nps->size(), 1u);
    EXPECT_EQ(mapped_layers(model), model_layers(model));
  }
}

// What the checker accepts the recorders can program. The Dense1D case used to pass the
// checker and then throw "Unsupported padding." while its NP was chosen; the two InputConv2D
// cases pass the HRC rules by design and fail, loudly, when recorded.
TEST(EndToEnd, LayersTheRecordersCannotProgramAreRefusedCleanly) {
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> build;
    std::string message;
    bool software_fallback;  // refused by the checker: without hw_only the model runs in software
  };
  const Params hrc{{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8},
                   {"kernel_size", 3}};
  auto with = [](Params p, const Params& more) {
    for (const auto& [k, v] : more) p[k] = v;
    return p;
  };
  const Case cases[] = {
      {"Dense1D on a spatial input that is not a CNP's",
       [](ModelBuilder& b) { b.input(8, 8, 3).add(LayerType::Dense1D, {{"units", 4}}, "dense"); },
       "Error when mapping layer 'dense': An input of 8x8x3 that does not come from an input, CNP or TNP-B layer "
       "must be flat (1x1xN) to fit in a FNP.",
       true},
      {"InputConv2D with global average pooling",
       [&](ModelBuilder& b) {
         b.add(LayerType::InputConv2D, with(hrc, {{"pool_type", 2}, {"pool_size", -1}}), "hrc")
             .add(LayerType::Conv2D, kConv3, "c");
       },
       "Error when programming layer 'hrc': Wrong pooling at HRC recording.", false},
      {"InputConv2D with two channels",
       [&](ModelBuilder& b) {
         b.add(LayerType::InputConv2D, with(hrc, {{"input_channels", 2}}), "hrc").add(LayerType::Conv2D, kConv3, "c");
       },
       "Error when programming layer 'hrc': Wrong number of channles at HRC recording.", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    c.build(b);
    Model& model = b.model();
    fill_model(model);
    const auto device = fpga_v2_device();
    EXPECT_EQ(error_of([&] { model.map(device, true, nullptr); }), c.message);
    EXPECT_TRUE(model.sequences().empty());
    EXPECT_EQ(mapped_layers(model), Names{});
    if (c.software_fallback) {
      model.map(device, false, nullptr);
      ASSERT_EQ(model.sequences().size(), 1u);
      EXPECT_EQ(model.sequences()[0]->backend(), BackendType::Software);
    } else {
      EXPECT_EQ(error_of([&] { model.map(device, false, nullptr); }), c.message);
      EXPECT_EQ(mapped_layers(model), Names{});
    }
  }
}

}  // namespace
}  // namespace nuvra::v2
