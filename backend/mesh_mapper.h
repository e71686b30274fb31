// Hands out the components of a device's mesh to the layers of one hardware sequence.
#pragma once

#include "backend/map_constraints.h"
#include "backend/split_search.h"
#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace nuvra {

// One entry of the NP table: a component under one of its types. Available means neither
// reserved nor allocated.
struct ComponentStatus {
  hw::Ident ident;
  bool reserved = false;
  bool allocated = false;
  bool operator==(const ComponentStatus&) const = default;
};

// The entries of a mesh's NP table and each type's list of them in preference order; the same
// for every map on one mesh, so it is made once per mesh.
struct MeshTable;

// Type 0 stands for no type (a layer without NP) or, to allocate_np, for every type.
inline constexpr hw::Type kNoNpType = hw::Type{0};

class MeshMapper {
 public:
  // Keeps both addresses; the table starts empty until reset().
  MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints);

  // Rebuilds the table from the constraints' device mesh, in preference order: NPs away from
  // fully-connected NPs first, FNP3 nodes next, FNP2-capable NPs last. A skip-DMA engine gives
  // one store and one load entry per channel. Throws std::runtime_error without a mesh.
  void reset();
  // Replaces every reservation: reserved exactly when the ident (all four fields) is listed.
  void reserve_nps(const std::vector<hw::Ident>& idents);
  // Marks the ident allocated in the list of `type`, or in every list for type 0.
  void allocate_np(hw::Ident ident, hw::Type type);
  // Frees every allocation (a new pass starts).
  void deallocate_nps();
  // Unreserved entries of the type, allocated or not.
  uint32_t max_nps(hw::Type type);
  // Idents neither reserved nor allocated, in preference order.
  std::vector<hw::Ident> available_nps(hw::Type type);
  // FNP3 or FNP2 for a dense layer, 0 when the mesh has neither. A kind that exists but is
  // all taken is still returned, so that the caller opens a new pass rather than failing. An
  // FNP3 is taken only for an image that fits its SRAM and, where an FNP2 is left, its DMA block.
  hw::Type get_compatible_fnp_type(const Layer& layer);

  // Places one layer: splits it, adds its skip-DMA requests and gives every component an NP
  // or skip-DMA channel. `*pass_full` tells that the current pass had to be freed first, so
  // the layer opens a new pass. The components come back with every status. An answer of
  // select_nps that names a component which is not free, or one twice, is refused.
  std::tuple<std::vector<hw::Component>, MappingStatus> map_layer(const std::shared_ptr<Layer>& layer,
                                                                  const std::vector<hw::Ident>& reserve,
                                                                  bool loop_itself, bool* pass_full,
                                                                  const std::vector<std::shared_ptr<Layer>>& layers);

 private:
  // How many idents available_nps would give.
  size_t available_count(hw::Type type) const;
  // What available_nps gives, into `idents`.
  void list_available(hw::Type type, std::vector<hw::Ident>* idents) const;
  std::vector<hw::Component> place_components(const Layer& layer, const std::vector<hw::Type>& types,
                                              bool loop_itself, MappingStatus* status);
  // Every component of each type in `types` gets an NP of that type.
  MappingStatus assign_idents(const Layer& layer, const std::vector<hw::Type>& types,
                              std::vector<hw::Component>* components);

  std::shared_ptr<const MeshTable> lists_;
  std::vector<ComponentStatus> entries_;  // by entry of lists_
  std::vector<hw::Ident> candidates_;      // room for assign_idents, kept from layer to layer
  std::vector<hw::Type> types_;            // room for map_layer's types, kept likewise
  const CompatibilityChecker* checker_;
  const MapConstraints* constraints_;
  SplitSearchMemo split_memo_;  // answers for checker_ only
};

// The types a CNP or TNP-B layer needs, in allocation order: its NP type (CNP1 or TNP_B) when
// it has one, then SKIP_DMA_STORE when its output must be kept, then SKIP_DMA_LOAD when it
// reads a kept output.
std::vector<hw::Type> compatible_np_types(const std::shared_ptr<Layer>& layer,
                                          const std::vector<std::shared_ptr<Layer>>& layers);
// The same into `types`, whose room is reused.
void list_compatible_np_types(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers,
                              std::vector<hw::Type>* types);

}  // namespace nuvra
