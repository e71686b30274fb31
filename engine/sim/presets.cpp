// Frozen board presets: tests of the whole system depend on these exact values.
#include <nuvra/sim.h>

#include <stdexcept>
#include <string>

namespace nuvra::sim {

namespace {

// Every preset has its DMA node at row 1, column 1 without NPs (event id 0, conf id 1),
// NPs from the first column of rows 1 and 2, and no extra NP node.
SimBoardConfig base_config(const char* name, HwVersion version, uint8_t rows, uint8_t cols,
                           uint8_t last_np_col_last_row) {
  SimBoardConfig c;
  c.version = version;
  c.description = std::string("SimBoard/") + name;
  c.geometry.rows = rows;
  c.geometry.cols = cols;
  c.geometry.nps_per_node = 4;
  c.geometry.dma_node_has_no_nps = true;
  c.geometry.dma_row = 1;
  c.geometry.dma_col = 1;
  c.geometry.dma_event_id = 0;
  c.geometry.dma_conf_id = 1;
  c.geometry.last_np_col_last_row = last_np_col_last_row;
  return c;
}

// Ids 0-2: CNP1, CNP2, FNP3; id 3: CNP1, CNP2, FNP2.
uint32_t first_generation_np_word(const hw::Ident& ident) { return ident.id == 3 ? 0xA0 : 0xB0; }

// Ids 0-2: CNP1, CNP2, FNP3, TNP_B; id 3: CNP1, CNP2, FNP2.
uint32_t fpga_v2_np_word(const hw::Ident& ident) { return ident.id == 3 ? 0x0A0 : 0x1B0; }

}  // namespace

const std::vector<std::string>& preset_names() {
  static const std::vector<std::string> names = {"fpga_v2", "vlq7300_v1", "twonodes_v1", "qrix_v1", "qrix_v2"};
  return names;
}

SimBoardConfig preset(std::string_view name) {
  if (name == "fpga_v2") {
    SimBoardConfig c = base_config("fpga_v2", versions::FPGA_v2, 3, 4, 4);
    c.np_word = fpga_v2_np_word;
    c.geometry.skipdma_col_mask = 0x0006;
    c.geometry.skipdma_channels = 4;
    return c;
  }
  if (name == "vlq7300_v1") {
    SimBoardConfig c = base_config("vlq7300_v1", versions::VLQ7300_v1, 2, 3, 3);
    c.np_word = first_generation_np_word;
    c.soc = true;
    c.flash = true;
    return c;
  }
  if (name == "twonodes_v1") {
    SimBoardConfig c = base_config("twonodes_v1", versions::TwoNodesIP_v1, 1, 3, 3);
    c.np_word = first_generation_np_word;
    return c;
  }
  // The register says 2 for both; Qrix_v2 discovery must ignore it and use every column.
  if (name == "qrix_v1") {
    SimBoardConfig c = base_config("qrix_v1", versions::Qrix_v1, 3, 4, 2);
    c.np_word = first_generation_np_word;
    return c;
  }
  if (name == "qrix_v2") {
    SimBoardConfig c = base_config("qrix_v2", versions::Qrix_v2, 3, 4, 2);
    c.np_word = first_generation_np_word;
    return c;
  }
  throw std::invalid_argument("Unknown simulated board preset '" + std::string(name) + "'");
}

}  // namespace nuvra::sim
