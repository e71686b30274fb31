#include "backend/mesh_mapper.h"

#include "backend/layer_graph.h"
#include "backend/layer_split.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "backend/skipdma_requests.h"
#include "devices/device.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra {

namespace {

using hw::Type;

bool is_skipdma_type(Type t) { return t == Type::SKIP_DMA_STORE || t == Type::SKIP_DMA_LOAD; }

MappingStatus cannot_map(const Layer& layer) { return {1, "MeshMapper cannot map layer " + layer.get_name() + "."}; }

Shape first_input_shape(const Layer& layer) {
  const auto inputs = layer.input_dimensions();
  if (inputs.empty()) throw std::runtime_error("The layer " + layer.get_name() + " has no input shape.");
  return inputs.front();
}

// A dense layer runs whole on one FNP, its weights included.
hw::Component fnp_component(const Layer& layer, Type type) {
  const Shape input = first_input_shape(layer);
  hw::SplitRecord split;
  split.start_neuron = 0;
  split.filters = static_cast<uint32_t>(layer.params()->get("units"));
  split.spatial_partition = {0, 0, input};
  split.bordered_partition = {0, 0, input};
  split.single_buffer = true;
  hw::Component c;
  c.type = type;
  c.split = split;
  return c;
}

hw::Component vit_component() {
  hw::Component c;
  c.type = Type::VIT_BLOCK;
  return c;
}

// Skip-DMA channels are told apart by their channel, NPs never have one.
std::string ident_text(const hw::Ident& ident, Type type) {
  if (!is_skipdma_type(type)) return ident.to_string();
  std::string text = ident.to_string();
  text.pop_back();  // the closing parenthesis, which follows the channel
  text += ", ";
  text += std::to_string(ident.channel);
  text += ")";
  return text;
}

// select_nps may be overridden (from Python too): anything it returns must be one of the free
// candidates, each at most once, or an NP would be given out that is not free.
std::optional<MappingStatus> check_choice(const Layer& layer, Type type, const std::vector<hw::Ident>& chosen,
                                          const std::vector<hw::Ident>& candidates) {
  for (size_t i = 0; i < chosen.size(); ++i) {
    const hw::Ident& ident = chosen[i];
    const std::string what = layer.get_name() + " : select_nps returned " + ident_text(ident, type);
    if (std::find(candidates.begin(), candidates.end(), ident) == candidates.end())
      return MappingStatus{1, what + ", which is not one of the available components of type " +
                                  std::to_string(static_cast<uint32_t>(type)) + "."};
    if (std::find(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(i), ident) !=
        chosen.begin() + static_cast<std::ptrdiff_t>(i))
      return MappingStatus{1, what + " more than once."};
  }
  return std::nullopt;
}

// A TNP-B layer split by filter over four or more components needs filter parts in whole
// groups of 4 channels.
bool breaks_tnp_b_channel_rule(const Layer& layer, const std::vector<hw::Component>& components) {
  if (!layer.is_kind(6) || components.size() <= 3 || !components.front().split) return false;
  if (components.front().split->spatial_partition.shape[2] == first_input_shape(layer)[2]) return false;
  return std::any_of(components.begin(), components.end(), [](const hw::Component& c) {
    return c.type == Type::TNP_B && c.split && c.split->filters % 4 != 0;
  });
}

}  // namespace

MeshMapper::MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints)
    : checker_(&checker), constraints_(&constraints) {}

void MeshMapper::reset() {
  const auto device = constraints_->device();
  const Mesh* mesh = device ? device->mesh() : nullptr;
  if (mesh == nullptr) throw std::runtime_error("The device has no mesh.");
  // The fields are public: a mesh changed since it was made is checked again before use.
  check_np_list(mesh->nps);
  check_skip_dma_list(mesh->skip_dmas);
  const std::vector<np::Info> nps = mesh->nps;

  table_.clear();
  std::map<hw::Ident, uint32_t> np_flags;
  for (const np::Info& np : nps) {
    for (Type t : np.types) {
      table_[t].push_back({np.ident, false, false});
      if (t == Type::FNP3) {
        for (const np::Info& other : nps)
          if (other.ident.col == np.ident.col && other.ident.row == np.ident.row) np_flags[other.ident] |= 1;
        np_flags[np.ident] |= 2;
      } else if (t == Type::FNP2) {
        np_flags[np.ident] |= 4;
      }
    }
  }

  if (!mesh->skip_dmas.empty()) {
    // The first engine's channel field gives the channel count of every engine.
    const unsigned channels = mesh->skip_dmas.front().ident.channel;
    for (const np::Info& engine : mesh->skip_dmas) {
      for (unsigned c = 0; c < channels; ++c) {
        hw::Ident ident = engine.ident;
        ident.channel = static_cast<uint8_t>(c);
        table_[Type::SKIP_DMA_STORE].push_back({ident, false, false});
        table_[Type::SKIP_DMA_LOAD].push_back({ident, false, false});
      }
    }
  }

  const auto key = [&np_flags](const ComponentStatus& s) {
    const auto it = np_flags.find(s.ident);
    return std::make_pair(it == np_flags.end() ? 0u : it->second, s.ident);
  };
  for (auto& [type, list] : table_) {
    if (is_skipdma_type(type)) continue;
    std::sort(list.begin(), list.end(),
              [&key](const ComponentStatus& a, const ComponentStatus& b) { return key(a) < key(b); });
  }
}

void MeshMapper::reserve_nps(const std::vector<hw::Ident>& idents) {
  for (auto& [type, list] : table_)
    for (ComponentStatus& s : list) s.reserved = std::find(idents.begin(), idents.end(), s.ident) != idents.end();
}

void MeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
  for (auto& [t, list] : table_) {
    if (type != kNoNpType && t != type) continue;
    for (ComponentStatus& s : list)
      if (s.ident == ident) s.allocated = true;
  }
}

void MeshMapper::deallocate_nps() {
  for (auto& [type, list] : table_)
    for (ComponentStatus& s : list) s.allocated = false;
}

uint32_t MeshMapper::max_nps(hw::Type type) {
  const auto& list = table_[type];
  return static_cast<uint32_t>(std::count_if(list.begin(), list.end(), [](const auto& s) { return !s.reserved; }));
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) {
  std::vector<hw::Ident> idents;
  for (const ComponentStatus& s : table_[type])
    if (!s.reserved && !s.allocated) idents.push_back(s.ident);
  return idents;
}

hw::Type MeshMapper::get_compatible_fnp_type(const Layer& layer) {
  const uint32_t m2 = max_nps(Type::FNP2);
  const bool a2 = !available_nps(Type::FNP2).empty();
  const uint32_t m3 = max_nps(Type::FNP3);
  const bool a3 = !available_nps(Type::FNP3).empty();
  const bool fits3 = checker_->is_fnp3_compatible(layer);
  if (a3 && fits3) return Type::FNP3;
  if (a2) return Type::FNP2;
  if (m3 > 0 && fits3) return Type::FNP3;
  if (m2 > 0) return Type::FNP2;
  return kNoNpType;
}

std::vector<hw::Component> MeshMapper::place_components(const Layer& layer, const std::vector<hw::Type>& types,
                                                        bool loop_itself, MappingStatus* status) {
  const MapConstraints& mc = *constraints_;
  const LayerType layer_type = layer.params()->layer_type();
  // Only an NP type can be split over; the engine gives every CNP and TNP-B type one.
  if (types.empty() || (types.front() != Type::CNP1 && types.front() != Type::TNP_B)) {
    *status = cannot_map(layer);
    return {};
  }
  const Type np_type = types.front();

  SplitResult split;
  switch (layer_type) {
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
      split = split_depthwise_conv_layer(layer, *checker_, mc.cnp_max_height(), mc.cnp_max_width(),
                                         mc.cnp_max_filters(), np_type, loop_itself);
      break;
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: {
      // The output of a transposed part is twice its input.
      const uint32_t height = std::min(mc.cnp_max_height_default() / 2, mc.cnp_max_height());
      const uint32_t width = std::min(mc.cnp_max_width_default() / 2, mc.cnp_max_width());
      split = layer_type == LayerType::Conv2DTranspose
                  ? split_transposed_conv2d_layer(layer, *checker_, height, width, mc.cnp_max_filters(), loop_itself)
                  : split_transposed_dwconv2d_layer(layer, *checker_, height, width, mc.cnp_max_filters(),
                                                    loop_itself);
      break;
    }
    default:
      split = split_conv_layer(layer, *checker_, mc.cnp_max_height(), mc.cnp_max_width(), mc.cnp_max_filters(),
                               np_type, loop_itself);
      break;
  }
  *status = std::get<1>(split);
  return std::move(std::get<0>(split));
}

MappingStatus MeshMapper::assign_idents(const Layer& layer, const std::vector<hw::Type>& types,
                                        const std::map<hw::Type, size_t>& counts,
                                        std::vector<hw::Component>* components) {
  for (Type t : types) {
    const size_t n = counts.at(t);
    const std::vector<hw::Ident> candidates = available_nps(t);
    const std::vector<hw::Ident> chosen = constraints_->select_nps(candidates, n, t);
    if (chosen.size() != n) return NpsMappingError(layer.get_name(), n, chosen.size());
    if (auto refused = check_choice(layer, t, chosen, candidates)) return *refused;
    size_t k = 0;
    for (hw::Component& c : *components) {
      if (c.type != t) continue;
      c.ident = chosen[k++];
      // An NP given as one type is gone from the lists of all its types; a store and a load
      // channel of the same engine are separate resources.
      allocate_np(c.ident, is_skipdma_type(t) ? t : kNoNpType);
    }
  }
  return MappingSuccess();
}

std::tuple<std::vector<hw::Component>, MappingStatus> MeshMapper::map_layer(
    const std::shared_ptr<Layer>& layer, const std::vector<hw::Ident>& reserve, bool loop_itself, bool* pass_full,
    const std::vector<std::shared_ptr<Layer>>& layers) {
  if (!layer) throw std::invalid_argument("MeshMapper cannot map a null layer.");
  if (pass_full == nullptr) throw std::invalid_argument("MeshMapper::map_layer needs a pass-full flag.");
  MappingStatus status = MappingSuccess();
  std::vector<Type> types{kNoNpType};
  std::vector<hw::Component> components;
  *pass_full = false;

  constraints_->next_layer_handler(layer->get_name());
  reserve_nps(reserve);

  switch (layer->params()->layer_type()) {
    case LayerType::FullyConnected:
    case LayerType::Dense1D: {
      const Type t = get_compatible_fnp_type(*layer);
      types = {t};
      if (t != kNoNpType) components.push_back(fnp_component(*layer, t));
      break;
    }
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
      types = compatible_np_types(layer, layers);
      components = place_components(*layer, types, loop_itself, &status);
      request_skipdma(&components, types, layer, layers);
      break;
    case LayerType::VitEncoderBlock:
      types = {Type::VIT_BLOCK};
      components = {vit_component()};
      break;
    default:
      break;
  }
  if (!status.ok()) return {components, status};

  std::map<Type, size_t> counts;
  for (Type t : types)
    counts[t] = static_cast<size_t>(
        std::count_if(components.begin(), components.end(), [t](const hw::Component& c) { return c.type == t; }));

  if (const auto it = counts.find(Type::SKIP_DMA_STORE); it != counts.end() && it->second > 1)
    throw std::runtime_error(
        "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not yet "
        "implemented.");

  // Against the whole mesh, whatever the current pass holds.
  for (Type t : types) {
    const size_t n = counts[t];
    if (n == 0) return {components, cannot_map(*layer)};
    const uint32_t max = max_nps(t);
    if (max < n) return {components, NpsMappingError(layer->get_name(), n, max)};
  }

  for (Type t : types) {
    if (available_nps(t).size() >= counts[t]) continue;
    deallocate_nps();
    *pass_full = true;
    if (layer->is_kind(6)) return {components, {1, "TNP-B cannot be the first layer layer of a pass."}};
    break;
  }

  // What follows a TNP-B reads it back through skip DMAs of the same pass.
  const auto inbounds = layer->inbound_layers();
  if (inbounds.size() == 1 && inbounds.front() && inbounds.front()->is_kind(6)) {
    if (available_nps(Type::SKIP_DMA_STORE).empty() || available_nps(Type::SKIP_DMA_LOAD).empty() ||
        available_nps(Type::TNP_B).empty()) {
      deallocate_nps();
      *pass_full = true;
    }
  }

  status = assign_idents(*layer, types, counts, &components);

  if (breaks_tnp_b_channel_rule(*layer, components))
    status = {1, "The number of channels must be a multiple of 4 to be split by filter."};

  return {components, status};
}

std::vector<hw::Type> compatible_np_types(const std::shared_ptr<Layer>& layer,
                                          const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<hw::Type> types;
  if (layer->is_kind(2))
    types.push_back(Type::CNP1);
  else if (layer->is_kind(6))
    types.push_back(Type::TNP_B);
  if (layer_need_store_dma(layer, layers) || is_dual_output_layer(layer, layers)) types.push_back(Type::SKIP_DMA_STORE);
  if (layer_need_load_dma(*layer)) types.push_back(Type::SKIP_DMA_LOAD);
  return types;
}

}  // namespace nuvra
