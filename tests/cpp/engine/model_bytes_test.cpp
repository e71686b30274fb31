// Model bytes: round trips, determinism, and refusal of every kind of bad buffer.
#include <gtest/gtest.h>

#include <nuvra/model.h>
#include <nuvra/model_generated.h>
#include <nuvra/variables.h>

#include "support/model_builders.h"

#include <cstring>
#include <functional>
#include <stdexcept>

namespace nuvra {
namespace {

using test::ModelBuilder;
using Bytes = std::vector<uint8_t>;

// Values valid for the tensor's type, varied by position and seed.
std::shared_ptr<Dense> patterned(const Dense& like, uint32_t seed) {
  auto t = Dense::create(like.type(), like.shape(), like.layout());
  for (size_t i = 0; i < t->size(); ++i) {
    const uint32_t r = static_cast<uint32_t>(i) * 2654435761u + seed * 40503u;
    const uint32_t h = r >> 11;
    uint8_t* b = t->storage().data();
    switch (t->type()) {
      case TensorType::bit: b[i] = h & 1; break;
      case TensorType::int2: b[i] = static_cast<uint8_t>(static_cast<int>(h % 4) - 2); break;
      case TensorType::int4: b[i] = static_cast<uint8_t>(static_cast<int>(h % 16) - 8); break;
      case TensorType::uint2: b[i] = h % 4; break;
      case TensorType::uint4: b[i] = h % 16; break;
      case TensorType::int16: t->set<int16_t>(i, static_cast<int16_t>(h)); break;
      case TensorType::int32: t->set<int32_t>(i, static_cast<int32_t>(r)); break;
      case TensorType::float32: t->set<float>(i, static_cast<float>(h % 1000) / 8.0f - 60.0f); break;
      default: b[i] = static_cast<uint8_t>(h); break;
    }
  }
  return t;
}

void set_all(Layer& layer, uint32_t seed) {
  Variables& vars = *layer.variables();
  for (const auto& name : vars.names()) vars.set(name, patterned(*vars.get(name), seed++));
}

std::shared_ptr<LearningParams> learning(double classes, double weights) {
  return LearningParams::create(LearningType::Unsupervised, {{"num_classes", classes},
                                                              {"num_weights", weights},
                                                              {"initial_plasticity", 0.5},
                                                              {"learning_competition", 0.1},
                                                              {"min_plasticity", 0.125},
                                                              {"plasticity_decay", -0.0}});
}

// conv1 -> conv2, both into the skip connection "skip"; then depthwise (left unset), dense and
// a dequantizer.
std::unique_ptr<Model> v2_model() {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv1")
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}}, "conv2")
      .add(LayerType::Add, {}, "skip", {"conv1", "conv2"})
      .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw")
      .add(LayerType::Dense1D, {{"units", 5}, {"activation", 0}}, "dense")
      .add(LayerType::Dequantizer, {}, "deq");
  uint32_t seed = 1;
  for (const char* name : {"conv1", "conv2", "skip", "dense", "deq"}) set_all(*b.layer(name), seed += 17);
  return b.take();
}

// A compiled first-generation classifier with learnt weights.
std::unique_ptr<Model> v1_model() {
  auto m = test::v1_conv_fc_model();
  m->compile(learning(2, 20));
  set_all(*m->get_layer("conv"), 3);
  set_all(*m->get_layer("fc"), 5);
  return m;
}

// The fuzzing subjects: small, but every part of the format appears.
std::unique_ptr<Model> tiny_v2_model() {
  ModelBuilder b;
  b.input(2, 2, 2)
      .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}}, "a")
      .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}}, "b")
      .add(LayerType::Add, {}, "s", {"a", "b"})
      .add(LayerType::Dense1D, {{"units", 2}}, "d");
  for (const char* name : {"a", "b", "s", "d"}) set_all(*b.layer(name), name[0]);
  return b.take();
}

std::unique_ptr<Model> tiny_model() {
  ModelBuilder b;
  b.input(3, 3, 1, 1)
      .add(LayerType::Convolutional, {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}}, "c")
      .add(LayerType::FullyConnected, {{"units", 2}}, "f");
  b.model().compile(learning(1, 4));
  set_all(*b.layer("c"), 7);
  set_all(*b.layer("f"), 9);
  return b.take();
}

Bytes bytes_of(const Dense& t) { return Bytes(t.storage().data(), t.storage().data() + t.byte_size()); }

std::vector<std::string> inbound_names(const Layer& l) {
  std::vector<std::string> out;
  for (const auto& in : l.inbound_layers()) out.push_back(in->get_name());
  return out;
}

void expect_same_model(const Model& a, const Model& b) {
  ASSERT_EQ(a.layer_count(), b.layer_count());
  for (size_t i = 0; i < a.layer_count(); ++i) {
    const Layer& x = *a.get_layer(i);
    const Layer& y = *b.get_layer(i);
    SCOPED_TRACE(x.get_name());
    EXPECT_EQ(x.get_name(), y.get_name());
    EXPECT_EQ(x.params()->layer_type(), y.params()->layer_type());
    EXPECT_EQ(x.params()->entries(), y.params()->entries());
    EXPECT_EQ(inbound_names(x), inbound_names(y));
    EXPECT_EQ(x.output_dimensions(), y.output_dimensions());
    EXPECT_EQ(x.can_learn(), y.can_learn());
    ASSERT_EQ(x.variables()->names(), y.variables()->names());
    for (const auto& name : x.variables()->names()) {
      SCOPED_TRACE(name);
      const auto u = x.variables()->get(name);
      const auto v = y.variables()->get(name);
      EXPECT_EQ(u->type(), v->type());
      EXPECT_EQ(u->shape(), v->shape());
      EXPECT_EQ(u->layout(), v->layout());
      EXPECT_EQ(bytes_of(*u), bytes_of(*v));
    }
  }
  ASSERT_EQ(a.learning() == nullptr, b.learning() == nullptr);
  if (!a.learning()) return;
  ASSERT_EQ(a.learning()->keys(), b.learning()->keys());
  for (const auto& k : a.learning()->keys()) {
    const double u = a.learning()->get(k), v = b.learning()->get(k);
    EXPECT_EQ(std::memcmp(&u, &v, sizeof u), 0) << k;  // bit for bit, -0.0 included
  }
}

std::unique_ptr<Model> load(const Bytes& b) {
  return Model::from_buffer(reinterpret_cast<const char*>(b.data()), b.size());
}

// The reason of a refusal, or "" when the bytes load.
std::string refusal(const char* data, size_t size) {
  try {
    Model::from_buffer(data, size);
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}
std::string refusal(const Bytes& b) { return refusal(reinterpret_cast<const char*>(b.data()), b.size()); }

TEST(ModelBytes, RoundTripsKeepEverythingAndGiveEqualBytes) {
  struct Case {
    const char* what;
    std::function<std::unique_ptr<Model>()> make;
  };
  const std::vector<Case> cases = {
      {"empty", [] { return Model::create(); }},
      {"v2 with a skip connection", v2_model},
      {"compiled v1", v1_model},
      {"learning layer not last",
       [] {
         auto m = v1_model();
         m->add(test::make_layer(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 2}}, "after"));
         return m;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto original = c.make();
    const Bytes saved = original->to_buffer();
    EXPECT_EQ(saved, original->to_buffer());
    EXPECT_EQ(saved, c.make()->to_buffer());  // the same builder calls, the same bytes
    auto loaded = load(saved);
    EXPECT_EQ(loaded->to_buffer(), saved);
    expect_same_model(*original, *loaded);
    if (original->learning()) {
      const auto fc = loaded->get_layer("fc");
      EXPECT_EQ(fc->learning(), loaded->learning());
      EXPECT_NE(loaded->learning(), original->learning());  // a set of its own
    }
  }
}

TEST(ModelBytes, UnsetVariablesAreWrittenWithInitialValuesWithoutStorage) {
  auto model = v2_model();
  const auto& dw = dynamic_cast<const VariablesImpl&>(*model->get_layer("dw")->variables());
  ASSERT_FALSE(dw.materialised("weights"));
  const Bytes saved = model->to_buffer();
  EXPECT_FALSE(dw.materialised("weights"));
  EXPECT_FALSE(dw.materialised("output_scales"));

  auto loaded = load(saved);
  const Variables& v = *loaded->get_layer("dw")->variables();
  const Bytes ones(4, 1), zeros(4, 0);
  EXPECT_EQ(bytes_of(*v.get("output_scales")), ones);  // one per channel
  EXPECT_EQ(bytes_of(*v.get("bias")), zeros);
  EXPECT_EQ(bytes_of(*v.get("weights")), Bytes(3 * 3 * 4, 0));
  auto v1 = test::v1_conv_fc_model();
  const auto act_step = load(v1->to_buffer())->get_layer("fc")->variables()->get("act_step");
  for (size_t i = 0; i < act_step->size(); ++i) EXPECT_EQ(act_step->at<float>(i), 1.0f);
}

// Two declared variables of 2^31 bytes each: beyond what the format holds, refused up front
// rather than by the builder's size assertion, and without making their storage.
TEST(ModelBytes, AModelBeyondTheFormatLimitIsRefusedBeforeWriting) {
  auto model = ModelBuilder().input(65535, 32768, 1).add(LayerType::Dense1D, {{"units", 1}}, "dense").take();
  try {
    model->to_buffer();
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("too large to serialise"), std::string::npos) << e.what();
  }
  const auto& vars = dynamic_cast<const VariablesImpl&>(*model->get_layer("dense")->variables());
  EXPECT_FALSE(vars.materialised("weights"));
}

TEST(ModelBytes, ReadsUnalignedBuffers) {
  const Bytes saved = v1_model()->to_buffer();
  std::vector<char> shifted(saved.size() + 3);
  for (size_t offset : {1, 2, 3}) {
    std::memcpy(shifted.data() + offset, saved.data(), saved.size());
    EXPECT_EQ(Model::from_buffer(shifted.data() + offset, saved.size())->to_buffer(), saved);
  }
}

TEST(ModelBytes, RefusesBuffersThatAreNoModel) {
  const Bytes saved = tiny_model()->to_buffer();
  Bytes wrong_id = saved;
  wrong_id[4] ^= 0x20;  // "NVRM" -> "nVRM"
  Bytes bad_root = saved;
  bad_root[3] = 0x7F;  // the root offset points far past the end
  const char* text = "not a model at all";
  struct Case {
    const char* data;
    size_t size;
    const char* reason;
  };
  const Case cases[] = {
      {nullptr, 0, "no bytes"},  // what the file reader passes for a stream of 0 bytes
      {nullptr, 64, "no bytes"},
      {text, 7, "7 bytes are too few"},
      {text, size_t{1} << 31, "2147483648 bytes are too many"},  // refused before reading
      {reinterpret_cast<const char*>(wrong_id.data()), wrong_id.size(), "not a model (wrong identifier)"},
      {text, std::strlen(text), "not a model (wrong identifier)"},
      {reinterpret_cast<const char*>(bad_root.data()), bad_root.size(), "the bytes do not form a valid model table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(refusal(c.data, c.size), std::string("Invalid model buffer: ") + c.reason);
  }
}

// A plain copy of a model's bytes, to craft buffers the writer never makes.
struct VarDesc {
  std::string name;
  int type, layout;
  std::vector<uint32_t> shape;
  Bytes data;
};
struct LayerDesc {
  std::string name;
  int type;
  std::vector<std::pair<std::string, int>> params;
  std::vector<uint32_t> inbound;
  std::vector<VarDesc> vars;
};
struct ModelDesc {
  uint32_t version;
  std::vector<LayerDesc> layers;
  bool has_learning;
  int learning_type;
  std::vector<std::pair<std::string, double>> learning_params;
  uint32_t learning_layer;

  LayerDesc& layer(const std::string& n) {
    for (auto& l : layers)
      if (l.name == n) return l;
    throw std::logic_error("no layer " + n);
  }
  VarDesc& var(const std::string& l, const std::string& n) {
    for (auto& v : layer(l).vars)
      if (v.name == n) return v;
    throw std::logic_error("no variable " + n);
  }
  int& param(const std::string& l, const std::string& k) {
    for (auto& [key, value] : layer(l).params)
      if (key == k) return value;
    throw std::logic_error("no parameter " + k);
  }
};

ModelDesc decode(const Bytes& b) {
  const auto* m = model_fb::GetModel(b.data());
  ModelDesc d{m->format_version(), {}, m->learning() != nullptr, 0, {}, 0};
  for (const auto* l : *m->layers()) {
    LayerDesc ld{l->name()->str(), l->type(), {}, {l->inbound()->begin(), l->inbound()->end()}, {}};
    for (const auto* p : *l->params()) ld.params.emplace_back(p->key()->str(), p->value());
    for (const auto* v : *l->variables())
      ld.vars.push_back({v->name()->str(), v->type(), v->layout(), {v->shape()->begin(), v->shape()->end()},
                         {v->data()->begin(), v->data()->end()}});
    d.layers.push_back(std::move(ld));
  }
  if (const auto* lr = m->learning()) {
    d.learning_type = lr->type();
    d.learning_layer = lr->layer();
    for (const auto* p : *lr->params()) d.learning_params.emplace_back(p->key()->str(), p->value());
  }
  return d;
}

Bytes encode(const ModelDesc& d) {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<model_fb::Layer>> layers;
  for (const auto& l : d.layers) {
    std::vector<flatbuffers::Offset<model_fb::Param>> params;
    for (const auto& [k, v] : l.params) params.push_back(model_fb::CreateParamDirect(fbb, k.c_str(), v));
    std::vector<flatbuffers::Offset<model_fb::Variable>> vars;
    for (const auto& v : l.vars)
      vars.push_back(model_fb::CreateVariableDirect(fbb, v.name.c_str(), v.type, v.layout, &v.shape, &v.data));
    layers.push_back(model_fb::CreateLayerDirect(fbb, l.name.c_str(), l.type, &params, &l.inbound, &vars));
  }
  flatbuffers::Offset<model_fb::Learning> learning;
  if (d.has_learning) {
    std::vector<flatbuffers::Offset<model_fb::LParam>> params;
    for (const auto& [k, v] : d.learning_params) params.push_back(model_fb::CreateLParamDirect(fbb, k.c_str(), v));
    learning = model_fb::CreateLearningDirect(fbb, d.learning_type, &params, d.learning_layer);
  }
  model_fb::FinishModelBuffer(fbb, model_fb::CreateModelDirect(fbb, d.version, "2.0.0", &layers, learning));
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

TEST(ModelBytes, RefusesInconsistentContentsWithTheirReason) {
  struct Case {
    const char* reason;  // expected within the message
    std::function<void(ModelDesc&)> edit;
  };
  const std::vector<Case> cases = {
      {"unsupported format version 2", [](ModelDesc& d) { d.version = 2; }},
      {"layer 1 (c) has the unknown type 26", [](ModelDesc& d) { d.layer("c").type = 26; }},
      {"layer 1 (c) has the unknown type 0", [](ModelDesc& d) { d.layer("c").type = 0; }},
      {"layer 2 (f) names inbound layer 2, not an earlier one", [](ModelDesc& d) { d.layer("f").inbound = {2}; }},
      {"layer 0 (input) names inbound layer 0", [](ModelDesc& d) { d.layer("input").inbound = {0}; }},
      {"layer 2 (f) has no inbound layer", [](ModelDesc& d) { d.layer("f").inbound.clear(); }},
      {"variable weights of layer 1 (c) has the unknown type 10",
       [](ModelDesc& d) { d.var("c", "weights").type = 10; }},
      {"has the unknown layout 2", [](ModelDesc& d) { d.var("c", "weights").layout = 2; }},
      {"needs 1 to 4 dimensions", [](ModelDesc& d) { d.var("c", "weights").shape.push_back(1); }},
      {"needs 1 to 4 dimensions", [](ModelDesc& d) { d.var("c", "threshold").shape.clear(); }},
      {"has a dimension of 0", [](ModelDesc& d) { d.var("c", "threshold").shape = {0}; }},
      {"has more than 4294967295 elements",
       [](ModelDesc& d) { d.var("c", "threshold").shape = {65536, 65536}; }},
      {"holds 17 bytes, 18 expected", [](ModelDesc& d) { d.var("c", "weights").data.pop_back(); }},
      {"the learning layer 3 is not among the 3 layers", [](ModelDesc& d) { d.learning_layer = 3; }},
      {"layer 1 (c) repeats parameter filters",
       [](ModelDesc& d) { d.layer("c").params.emplace_back("filters", 2); }},
      {"the learning parameters repeat key num_classes",
       [](ModelDesc& d) { d.learning_params.emplace_back("num_classes", 1.0); }},
      {"Unknown learning type 1", [](ModelDesc& d) { d.learning_type = 1; }},
      {"num_classes must be between 1", [](ModelDesc& d) { d.learning_params[3].second = 0; }},
      {"Only a FullyConnected last layer can learn", [](ModelDesc& d) { d.learning_layer = 1; }},
      {"missing parameter 'units'",
       [](ModelDesc& d) { std::erase_if(d.layer("f").params, [](auto& p) { return p.first == "units"; }); }},
      {"already has a layer named c", [](ModelDesc& d) { d.layer("f").name = "c"; }},
      // Add needs no parameter, so only the model refuses it.
      {"first layer of a model must be an input layer", [](ModelDesc& d) { d.layers.front().type = 6; }},
      {"layer 1 (c) holds 2 variables, 3 declared", [](ModelDesc& d) { d.layer("c").vars.pop_back(); }},
      {"layer 1 (c) lacks variable threshold", [](ModelDesc& d) { d.var("c", "threshold").name = "thresh"; }},
      {"variable weights of layer 2 (f) is int8 (2, 18, 1, 1) layout 1, the layer declares bit (2, 18, 1, 1) layout 1",
       [](ModelDesc& d) { d.var("f", "weights").type = 4; }},
      {"variable weights of layer 2 (f) is bit (2, 18, 1, 1) layout 0",
       [](ModelDesc& d) { d.var("f", "weights").layout = 0; }},
      {"Variable weights value 2 is out of range for bit", [](ModelDesc& d) { d.var("f", "weights").data[5] = 2; }},
      {"must be at least 1 (got -3)", [](ModelDesc& d) { d.param("c", "filters") = -3; }},
  };
  const ModelDesc base = decode(tiny_model()->to_buffer());
  ASSERT_EQ(base.learning_params[3].first, "num_classes");
  ASSERT_EQ(refusal(encode(base)), "");  // the copy itself loads
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ModelDesc d = base;
    c.edit(d);
    const std::string r = refusal(encode(d));
    EXPECT_EQ(r.rfind("Invalid model buffer: ", 0), 0u) << r;
    EXPECT_NE(r.find(c.reason), std::string::npos) << r;
  }
}

// A corrupted filter or unit count declares a weight tensor of 1 to 2 G elements within the
// shape limits. It must be refused by comparing declarations, never by making (and
// zero-filling) that storage first: the reason shows which step refused it.
TEST(ModelBytes, ACorruptedShapeKeyIsRefusedBeforeAnyStorage) {
  struct Case {
    const char* layer;
    const char* key;
    int value;
    const char* reason;
  };
  const Case cases[] = {
      {"conv", "filters", 4 | (1 << 26),
       "variable weights of layer 1 (conv) is int8 (3, 3, 3, 4) layout 0, the layer declares int8 (3, 3, 3, "
       "67108868) layout 0"},
      {"dense", "units", 5 | (1 << 22),
       "variable weights of layer 2 (dense) is int8 (16, 5) layout 0, the layer declares int8 (16, 4194309) layout "
       "0"},
  };
  ModelBuilder b;
  b.input(2, 2, 3)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 5}}, "dense");
  const ModelDesc base = decode(b.model().to_buffer());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ModelDesc d = base;
    d.param(c.layer, c.key) = c.value;
    EXPECT_EQ(refusal(encode(d)), std::string("Invalid model buffer: ") + c.reason);
  }
}

void probe_all_corruptions(const Bytes& saved) {
  size_t loaded = 0, refused = 0;
  auto probe = [&](const Bytes& b, size_t size) {
    try {
      auto m = Model::from_buffer(reinterpret_cast<const char*>(b.data()), size);
      const Bytes again = m->to_buffer();
      EXPECT_EQ(load(again)->to_buffer(), again);
      ++loaded;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Invalid model buffer: ", 0), 0u) << e.what();
      ++refused;
    }
  };
  // Exact-size copies, so that the sanitizers see any read past a prefix.
  for (size_t n = 0; n < saved.size(); ++n) probe(Bytes(saved.begin(), saved.begin() + n), n);
  EXPECT_GE(refused, saved.size() - 3);  // only trailing padding may go
  for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
    for (size_t i = 0; i < saved.size(); ++i) {
      Bytes b = saved;
      b[i] ^= mask;
      probe(b, b.size());
    }
  }
  // Both outcomes occur plenty: flipped data, names and padding load; offsets and lengths not.
  EXPECT_GT(loaded, saved.size() / 2);
  EXPECT_GT(refused, saved.size());
}

// Every prefix and every byte flipped by a few masks: a model that saves and reloads, or a
// refusal; never a crash (this also runs under the sanitizers).
TEST(ModelBytes, EveryTruncationAndByteFlipLoadsOrIsRefused) {
  for (const Bytes& saved : {tiny_model()->to_buffer(), tiny_v2_model()->to_buffer()}) {
    SCOPED_TRACE(saved.size());
    probe_all_corruptions(saved);
  }
}

}  // namespace
}  // namespace nuvra
