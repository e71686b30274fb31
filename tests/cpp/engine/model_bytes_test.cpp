// Model bytes: round trips, determinism, and refusal of every kind of bad buffer.
#include <gtest/gtest.h>

#include <nuvra/model.h>
#include <nuvra/model_generated.h>
#include <nuvra/variables.h>

#include "support/error_text.h"
#include "support/model_builders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

namespace nuvra {
namespace {

using test::ModelBuilder;
using Bytes = std::vector<uint8_t>;

// Bytes valid for each variable's type, varied by position and seed.
void set_all(Layer& layer, uint32_t seed) {
  Variables& vars = *layer.variables();
  for (const auto& name : vars.names()) {
    auto t = Dense::create(vars.get(name)->type(), vars.get(name)->shape(), vars.get(name)->layout());
    for (size_t i = 0; i < t->storage().size(); ++i) {
      const uint32_t h = (static_cast<uint32_t>(i) * 2654435761u + ++seed * 40503u) >> 11;
      t->storage().data()[i] = t->type() == TensorType::bit ? h & 1 : t->type() == TensorType::uint4 ? h % 16 : h;
    }
    vars.set(name, t);
  }
}

// Two convolutions into a skip connection, then depthwise (left unset), dense, dequantizer.
std::unique_ptr<Model> v2_model() {
  ModelBuilder b;
  b.input(2, 2, 2).add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}}, "a");
  b.add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}, {"activation", 0}}, "b");
  b.add(LayerType::Add, {}, "s", {"a", "b"}).add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw");
  b.add(LayerType::Dense1D, {{"units", 2}}, "d").add(LayerType::Dequantizer, {}, "deq");
  for (const char* name : {"a", "b", "s", "d", "deq"}) set_all(*b.layer(name), name[0]);
  return b.take();
}

// A compiled first-generation classifier with learnt weights.
std::unique_ptr<Model> v1_model() {
  ModelBuilder b;
  b.input(3, 3, 1, 1).add(LayerType::Convolutional, {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}}, "c");
  b.add(LayerType::FullyConnected, {{"units", 2}}, "f");
  b.model().compile(LearningParams::create(LearningType::Unsupervised, {{"num_classes", 1}, {"num_weights", 4},
                                           {"initial_plasticity", 0.5}, {"plasticity_decay", -0.0}}));
  set_all(*b.layer("c"), 7);
  set_all(*b.layer("f"), 9);
  return b.take();
}

std::string refusal(const char* data, size_t size) {
  return test::error_text<std::invalid_argument>([&] { Model::from_buffer(data, size); });
}

// Saving is deterministic, and save -> load -> save gives the same bytes, from any address.
TEST(ModelBytes, RoundTripsGiveEqualBytes) {
  const std::vector<std::function<std::unique_ptr<Model>()>> makers = {Model::create, v2_model, v1_model};
  for (const auto& make : makers) {
    const Bytes saved = make()->to_buffer();
    EXPECT_EQ(saved, make()->to_buffer());
    std::vector<char> shifted(saved.size() + 1);
    std::memcpy(shifted.data() + 1, saved.data(), saved.size());
    auto loaded = Model::from_buffer(shifted.data() + 1, saved.size());
    EXPECT_EQ(loaded->to_buffer(), saved);
    EXPECT_TRUE(!loaded->get_layer("f") || loaded->get_layer("f")->learning() == loaded->learning());
  }
}

// Unset variables are written with their initial values without making their storage. A model
// loaded from bytes it may keep holds its variables in them: they outlive the caller's share, and
// changing one variable changes nothing else.
TEST(ModelBytes, VariablesKeepTheBytesTheyWereLoadedFrom) {
  auto model = v2_model();
  const Bytes saved = model->to_buffer();
  const auto& dw = dynamic_cast<const VariablesImpl&>(*model->get_layer("dw")->variables());
  EXPECT_FALSE(dw.materialised("weights") || dw.materialised("output_scales"));
  std::shared_ptr<uint8_t[]> bytes(new uint8_t[saved.size()]);
  std::memcpy(bytes.get(), saved.data(), saved.size());
  auto loaded = Model::from_buffer(std::move(bytes), saved.size());
  EXPECT_EQ(loaded->to_buffer(), saved);
  const auto a = loaded->get_layer("a")->variables()->get("weights");
  std::fill(a->storage().data(), a->storage().data() + a->storage().size(), 1);
  auto expected = Model::from_buffer(reinterpret_cast<const char*>(saved.data()), saved.size());
  expected->get_layer("a")->variables()->set("weights", a);
  EXPECT_EQ(loaded->to_buffer(), expected->to_buffer());
}

double saved_plasticity(const Bytes& b) {
  const auto p = model_fb::GetModel(b.data())->learning()->plasticity();
  return p ? *p : -1.0;
}

// The plasticity is written from the start (the initial one before any learning), then where
// each learnt sample has taken it: 1 halved by 20 samples is 2^-20, and a decay of 1 takes it to
// the minimum, 0, which loads as it is. A file written before the field existed has a shorter
// Learning vtable; it loads and starts again from the initial one.
TEST(ModelBytes, PlasticityIsSavedAndOlderFilesStartAgain) {
  for (const auto& [decay, reached] : {std::pair{0.5, std::ldexp(1.0, -20)}, {1.0, 0.0}}) {
    SCOPED_TRACE(decay);
    auto model = ModelBuilder().input(16, 1, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc").take();
    model->compile(LearningParams::create(LearningType::Unsupervised,
                                          {{"num_weights", 8}, {"num_classes", 2}, {"initial_plasticity", 1},
                                           {"min_plasticity", 0}, {"plasticity_decay", decay}}));
    EXPECT_EQ(saved_plasticity(model->to_buffer()), 1.0);
    auto inputs = Dense::create(TensorType::uint8, Shape{20, 16, 1, 1});
    for (size_t i = 0; i < inputs->size(); ++i) inputs->data<uint8_t>()[i] = (i * 7 + i / 16) % 3 == 0;
    std::vector<int32_t> labels(20);
    for (size_t i = 0; i < labels.size(); ++i) labels[i] = static_cast<int32_t>(i % 2);
    model->fit(inputs, labels);
    Bytes saved = model->to_buffer();
    EXPECT_EQ(saved_plasticity(saved), reached);
    EXPECT_EQ(Model::from_buffer(reinterpret_cast<const char*>(saved.data()), saved.size())->to_buffer(), saved);

    const auto* learning = reinterpret_cast<const flatbuffers::Table*>(model_fb::GetModel(saved.data())->learning());
    const auto vtable = learning->GetVTable() - saved.data();
    const uint16_t without = model_fb::Learning::VT_PLASTICITY;  // the vtable's size ends before the field
    std::memcpy(saved.data() + vtable, &without, sizeof without);
    ASSERT_FALSE(model_fb::GetModel(saved.data())->learning()->plasticity());
    std::shared_ptr<uint8_t[]> older(new uint8_t[saved.size()]);
    std::memcpy(older.get(), saved.data(), saved.size());
    const Bytes again = Model::from_buffer(std::move(older), saved.size())->to_buffer();
    EXPECT_EQ(saved_plasticity(again), 1.0);
  }
}

// A model beyond what the format holds is refused before writing, still without storage: two
// declared variables of 2^31 bytes each.
TEST(ModelBytes, TooLargeModelsAreRefusedBeforeWriting) {
  auto huge = ModelBuilder().input(65535, 32768, 1).add(LayerType::Dense1D, {{"units", 1}}, "dense").take();
  const std::string e = test::error_text<std::runtime_error>([&] { huge->to_buffer(); });
  EXPECT_NE(e.find("too large to serialise"), std::string::npos) << e;
  EXPECT_FALSE(dynamic_cast<const VariablesImpl&>(*huge->get_layer("dense")->variables()).materialised("weights"));
}

// A corrupted unit count declares a weight tensor of 67 M elements within the shape limits.
// It is refused by comparing declarations, never by making (and zero-filling) that storage
// first: the reason shows which step refused it. Sizes are checked before any byte is read.
TEST(ModelBytes, RefusesBadBuffersBeforeAnyStorage) {
  Bytes units = ModelBuilder().input(2, 2, 4).add(LayerType::Dense1D, {{"units", 77}}, "dense").take()->to_buffer();
  for (const model_fb::Param* p : *model_fb::GetModel(units.data())->layers()->Get(1)->params()) {
    const auto* value = reinterpret_cast<const flatbuffers::Table*>(p)->GetAddressOf(model_fb::Param::VT_VALUE);
    if (p->key()->str() == "units") units[value - units.data() + 3] = 4;
  }
  Bytes wrong_id = v1_model()->to_buffer(), learning = wrong_id;
  wrong_id[4] ^= 0x20;  // "NVRM" -> "nVRM"
  const auto* held = reinterpret_cast<const flatbuffers::Table*>(model_fb::GetModel(learning.data())->learning());
  learning[held->GetAddressOf(model_fb::Learning::VT_LAYER) - learning.data()] = 3;  // one past the last layer
  const auto plasticity_at = held->GetAddressOf(model_fb::Learning::VT_PLASTICITY) - learning.data();
  std::vector<Bytes> plasticities;
  for (const double p : {-1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    Bytes b = v1_model()->to_buffer();
    std::memcpy(b.data() + plasticity_at, &p, sizeof p);
    plasticities.push_back(std::move(b));
  }
  const std::tuple<const void*, size_t, const char*> cases[] = {
      {nullptr, 0, "no bytes"},  // what the file reader passes for a stream of 0 bytes
      {"NVRMNVRM", 7, "7 bytes are too few"},
      {"not a model", size_t{1} << 31, "2147483648 bytes are too many"},
      {wrong_id.data(), wrong_id.size(), "not a model (wrong identifier)"},
      {units.data(), units.size(), "variable weights of layer 1 (dense) is int8 (16, 77) layout 0, "
                                   "the layer declares int8 (16, 67108941) layout 0"},
      {learning.data(), learning.size(), "the learning layer 3 is not among the 3 layers"},
      {plasticities[0].data(), plasticities[0].size(), "the plasticity -1 is not a finite number of at least 0"},
      {plasticities[1].data(), plasticities[1].size(), "the plasticity inf is not a finite number of at least 0"},
      {plasticities[2].data(), plasticities[2].size(), "the plasticity nan is not a finite number of at least 0"},
  };
  for (const auto& [data, size, reason] : cases)
    EXPECT_EQ(refusal(static_cast<const char*>(data), size), std::string("Invalid model buffer: ") + reason);
}

// A model's bytes (without learning) as plain values, to be changed and written again.
struct Stored {
  struct Variable {
    std::string name;
    int32_t type, layout;
    std::vector<uint32_t> shape;
    Bytes data;
  };
  struct Layer {
    std::string name;
    int32_t type;
    std::vector<std::pair<std::string, int32_t>> params;
    std::vector<uint32_t> inbound;
    std::vector<Variable> variables;
    Variable& variable(const std::string& n) {
      return *std::find_if(variables.begin(), variables.end(), [&](const Variable& v) { return v.name == n; });
    }
  };
  uint32_t format_version;
  std::vector<Layer> layers;

  explicit Stored(const Bytes& b) : format_version(model_fb::GetModel(b.data())->format_version()) {
    for (const model_fb::Layer* l : *model_fb::GetModel(b.data())->layers()) {
      Layer& out = layers.emplace_back(
          Layer{l->name()->str(), l->type(), {}, {l->inbound()->begin(), l->inbound()->end()}, {}});
      for (const model_fb::Param* p : *l->params()) out.params.emplace_back(p->key()->str(), p->value());
      for (const model_fb::Variable* v : *l->variables())
        out.variables.push_back({v->name()->str(), v->type(), v->layout(), {v->shape()->begin(), v->shape()->end()},
                                 {v->data()->begin(), v->data()->end()}});
    }
  }
  Bytes bytes() const {
    flatbuffers::FlatBufferBuilder fbb;
    std::vector<flatbuffers::Offset<model_fb::Layer>> all;
    for (const Layer& l : layers) {
      std::vector<flatbuffers::Offset<model_fb::Param>> params;
      for (const auto& [key, value] : l.params) params.push_back(model_fb::CreateParamDirect(fbb, key.c_str(), value));
      std::vector<flatbuffers::Offset<model_fb::Variable>> vars;
      for (const Variable& v : l.variables)
        vars.push_back(model_fb::CreateVariableDirect(fbb, v.name.c_str(), v.type, v.layout, &v.shape, &v.data));
      all.push_back(model_fb::CreateLayerDirect(fbb, l.name.c_str(), l.type, &params, &l.inbound, &vars));
    }
    model_fb::FinishModelBuffer(fbb, model_fb::CreateModelDirect(fbb, format_version, "test", &all));
    return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
  }
};

// What the schema cannot express, each at its edge: the format version, layer types, inbound
// indices, variable types, layouts, ranks, dimensions and counts, and repeated parameter keys.
TEST(ModelBytes, ContentsTheSchemaCannotExpressAreRefused) {
  const Bytes saved = ModelBuilder().input(2, 2, 1).add(LayerType::Dense1D, {{"units", 2}}, "dense").take()->to_buffer();
  using Change = std::function<void(Stored&)>;
  const std::pair<Change, std::string> cases[] = {
      {[](Stored&) {}, "<no error>"},
      {[](Stored& s) { s.format_version = 2; }, "unsupported format version 2"},
      {[](Stored& s) { s.layers[1].type = 0; }, "layer 1 (dense) has the unknown type 0"},
      {[](Stored& s) { s.layers[1].type = kLayerTypeCount; }, "layer 1 (dense) has the unknown type 26"},
      {[](Stored& s) { s.layers[1].inbound = {}; }, "layer 1 (dense) has no inbound layer"},
      {[](Stored& s) { s.layers[1].inbound = {1}; }, "layer 1 (dense) names inbound layer 1, not an earlier one"},
      {[](Stored& s) { s.layers[1].variable("weights").type = 10; },
       "variable weights of layer 1 (dense) has the unknown type 10"},
      {[](Stored& s) { s.layers[1].variable("weights").type = -1; },
       "variable weights of layer 1 (dense) has the unknown type -1"},
      {[](Stored& s) { s.layers[1].variable("weights").layout = 2; },
       "variable weights of layer 1 (dense) has the unknown layout 2"},
      {[](Stored& s) { s.layers[1].variable("weights").shape = {1, 1, 1, 2, 2}; },
       "variable weights of layer 1 (dense) needs 1 to 4 dimensions"},
      {[](Stored& s) { s.layers[1].variable("weights") = {"weights", 4, 0, {}, {}}; },
       "variable weights of layer 1 (dense) needs 1 to 4 dimensions"},
      {[](Stored& s) { s.layers[1].variable("weights") = {"weights", 4, 0, {4, 0}, {}}; },
       "variable weights of layer 1 (dense) has a dimension of 0"},
      {[](Stored& s) { s.layers[1].variable("weights").shape = {65536, 65536}; },
       "variable weights of layer 1 (dense) has more than 4294967295 elements"},
      {[](Stored& s) { s.layers[1].variables.push_back({"extra", 2, 0, {1}, {0}}); },
       "layer 1 (dense) holds 9 variables, 8 declared"},
      {[](Stored& s) { s.layers[1].variable("weights").name = "weight"; }, "layer 1 (dense) lacks variable weights"},
      {[](Stored& s) { s.layers[1].params.emplace_back("units", 2); }, "layer 1 (dense) repeats parameter units"},
  };
  for (const auto& [change, reason] : cases) {
    Stored s(saved);
    change(s);
    const Bytes b = s.bytes();
    EXPECT_EQ(refusal(reinterpret_cast<const char*>(b.data()), b.size()),
              reason == "<no error>" ? reason : "Invalid model buffer: " + reason);
  }
}

// A variable's bytes must be exactly its elements times the element size: the units of a weight
// shape lowered or raised by one leave its 16 x 77 bytes too long or too short.
TEST(ModelBytes, VariableBytesMatchTheirShape) {
  for (const auto& [units, expected] : {std::pair{76u, 1216}, std::pair{78u, 1248}}) {
    Bytes b = ModelBuilder().input(2, 2, 4).add(LayerType::Dense1D, {{"units", 77}}, "dense").take()->to_buffer();
    const model_fb::Variable* weights = nullptr;
    for (const model_fb::Variable* v : *model_fb::GetModel(b.data())->layers()->Get(1)->variables())
      if (v->name()->str() == "weights") weights = v;
    ASSERT_TRUE(weights && weights->shape()->size() == 2 && weights->shape()->Get(1) == 77);
    const auto at = reinterpret_cast<const uint8_t*>(weights->shape()->Data()) - b.data() + 4;
    std::memcpy(b.data() + at, &units, 4);
    EXPECT_EQ(refusal(reinterpret_cast<const char*>(b.data()), b.size()),
              "Invalid model buffer: variable weights of layer 1 (dense) holds 1232 bytes, " +
                  std::to_string(expected) + " expected");
  }
}

// Names come back to Python as str: one that does not decode, or holds a NUL, is refused when
// a layer is made, and so in model bytes too.
TEST(ModelBytes, LayerNamesMustDecode) {
  const std::string refused[] = {"", std::string("a\0b", 3), "\xff", "caf\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
  for (const std::string& name : refused) EXPECT_THROW(test::make_layer(LayerType::Add, {}, name), std::invalid_argument) << name;
  for (const char* name : {"caf\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x99\x82"}) EXPECT_EQ(test::make_layer(LayerType::Add, {}, name)->get_name(), name);
  Bytes saved = ModelBuilder().input(2, 2, 1).add(LayerType::Dense1D, {{"units", 2}}, "dense").take()->to_buffer();
  for (const char patch : {'\xff', '\0'}) {
    Bytes b = saved;
    *std::search(b.begin(), b.end(), std::begin("dense"), std::end("dense") - 1) = static_cast<uint8_t>(patch);
    EXPECT_EQ(refusal(reinterpret_cast<const char*>(b.data()), b.size()),
              "Invalid model buffer: A layer name must be valid UTF-8 without NUL characters");
  }
}

// Every prefix and every byte flipped by a few masks: a model that saves and reloads, or a
// refusal; never a crash (this also runs under the sanitizers).
TEST(ModelBytes, EveryTruncationAndByteFlipLoadsOrIsRefused) {
  for (const Bytes& saved : {v1_model()->to_buffer(), v2_model()->to_buffer()}) {
    size_t loaded = 0, refused = 0;
    auto probe = [&](const Bytes& b) {
      try {
        const Bytes again = Model::from_buffer(reinterpret_cast<const char*>(b.data()), b.size())->to_buffer();
        EXPECT_EQ(Model::from_buffer(reinterpret_cast<const char*>(again.data()), again.size())->to_buffer(), again);
        ++loaded;
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Invalid model buffer: ", 0), 0u) << e.what();
        ++refused;
      }
    };
    // Exact-size copies, so that the sanitizers see any read past a prefix.
    for (size_t n = 0; n < saved.size(); ++n) probe(Bytes(saved.begin(), saved.begin() + n));
    EXPECT_GE(refused, saved.size() - 3);  // only trailing padding may go
    for (size_t i = 0; i < 4 * saved.size(); ++i) {  // each byte flipped by four masks
      Bytes b = saved;
      b[i / 4] ^= std::array<uint8_t, 4>{0x01, 0x10, 0x80, 0xFF}[i % 4];
      probe(b);
    }
    // Both outcomes occur plenty: flipped data, names and padding load; offsets and lengths not.
    EXPECT_GT(loaded, saved.size() / 2);
    EXPECT_GT(refused, saved.size());
  }
}

}  // namespace
}  // namespace nuvra
