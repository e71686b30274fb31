#include "backend/mesh_mapper.h"

#include "backend/layer_graph.h"
#include "backend/layer_split.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "backend/skipdma_requests.h"
#include "devices/device.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <mutex>
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
  const auto first = first_input_dimension(layer);
  if (!first) throw std::runtime_error("The layer " + layer.get_name() + " has no input shape.");
  return *first;
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
    const auto what = [&] { return layer.get_name() + " : select_nps returned " + ident_text(ident, type); };
    if (std::find(candidates.begin(), candidates.end(), ident) == candidates.end())
      return MappingStatus{1, what() + ", which is not one of the available components of type " +
                                  std::to_string(static_cast<uint32_t>(type)) + "."};
    if (std::find(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(i), ident) !=
        chosen.begin() + static_cast<std::ptrdiff_t>(i))
      return MappingStatus{1, what() + " more than once."};
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

struct MeshTable {
  // The types with a list are NP and skip-DMA types, all below this.
  static constexpr size_t kTypes = 16;

  std::vector<hw::Ident> idents;                    // by entry
  std::vector<Type> types;                          // by entry: the list it is in
  std::array<std::vector<uint16_t>, kTypes> lists;  // by type: entries in preference order
  std::vector<uint16_t> by_ident;                   // every entry, ordered by ident

  // The entries of one ident, in by_ident.
  std::pair<const uint16_t*, const uint16_t*> entries_of(const hw::Ident& ident) const {
    const auto [lo, hi] = std::equal_range(by_ident.begin(), by_ident.end(), ident, Less{this});
    return {by_ident.data() + (lo - by_ident.begin()), by_ident.data() + (hi - by_ident.begin())};
  }
  struct Less {
    const MeshTable* table;
    bool operator()(uint16_t e, const hw::Ident& i) const { return table->idents[e] < i; }
    bool operator()(const hw::Ident& i, uint16_t e) const { return i < table->idents[e]; }
  };

  const std::vector<uint16_t>& list(Type t) const {
    static const std::vector<uint16_t> none;
    const auto i = static_cast<size_t>(t);
    return i < kTypes ? lists[i] : none;
  }
};

namespace {

std::shared_ptr<const MeshTable> make_table(const Mesh& mesh) {
  // The fields are public: a mesh changed since it was made is checked again before use.
  check_np_list(mesh.nps);
  check_skip_dma_list(mesh.skip_dmas);
  check_component_count(mesh.nps, mesh.skip_dmas);
  auto table = std::make_shared<MeshTable>();
  std::map<hw::Ident, uint32_t> np_flags;
  const auto add = [&table](Type t, const hw::Ident& ident) {
    if (table->idents.size() >= std::numeric_limits<uint16_t>::max())
      throw std::invalid_argument("The mesh has too many components.");
    table->lists[static_cast<size_t>(t)].push_back(static_cast<uint16_t>(table->idents.size()));
    table->idents.push_back(ident);
    table->types.push_back(t);
  };
  for (const np::Info& np : mesh.nps) {
    for (Type t : np.types) {
      add(t, np.ident);
      if (t == Type::FNP3) {
        for (const np::Info& other : mesh.nps)
          if (other.ident.col == np.ident.col && other.ident.row == np.ident.row) np_flags[other.ident] |= 1;
        np_flags[np.ident] |= 2;
      } else if (t == Type::FNP2) {
        np_flags[np.ident] |= 4;
      }
    }
  }

  if (!mesh.skip_dmas.empty()) {
    // The first engine's channel field gives the channel count of every engine.
    const unsigned channels = mesh.skip_dmas.front().ident.channel;
    for (const np::Info& engine : mesh.skip_dmas) {
      for (unsigned c = 0; c < channels; ++c) {
        hw::Ident ident = engine.ident;
        ident.channel = static_cast<uint8_t>(c);
        add(Type::SKIP_DMA_STORE, ident);
        add(Type::SKIP_DMA_LOAD, ident);
      }
    }
  }

  const auto key = [&](uint16_t entry) {
    const hw::Ident& ident = table->idents[entry];
    const auto it = np_flags.find(ident);
    return std::make_pair(it == np_flags.end() ? 0u : it->second, ident);
  };
  for (size_t t = 0; t < MeshTable::kTypes; ++t) {
    if (is_skipdma_type(Type(t))) continue;
    auto& list = table->lists[t];
    std::sort(list.begin(), list.end(), [&key](uint16_t a, uint16_t b) { return key(a) < key(b); });
  }
  table->by_ident.resize(table->idents.size());
  for (size_t e = 0; e < table->by_ident.size(); ++e) table->by_ident[e] = static_cast<uint16_t>(e);
  std::stable_sort(table->by_ident.begin(), table->by_ident.end(),
                   [&table](uint16_t a, uint16_t b) { return table->idents[a] < table->idents[b]; });
  return table;
}

// A mesh's lists as plain words (ident and type bits of every NP, then of every skip-DMA
// engine), to tell meshes apart cheaply; empty when a type does not fit the bits (such a mesh is
// refused when its table is made).
std::vector<uint64_t> signature(const Mesh& mesh) {
  std::vector<uint64_t> words;
  words.reserve(mesh.nps.size() + mesh.skip_dmas.size() + 1);
  const auto add = [&words](const np::Info& info) {
    uint64_t types = 0;
    for (Type t : info.types) {
      if (static_cast<uint32_t>(t) >= 32) return false;
      types |= uint64_t{1} << static_cast<uint32_t>(t);
    }
    const hw::Ident& i = info.ident;
    words.push_back(types << 32 | uint64_t{i.col} << 24 | uint64_t{i.row} << 16 | uint64_t{i.id} << 8 | i.channel);
    return true;
  };
  for (const np::Info& np : mesh.nps)
    if (!add(np)) return {};
  words.push_back(~uint64_t{0});  // where the skip-DMA engines start
  for (const np::Info& engine : mesh.skip_dmas)
    if (!add(engine)) return {};
  return words;
}

// The tables of the meshes mapped last, by their lists: set-up that does not depend on the model
// is done once per device.
std::shared_ptr<const MeshTable> table_of(const Mesh& mesh) {
  struct Made {
    std::vector<uint64_t> lists;
    std::shared_ptr<const MeshTable> table;
  };
  constexpr size_t kMeshesKept = 8;
  static std::mutex mutex;
  static std::vector<Made> made;  // the most recently used last
  std::vector<uint64_t> lists = signature(mesh);
  if (!lists.empty()) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = made.begin(); it != made.end(); ++it) {
      if (it->lists != lists) continue;
      std::rotate(it, it + 1, made.end());
      return made.back().table;
    }
  }
  auto table = make_table(mesh);
  if (lists.empty()) return table;
  std::lock_guard<std::mutex> lock(mutex);
  if (made.size() == kMeshesKept) made.erase(made.begin());
  made.push_back({std::move(lists), table});
  return table;
}

}  // namespace

void MeshMapper::reset() {
  const auto device = constraints_->device();
  const Mesh* mesh = device ? device->mesh() : nullptr;
  if (mesh == nullptr) throw std::runtime_error("The device has no mesh.");
  lists_ = table_of(*mesh);
  entries_.assign(lists_->idents.size(), ComponentStatus{});
  for (size_t e = 0; e < entries_.size(); ++e) entries_[e].ident = lists_->idents[e];
}

void MeshMapper::reserve_nps(const std::vector<hw::Ident>& idents) {
  for (ComponentStatus& s : entries_) s.reserved = false;
  if (!lists_) return;
  for (const hw::Ident& ident : idents)
    for (auto [e, end] = lists_->entries_of(ident); e != end; ++e) entries_[*e].reserved = true;
}

void MeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
  if (!lists_) return;
  for (auto [e, end] = lists_->entries_of(ident); e != end; ++e)
    if (type == kNoNpType || lists_->types[*e] == type) entries_[*e].allocated = true;
}

void MeshMapper::deallocate_nps() {
  for (ComponentStatus& s : entries_) s.allocated = false;
}

uint32_t MeshMapper::max_nps(hw::Type type) {
  if (!lists_) return 0;
  uint32_t n = 0;
  for (const uint16_t e : lists_->list(type)) n += entries_[e].reserved ? 0 : 1;
  return n;
}

size_t MeshMapper::available_count(hw::Type type) const {
  if (!lists_) return 0;
  size_t n = 0;
  for (const uint16_t e : lists_->list(type)) n += entries_[e].reserved || entries_[e].allocated ? 0 : 1;
  return n;
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) {
  std::vector<hw::Ident> idents;
  list_available(type, &idents);
  return idents;
}

void MeshMapper::list_available(hw::Type type, std::vector<hw::Ident>* idents) const {
  idents->clear();
  if (!lists_) return;
  idents->reserve(lists_->list(type).size());
  for (const uint16_t e : lists_->list(type))
    if (!entries_[e].reserved && !entries_[e].allocated) idents->push_back(entries_[e].ident);
}

hw::Type MeshMapper::get_compatible_fnp_type(const Layer& layer) {
  const uint32_t m2 = max_nps(Type::FNP2);
  const bool a2 = available_count(Type::FNP2) != 0;
  const uint32_t m3 = max_nps(Type::FNP3);
  const bool a3 = available_count(Type::FNP3) != 0;
  // An image that fits the SRAM but not the one DMA block of an FNP3 goes to an FNP2 where the mesh
  // leaves one; without one the FNP3 is kept and its mapping check names the limit.
  const bool fits3 = checker_->is_fnp3_compatible(layer) && (m2 == 0 || checker_->is_fnp3_image_recordable(layer));
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
  // Parts of one size spread over more NPs than the mesh has give way to a cut it holds.
  const auto mesh_nps = static_cast<uint32_t>(lists_ ? lists_->list(np_type).size() : 0);

  SplitResult split;
  switch (layer_type) {
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
      split = split_depthwise_conv_layer_reusing(layer, *checker_, mc.cnp_max_height(), mc.cnp_max_width(),
                                                 mc.cnp_max_filters(), np_type, loop_itself, split_memo_, mesh_nps);
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
      split = split_conv_layer_reusing(layer, *checker_, mc.cnp_max_height(), mc.cnp_max_width(),
                                       mc.cnp_max_filters(), np_type, loop_itself, split_memo_, mesh_nps);
      break;
  }
  *status = std::get<1>(split);
  return std::move(std::get<0>(split));
}

MappingStatus MeshMapper::assign_idents(const Layer& layer, const std::vector<hw::Type>& types,
                                        std::vector<hw::Component>* components) {
  for (Type t : types) {
    const size_t n = static_cast<size_t>(
        std::count_if(components->begin(), components->end(), [t](const hw::Component& c) { return c.type == t; }));
    std::vector<hw::Ident>& candidates = candidates_;
    list_available(t, &candidates);
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
  std::vector<Type>& types = types_;  // its room kept from layer to layer
  types.clear();
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
      list_compatible_np_types(layer, layers, &types);
      components = place_components(*layer, types, loop_itself, &status);
      request_skipdma(&components, types, layer, layers);
      break;
    case LayerType::VitEncoderBlock:
      types = {Type::VIT_BLOCK};
      components = {vit_component()};
      break;
    default:
      types = {kNoNpType};
      break;
  }
  if (!status.ok()) return {std::move(components), std::move(status)};

  // The components of each type; only assign_idents changes them, and only their idents.
  const auto count_of = [&components](Type t) {
    return static_cast<size_t>(
        std::count_if(components.begin(), components.end(), [t](const hw::Component& c) { return c.type == t; }));
  };
  if (std::find(types.begin(), types.end(), Type::SKIP_DMA_STORE) != types.end() &&
      count_of(Type::SKIP_DMA_STORE) > 1)
    throw std::runtime_error(
        "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not yet "
        "implemented.");

  // Against the whole mesh, whatever the current pass holds.
  for (Type t : types) {
    const size_t n = count_of(t);
    if (n == 0) return {std::move(components), cannot_map(*layer)};
    const uint32_t max = max_nps(t);
    if (max < n) return {std::move(components), NpsMappingError(layer->get_name(), n, max)};
  }

  for (Type t : types) {
    if (available_count(t) >= count_of(t)) continue;
    deallocate_nps();
    *pass_full = true;
    if (layer->is_kind(6)) return {std::move(components), {1, "TNP-B cannot be the first layer layer of a pass."}};
    break;
  }

  // What follows a TNP-B reads it back through skip DMAs of the same pass.
  const auto inbounds = inbounds_of(*layer);
  if (inbounds.size() == 1 && inbounds.front() && inbounds.front()->is_kind(6)) {
    if (available_count(Type::SKIP_DMA_STORE) == 0 || available_count(Type::SKIP_DMA_LOAD) == 0 ||
        available_count(Type::TNP_B) == 0) {
      deallocate_nps();
      *pass_full = true;
    }
  }

  status = assign_idents(*layer, types, &components);

  if (breaks_tnp_b_channel_rule(*layer, components))
    status = {1, "The number of channels must be a multiple of 4 to be split by filter."};

  return {std::move(components), std::move(status)};
}

std::vector<hw::Type> compatible_np_types(const std::shared_ptr<Layer>& layer,
                                          const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<hw::Type> types;
  list_compatible_np_types(layer, layers, &types);
  return types;
}

void list_compatible_np_types(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers,
                              std::vector<hw::Type>* types) {
  types->clear();
  types->reserve(3);
  if (layer->is_kind(2))
    types->push_back(Type::CNP1);
  else if (layer->is_kind(6))
    types->push_back(Type::TNP_B);
  if (layer_need_store_dma(layer, layers) || is_dual_output_layer(layer, layers)) types->push_back(Type::SKIP_DMA_STORE);
  if (layer_need_load_dma(*layer)) types->push_back(Type::SKIP_DMA_LOAD);
}

}  // namespace nuvra
