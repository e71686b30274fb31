// Model bytes: writing a model graph as a flatbuffer and rebuilding a model from one.
#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/model_generated.h>
#include <nuvra/variables.h>
#include <nuvra/version.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

namespace nuvra {

namespace {

namespace fbm = model_fb;

constexpr uint32_t kFormatVersion = 1;
constexpr uint64_t kMaxElements = 4294967295u;
// Both the builder and the Verifier assert below this size.
constexpr uint64_t kMaxBytes = FLATBUFFERS_MAX_BUFFER_SIZE - 1;

// A fault found in the bytes themselves; from_buffer adds the common prefix.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string& reason) { throw Refusal(reason); }

const VariablesImpl& variables_of(const Layer& layer) {
  const auto* vars = dynamic_cast<const VariablesImpl*>(layer.variables());
  if (!vars) throw std::runtime_error("Layer " + layer.get_name() + " does not hold engine variables");
  return *vars;
}

std::string layer_label(size_t index, const fbm::Layer& layer) {
  return "layer " + std::to_string(index) + " (" + layer.name()->str() + ")";
}

// An upper bound of the serialised size: names, keys and data, plus a generous allowance for
// every table, vtable, offset and padding.
uint64_t size_bound(const std::vector<std::shared_ptr<Layer>>& layers, const LearningParams* learning) {
  uint64_t n = 256;
  for (const auto& l : layers) {
    n += 128 + l->get_name().size();
    for (const auto& [key, value] : l->params()->entries()) n += 64 + key.size();
    n += 8 * l->inbound_layers().size();
    const VariablesImpl& vars = variables_of(*l);
    for (const auto& name : vars.names()) {
      const VariableDecl* d = vars.declaration(name);
      n += 192 + name.size() + d->shape.elements() * element_size(d->type);
    }
  }
  if (learning)
    for (const auto& key : learning->keys()) n += 64 + key.size();
  return n;
}

Shape shape_of(const flatbuffers::Vector<uint32_t>& dims) {
  Shape s;
  for (uint32_t d : dims) s.push_back(d);
  return s;
}

// Step 4: values the schema cannot express. Afterwards every variable's bytes match its own
// type and shape, so no later step reads past them or allocates more than the buffer holds.
void check_contents(const fbm::Model& root) {
  if (root.format_version() != kFormatVersion)
    refuse("unsupported format version " + std::to_string(root.format_version()));
  const size_t count = root.layers() ? root.layers()->size() : 0;
  for (size_t i = 0; i < count; ++i) {
    const fbm::Layer& l = *root.layers()->Get(static_cast<flatbuffers::uoffset_t>(i));
    if (l.type() < 1 || l.type() >= kLayerTypeCount)
      refuse(layer_label(i, l) + " has the unknown type " + std::to_string(l.type()));
    const size_t inbound = l.inbound() ? l.inbound()->size() : 0;
    if (i > 0 && inbound == 0) refuse(layer_label(i, l) + " has no inbound layer");
    for (size_t k = 0; k < inbound; ++k) {
      const uint32_t from = l.inbound()->Get(static_cast<flatbuffers::uoffset_t>(k));
      if (from >= i)
        refuse(layer_label(i, l) + " names inbound layer " + std::to_string(from) + ", not an earlier one");
    }
    if (!l.variables()) continue;
    for (const fbm::Variable* v : *l.variables()) {
      const std::string what = "variable " + v->name()->str() + " of " + layer_label(i, l);
      if (v->type() < 0 || v->type() > 9) refuse(what + " has the unknown type " + std::to_string(v->type()));
      if (v->layout() != 0 && v->layout() != 1)
        refuse(what + " has the unknown layout " + std::to_string(v->layout()));
      if (!v->shape() || v->shape()->size() < 1 || v->shape()->size() > 4)
        refuse(what + " needs 1 to 4 dimensions");
      uint64_t elements = 1;
      for (uint32_t d : *v->shape()) {
        if (d == 0) refuse(what + " has a dimension of 0");
        elements *= d;  // stays below 2^64: each factor and the running product are below 2^32
        if (elements > kMaxElements) refuse(what + " has more than 4294967295 elements");
      }
      const uint64_t expected = elements * element_size(static_cast<TensorType>(v->type()));
      const uint64_t held = v->data() ? v->data()->size() : 0;
      if (held != expected)
        refuse(what + " holds " + std::to_string(held) + " bytes, " + std::to_string(expected) + " expected");
    }
  }
  const fbm::Learning* learning = root.learning();
  if (!learning) return;
  if (learning->layer() >= count)
    refuse("the learning layer " + std::to_string(learning->layer()) + " is not among the " + std::to_string(count) +
           " layers");
  // A plasticity starts at initial_plasticity and becomes max(min_plasticity, …), both finite and
  // at least 0: a stored one outside that range is corrupt.
  if (const auto p = learning->plasticity(); p && !(std::isfinite(*p) && *p >= 0)) {
    char got[32];
    std::snprintf(got, sizeof got, "%g", *p);
    refuse(std::string("the plasticity ") + got + " is not a finite number of at least 0");
  }
}

std::shared_ptr<LearningParams> learning_params(const fbm::Learning& learning) {
  std::map<std::string, double> entries;
  if (learning.params())
    for (const fbm::LParam* p : *learning.params())
      if (!entries.emplace(p->key()->str(), p->value()).second)
        refuse("the learning parameters repeat key " + p->key()->str());
  return LearningParams::create(static_cast<LearningType>(learning.type()), entries);
}

// Step 5, graph first: layers, links and learning through the ordinary editing calls, which
// declare every variable without making storage.
std::unique_ptr<Model> rebuild_graph(const fbm::Model& root) {
  auto model = Model::create();
  const fbm::Learning* learning = root.learning();
  const size_t count = root.layers() ? root.layers()->size() : 0;
  for (size_t i = 0; i < count; ++i) {
    const fbm::Layer& l = *root.layers()->Get(static_cast<flatbuffers::uoffset_t>(i));
    std::map<std::string, int> entries;
    if (l.params())
      for (const fbm::Param* p : *l.params())
        if (!entries.emplace(p->key()->str(), p->value()).second)
          refuse(layer_label(i, l) + " repeats parameter " + p->key()->str());
    const auto params = LayerParams::create(static_cast<LayerType>(l.type()), entries);
    const auto layer = Layer::create(params.get(), l.name()->str());
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (l.inbound())
      for (uint32_t from : *l.inbound()) inbounds.push_back(model->layers()[from]);
    model->add(layer, inbounds);
    // The learning layer was the last one when it was compiled.
    if (learning && learning->layer() == i) model->compile(learning_params(*learning));
  }
  return model;
}

struct Assignment {
  Variables* variables;
  const VariableDecl* decl;
  const fbm::Variable* stored;
};

// Step 5, variables: every declared variable present once with its declared type, layout and
// shape, for all layers, before any storage is made.
std::vector<Assignment> match_variables(const fbm::Model& root, Model& model) {
  std::vector<Assignment> out;
  for (size_t i = 0; i < model.layers().size(); ++i) {
    const fbm::Layer& l = *root.layers()->Get(static_cast<flatbuffers::uoffset_t>(i));
    const std::shared_ptr<Layer>& layer = model.layers()[i];
    const VariablesImpl& vars = variables_of(*layer);
    const std::vector<std::string> names = vars.names();
    const size_t held = l.variables() ? l.variables()->size() : 0;
    // Equal counts and every distinct declared name found: each stored variable is used once.
    if (held != names.size())
      refuse(layer_label(i, l) + " holds " + std::to_string(held) + " variables, " + std::to_string(names.size()) +
             " declared");
    for (const std::string& name : names) {
      const fbm::Variable* found = nullptr;
      for (const fbm::Variable* v : *l.variables())
        if (v->name()->string_view() == name) found = v;
      if (!found) refuse(layer_label(i, l) + " lacks variable " + name);
      const VariableDecl* d = vars.declaration(name);
      const auto type = static_cast<TensorType>(found->type());
      const Shape shape = shape_of(*found->shape());
      if (type != d->type || static_cast<Layout>(found->layout()) != d->layout || !(shape == d->shape))
        refuse("variable " + name + " of " + layer_label(i, l) + " is " + type_name(type) + " " + shape.to_string() +
               " layout " + std::to_string(found->layout()) + ", the layer declares " + type_name(d->type) + " " +
               d->shape.to_string() + " layout " + std::to_string(static_cast<int32_t>(d->layout)));
      out.push_back({layer->variables(), d, found});
    }
  }
  return out;
}

// A rebuilt model and the plasticity its learning layer had reached (NaN: its initial one).
struct Rebuilt {
  std::unique_ptr<Model> model;
  double plasticity = std::numeric_limits<double>::quiet_NaN();
};

// `owner`, when given, holds `data` (aligned) for variables that keep their bytes in it.
Rebuilt read_model(const char* data, size_t size, const std::shared_ptr<uint8_t[]>& owner) {
  if (data == nullptr) refuse("no bytes");
  if (size < 8) refuse(std::to_string(size) + " bytes are too few");
  if (size > kMaxBytes) refuse(std::to_string(size) + " bytes are too many");
  // The flatbuffer reads scalars (doubles too) in place: callers' unaligned bytes are copied to
  // aligned ones first.
  std::unique_ptr<uint64_t[]> aligned;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (reinterpret_cast<uintptr_t>(data) % alignof(uint64_t) != 0) {
    if (owner) refuse("unaligned bytes");
    aligned.reset(new uint64_t[(size + 7) / 8]);
    std::memcpy(aligned.get(), data, size);
    bytes = reinterpret_cast<const uint8_t*>(aligned.get());
  }
  if (!fbm::ModelBufferHasIdentifier(bytes)) refuse("not a model (wrong identifier)");
  flatbuffers::Verifier verifier(bytes, size);
  if (!fbm::VerifyModelBuffer(verifier)) refuse("the bytes do not form a valid model table");
  const fbm::Model& root = *fbm::GetModel(bytes);

  check_contents(root);
  auto model = rebuild_graph(root);
  for (const Assignment& a : match_variables(root, *model)) {
    const auto* values = a.stored->data();
    std::shared_ptr<Dense> tensor;
    if (owner) {
      // Variable bytes follow a 32-bit length, so they are 4-byte aligned, enough for every
      // element type; their buffer is the owner's, writable.
      auto* at = owner.get() + (values->data() - bytes);
      tensor = std::make_shared<Dense>(a.decl->type, a.decl->shape, a.decl->layout,
                                       std::make_shared<Storage>(owner, at, values->size()));
    } else {
      tensor = Dense::copy(reinterpret_cast<const char*>(values->data()), values->size(), a.decl->type, a.decl->shape,
                           a.decl->layout);
    }
    a.variables->set(a.decl->name, tensor);
  }
  Rebuilt rebuilt{std::move(model)};
  if (const fbm::Learning* learning = root.learning(); learning && learning->plasticity())
    rebuilt.plasticity = *learning->plasticity();
  return rebuilt;
}

}  // namespace

std::vector<uint8_t> Model::to_buffer() const {
  std::vector<uint8_t> bytes;
  write_buffer([&](const uint8_t* data, size_t size) { bytes.assign(data, data + size); });
  return bytes;
}

void Model::write_buffer(const std::function<void(const uint8_t* data, size_t size)>& use) const {
  std::unordered_map<const Layer*, uint32_t> index;
  for (size_t i = 0; i < layers_.size(); ++i) index.emplace(layers_[i].get(), static_cast<uint32_t>(i));
  const uint64_t bound = size_bound(layers_, learning_.get());
  if (bound > kMaxBytes)
    throw std::runtime_error("The model is too large to serialise (up to " + std::to_string(bound) + " bytes)");

  // Room for all of it at once, so that the buffer never grows. Fields are always written, so a
  // value equal to its default (-0.0 included) reads back as is.
  flatbuffers::FlatBufferBuilder fbb(static_cast<size_t>(bound));
  fbb.ForceDefaults(true);
  // Every child is made in its own statement: argument order would otherwise be unspecified.
  std::vector<flatbuffers::Offset<fbm::Layer>> layers;
  for (const auto& layer : layers_) {
    std::vector<flatbuffers::Offset<fbm::Param>> params;
    for (const auto& [key, value] : layer->params()->entries()) {
      const auto k = fbb.CreateString(key);
      params.push_back(fbm::CreateParam(fbb, k, value));
    }
    std::vector<uint32_t> inbound;
    for (const auto& in : std::as_const(*layer).inbound_layers()) {
      const auto it = index.find(in.get());
      if (it == index.end())
        throw std::runtime_error("Inbound layer " + in->get_name() + " of " + layer->get_name() +
                                 " is not in the model");
      inbound.push_back(it->second);
    }
    const VariablesImpl& vars = variables_of(*layer);
    std::vector<flatbuffers::Offset<fbm::Variable>> variables;
    for (const auto& name : vars.names()) {
      const std::shared_ptr<const Dense> value = vars.stored_or_initial(name);
      const Shape s = value->shape();
      const std::vector<uint32_t> dims(s.dims, s.dims + s.size());
      const auto n = fbb.CreateString(name);
      const auto shape = fbb.CreateVector(dims);
      const auto data = fbb.CreateVector(value->storage().data(), value->byte_size());
      variables.push_back(fbm::CreateVariable(fbb, n, static_cast<int32_t>(value->type()),
                                              static_cast<int32_t>(value->layout()), shape, data));
    }
    const auto name = fbb.CreateString(layer->get_name());
    const auto p = fbb.CreateVector(params);
    const auto in = fbb.CreateVector(inbound);
    const auto v = fbb.CreateVector(variables);
    layers.push_back(fbm::CreateLayer(fbb, name, static_cast<int32_t>(layer->params()->layer_type()), p, in, v));
  }

  flatbuffers::Offset<fbm::Learning> learning;
  if (learning_) {
    // A learning set no layer holds any more has nothing to be reloaded with.
    for (size_t i = 0; i < layers_.size(); ++i) {
      if (layers_[i]->learning() != learning_) continue;
      std::vector<flatbuffers::Offset<fbm::LParam>> params;
      for (const auto& key : learning_->keys()) {
        const auto k = fbb.CreateString(key);
        params.push_back(fbm::CreateLParam(fbb, k, learning_->get(key)));
      }
      const auto p = fbb.CreateVector(params);
      // The plasticity reached, or the initial one before any learning; only a set without
      // "initial_plasticity" that never learnt has none.
      flatbuffers::Optional<double> plasticity = flatbuffers::nullopt;
      if (!std::isnan(plasticity_)) plasticity = plasticity_;
      else if (learning_->has("initial_plasticity")) plasticity = learning_->get("initial_plasticity");
      learning = fbm::CreateLearning(fbb, static_cast<int32_t>(learning_->learning_type()), p,
                                     static_cast<uint32_t>(i), plasticity);
      break;
    }
  }

  const auto engine_version = fbb.CreateString(version());
  const auto all = fbb.CreateVector(layers);
  fbm::FinishModelBuffer(fbb, fbm::CreateModel(fbb, kFormatVersion, engine_version, all, learning));
  use(fbb.GetBufferPointer(), fbb.GetSize());
}

namespace {

// Faults of the buffer are reported as such; a sound buffer too large for memory is not one.
Rebuilt read_checked(const char* data, size_t size, const std::shared_ptr<uint8_t[]>& owner) {
  try {
    return read_model(data, size, owner);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw std::invalid_argument(std::string("Invalid model buffer: ") + e.what());
  }
}

}  // namespace

std::unique_ptr<Model> Model::read_buffer(const char* data, size_t size, const std::shared_ptr<uint8_t[]>& owner) {
  Rebuilt r = read_checked(data, size, owner);
  r.model->plasticity_ = r.plasticity;
  return std::move(r.model);
}

std::unique_ptr<Model> Model::from_buffer(const char* data, size_t size) { return read_buffer(data, size, nullptr); }

std::unique_ptr<Model> Model::from_buffer(std::shared_ptr<uint8_t[]> bytes, size_t size) {
  return read_buffer(reinterpret_cast<const char*>(bytes.get()), size, bytes);
}

}  // namespace nuvra
