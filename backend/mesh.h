// The grid of nodes of a device and what each node offers.
#pragma once

#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

namespace nuvra {

class HardwareDevice;

namespace np {

// One component of the mesh and the kinds of work it can do.
struct Info {
  hw::Ident ident;
  std::set<hw::Type> types;
  bool operator==(const Info&) const = default;
};

}  // namespace np

// Mesh geometry decoded from a board's registers.
struct MeshInfo {
  uint8_t rows = 0;
  uint8_t cols = 0;
  uint8_t nps_per_node = 0;
  uint8_t dma_node_has_no_nps = 0;
  uint8_t dma_row = 0;
  uint8_t dma_col = 0;
  uint8_t dma_event_id = 0;
  uint8_t dma_conf_id = 0;
  uint8_t first_np_col_row1 = 0;
  uint8_t first_np_col_row2 = 0;
  uint8_t extra_np_row = 0;
  uint8_t extra_np_col = 0;
  uint8_t last_np_col_last_row = 0;
  uint8_t vit_first_col = 0;
  uint8_t vit_first_row = 0;
  uint8_t vit_present = 0;
  uint8_t skipdma_channels = 0;
  uint8_t spare = 0;
  uint16_t skipdma_col_mask = 0;
};

struct Mesh {
  // Versions other than v1 and v2 throw std::runtime_error; lists that check_np_list,
  // check_skip_dma_list or check_component_count refuse throw std::invalid_argument.
  Mesh(IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf, std::vector<np::Info> nps,
       std::vector<np::Info> skip_dmas);

  // Reads the mesh of a board from its registers.
  static std::unique_ptr<Mesh> discover(HardwareDevice* device);

  // Compares the endpoints and both lists; the version and the SRAM sizes take no part.
  bool operator==(const Mesh& other) const;

  IpVersion version;
  hw::Ident dma_event;
  hw::Ident dma_conf;
  // Every NP and ViT block, in discovery order.
  std::vector<np::Info> nps;
  // Skip-DMA engines; an entry's channel field holds the engine's channel count.
  std::vector<np::Info> skip_dmas;
  // Bytes shared by each two NPs.
  uint32_t np_input_sram_size;
  uint32_t np_weight_sram_size;
};

// Refuse, with std::invalid_argument, a list that names one component twice, an entry whose id
// does not fit the 4 bits a program block addresses it with (16 or more), a skip-DMA engine of
// more channels than the block's 4-bit channel numbers reach (17 or more), or an entry whose
// types do not belong to its list: an NP offers only NP types (HRC to VIT_BLOCK, TNP_B, TNP_R), a
// skip-DMA engine one or both skip-DMA types. Skip-DMA engines are told apart by col, row and id,
// since their channel field holds a count.
void check_np_list(const std::vector<np::Info>& nps);
void check_skip_dma_list(const std::vector<np::Info>& skip_dmas);

// The mapping numbers the components of a mesh in 16 bits: one for each type of each NP, and two
// (store and load) for each channel of each skip-DMA engine, every engine taking the first one's
// channel count. Refuses, with std::invalid_argument, a mesh of more than kMaxMeshComponents.
inline constexpr uint64_t kMaxMeshComponents = 0xFFFF;
void check_component_count(const std::vector<np::Info>& nps, const std::vector<np::Info>& skip_dmas);

// Appends the NPs and ViT blocks of a board, column by column, row by row, id by id.
void add_nps(const MeshInfo& info, HardwareDevice* device, std::vector<np::Info>* nps);

}  // namespace nuvra
