#include "backend/mesh.h"

#include <nuvra/hardware.h>
#include <nuvra/host_hooks.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra {

namespace {

bool is_second_generation(const HwVersion& version) { return version.product_id == 0xA2; }

uint32_t read_word(BlockDevice* driver, uint32_t base, uint32_t offset) {
  uint32_t word = 0;
  driver->read(base + offset, &word, sizeof word);
  return word;
}

uint8_t bits(uint32_t word, unsigned lo, unsigned width) {
  return static_cast<uint8_t>((word >> lo) & ((1u << width) - 1));
}

// Whether (col, row, id) holds an NP; the order of the tests matters.
bool is_np(const MeshInfo& info, uint8_t col, uint8_t row, uint8_t id) {
  if (row == info.dma_row && col == info.dma_col) {
    if (info.dma_node_has_no_nps) return false;
    return id != info.dma_event_id && id != info.dma_conf_id;
  }
  if (row == info.extra_np_row && col == info.extra_np_col) return true;
  if (row == 1) {
    if (col < std::max<uint8_t>(info.first_np_col_row1, 1)) return false;
    if (info.rows != 1) return true;
  }
  if (row == 2 && col < std::max<uint8_t>(info.first_np_col_row2, 1)) return false;
  if (row == info.rows && col > info.last_np_col_last_row) return false;
  return true;
}

std::set<hw::Type> np_types(uint32_t word, bool second_generation) {
  std::set<hw::Type> types;
  switch (bits(word, 4, 2)) {
    case 2: types.insert(hw::Type::FNP2); break;
    case 3: types.insert(hw::Type::FNP3); break;
    default: break;
  }
  switch (bits(word, 6, 2)) {
    case 1: types.insert(hw::Type::CNP1); break;
    case 2:
      types.insert(hw::Type::CNP1);
      types.insert(hw::Type::CNP2);
      break;
    default: break;
  }
  if (second_generation) {
    if (word & (1u << 8)) types.insert(hw::Type::TNP_B);
    if (word & (1u << 9)) types.insert(hw::Type::TNP_R);
  }
  return types;
}

const char* type_label(hw::Type t) {
  static constexpr const char* kNames[] = {"none",  "HRC",   "CNP1",           "CNP2",  "FNP2",          "FNP3",
                                           "VIT_BLOCK", "SKIP_DMA_STORE", "TNP_B", "TNP_R", "SKIP_DMA_LOAD",
                                           "DMA_EVENT"};
  const auto v = static_cast<uint32_t>(t);
  return v < std::size(kNames) ? kNames[v] : "unknown";
}

std::string type_text(hw::Type t) {
  return std::to_string(static_cast<uint32_t>(t)) + " (" + type_label(t) + ")";
}

bool is_np_type(hw::Type t) {
  switch (t) {
    case hw::Type::HRC:
    case hw::Type::CNP1:
    case hw::Type::CNP2:
    case hw::Type::FNP2:
    case hw::Type::FNP3:
    case hw::Type::VIT_BLOCK:
    case hw::Type::TNP_B:
    case hw::Type::TNP_R: return true;
    default: return false;
  }
}

// Every program block addresses its component with a 4-bit id, and a skip-DMA channel with a
// 4-bit channel number.
constexpr unsigned kMaxComponentId = 15;
constexpr unsigned kMaxSkipDmaChannels = 16;

void check_id(const std::string& name, const hw::Ident& ident) {
  if (ident.id > kMaxComponentId)
    throw std::invalid_argument(name + " of the mesh has id " + std::to_string(ident.id) +
                                ", but a program addresses ids up to " + std::to_string(kMaxComponentId) + " only.");
}

}  // namespace

void check_np_list(const std::vector<np::Info>& nps) {
  std::set<hw::Ident> seen;
  for (const np::Info& np : nps) {
    if (!seen.insert(np.ident).second)
      throw std::invalid_argument("The mesh lists NP " + np.ident.to_string() + " more than once.");
    check_id("NP " + np.ident.to_string(), np.ident);
    for (hw::Type t : np.types)
      if (!is_np_type(t))
        throw std::invalid_argument("NP " + np.ident.to_string() + " of the mesh offers type " + type_text(t) +
                                    ", which is not an NP type.");
  }
}

void check_skip_dma_list(const std::vector<np::Info>& skip_dmas) {
  std::set<hw::Ident> seen;
  for (const np::Info& engine : skip_dmas) {
    const std::string name = "Skip-DMA engine " + engine.ident.to_string();
    if (!seen.insert({engine.ident.col, engine.ident.row, engine.ident.id, 0}).second)
      throw std::invalid_argument("The mesh lists skip-DMA engine " + engine.ident.to_string() + " more than once.");
    check_id(name, engine.ident);
    if (engine.ident.channel > kMaxSkipDmaChannels)
      throw std::invalid_argument(name + " of the mesh has " + std::to_string(engine.ident.channel) +
                                  " channels, but a program addresses channels 0 to " +
                                  std::to_string(kMaxSkipDmaChannels - 1) + " only.");
    if (engine.types.empty())
      throw std::invalid_argument(name + " of the mesh offers no type; it must offer 7 (SKIP_DMA_STORE), 10 "
                                  "(SKIP_DMA_LOAD) or both.");
    for (hw::Type t : engine.types)
      if (t != hw::Type::SKIP_DMA_STORE && t != hw::Type::SKIP_DMA_LOAD)
        throw std::invalid_argument(name + " of the mesh offers type " + type_text(t) +
                                    ", which is not a skip-DMA type.");
  }
}

void check_component_count(const std::vector<np::Info>& nps, const std::vector<np::Info>& skip_dmas) {
  uint64_t count = 0;
  for (const np::Info& np : nps) count += np.types.size();
  // The first engine's channel field gives the channel count of every engine.
  if (!skip_dmas.empty()) count += uint64_t{2} * skip_dmas.size() * skip_dmas.front().ident.channel;
  if (count > kMaxMeshComponents)
    throw std::invalid_argument("The mesh has " + std::to_string(count) +
                                " components (one for each type of each NP, two for each skip-DMA channel), but a "
                                "mapping numbers at most " +
                                std::to_string(kMaxMeshComponents) + ".");
}

Mesh::Mesh(IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf, std::vector<np::Info> nps,
           std::vector<np::Info> skip_dmas)
    : version(version), dma_event(dma_event), dma_conf(dma_conf), nps(std::move(nps)), skip_dmas(std::move(skip_dmas)) {
  switch (version) {
    case IpVersion::v1:
      np_input_sram_size = 43008;
      np_weight_sram_size = 44800;
      break;
    case IpVersion::v2:
      np_input_sram_size = 65536;
      np_weight_sram_size = 51200;
      break;
    default:
      throw std::runtime_error("The mesh should have a valid IP version.");
  }
  check_np_list(this->nps);
  check_skip_dma_list(this->skip_dmas);
  check_component_count(this->nps, this->skip_dmas);
}

bool Mesh::operator==(const Mesh& other) const {
  return dma_event == other.dma_event && dma_conf == other.dma_conf && nps == other.nps &&
         skip_dmas == other.skip_dmas;
}

std::unique_ptr<Mesh> Mesh::discover(HardwareDevice* device) {
  if (device == nullptr) throw std::invalid_argument("Mesh discovery needs a hardware device.");
  const HwVersion version = device->version();
  HardwareDriver* driver = device->driver();
  if (driver == nullptr) throw std::runtime_error("Mesh discovery needs a hardware device with a driver.");
  const uint32_t base = driver->base_address();

  MeshInfo info;
  const uint32_t r50 = read_word(driver, base, 0x50);
  const uint32_t r54 = read_word(driver, base, 0x54);
  const uint32_t r58 = read_word(driver, base, 0x58);
  info.rows = bits(r50, 0, 8);
  info.cols = bits(r50, 8, 8);
  info.first_np_col_row1 = bits(r50, 16, 8);
  info.first_np_col_row2 = bits(r50, 24, 8);
  info.nps_per_node = bits(r54, 0, 3);
  info.dma_node_has_no_nps = bits(r54, 4, 1);
  info.dma_row = bits(r54, 8, 8);
  info.dma_col = bits(r54, 16, 8);
  info.dma_event_id = bits(r54, 24, 4);
  info.dma_conf_id = bits(r54, 28, 4);
  info.extra_np_row = bits(r58, 0, 8);
  info.extra_np_col = bits(r58, 8, 8);
  info.last_np_col_last_row = bits(r58, 24, 8);

  // The whole last row of a Qrix_v2 holds NPs, whatever its register says.
  if (version == versions::Qrix_v2) info.last_np_col_last_row = info.cols;

  if (is_second_generation(version)) {
    const uint32_t r60 = read_word(driver, base, 0x60);
    const uint32_t r64 = read_word(driver, base, 0x64);
    info.vit_first_col = bits(r60, 0, 8);
    info.vit_first_row = bits(r60, 8, 8);
    info.vit_present = bits(r60, 16, 8);
    info.skipdma_col_mask = static_cast<uint16_t>(r64 & 0xFFFF);
    info.skipdma_channels = bits(r64, 24, 8);
  }

  const hw::Ident dma_event{info.dma_col, info.dma_row, info.dma_event_id, 0};
  const hw::Ident dma_conf{info.dma_col, info.dma_row, info.dma_conf_id, 0};

  std::vector<np::Info> nps;
  add_nps(info, device, &nps);

  IpVersion ip = IpVersion::v1;
  std::vector<np::Info> skip_dmas;
  if (is_second_generation(device->version())) {
    ip = IpVersion::v2;
    for (uint8_t k = 1; k <= 15; ++k)
      if (info.skipdma_col_mask & (1u << k))
        skip_dmas.push_back({{k, 1, 3, info.skipdma_channels}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}});
  }
  return std::make_unique<Mesh>(ip, dma_event, dma_conf, std::move(nps), std::move(skip_dmas));
}

void add_nps(const MeshInfo& info, HardwareDevice* device, std::vector<np::Info>* nps) {
  if (device == nullptr || nps == nullptr) throw std::invalid_argument("add_nps needs a hardware device and a list.");
  // Counters are wider than the 8-bit bounds so that a bound of 255 still ends the loop.
  for (unsigned c = 1; c <= info.cols; ++c) {
    for (unsigned r = 1; r <= info.rows; ++r) {
      const auto col = static_cast<uint8_t>(c);
      const auto row = static_cast<uint8_t>(r);
      if (info.vit_present != 0 && col >= info.vit_first_col) {
        if (row < info.vit_first_row) continue;
        nps->push_back({{col, row, 0, 0}, {hw::Type::VIT_BLOCK}});
        continue;
      }
      for (unsigned i = 0; i < info.nps_per_node; ++i) {
        const auto id = static_cast<uint8_t>(i);
        if (!is_np(info, col, row, id)) continue;
        const hw::Ident ident{col, row, id, 0};
        uint32_t word = 0;
        device->read_np_registers(&word, ident, 1);
        std::set<hw::Type> types = np_types(word, is_second_generation(device->version()));
        if (types.empty()) panic("Error detecting NP type.");
        nps->push_back({ident, std::move(types)});
      }
    }
  }
}

}  // namespace nuvra
