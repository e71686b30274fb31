#include <nuvra/sim.h>

#include <cstdio>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nuvra::sim {

namespace {

[[noreturn]] void no_register(uint32_t address) {
  char text[64];
  std::snprintf(text, sizeof text, "Simulated board: no register at 0x%08X", address);
  throw std::runtime_error(text);
}

// Requests must cover whole aligned words; the first address that does not is the one reported.
void check_words(uint32_t address, size_t bytes) {
  if (address % 4 != 0) no_register(address);
  if (bytes % 4 != 0) no_register(static_cast<uint32_t>(address + bytes / 4 * 4));
}

bool in_mesh_block(uint32_t base, uint32_t address) {
  const uint32_t offset = address - base;
  return offset >= 0x50 && offset <= 0x64;
}

}  // namespace

bool mesh_register(const SimBoardConfig& config, uint32_t offset, uint32_t* value) {
  const SimGeometry& g = config.geometry;
  const bool second_generation = ip_version_of(config.version) == IpVersion::v2;
  switch (offset) {
    case 0x50:
      *value = uint32_t{g.rows} | uint32_t{g.cols} << 8 | uint32_t{g.first_np_col_row1} << 16 |
               uint32_t{g.first_np_col_row2} << 24;
      return true;
    case 0x54:
      *value = uint32_t{g.nps_per_node} | uint32_t{g.dma_node_has_no_nps} << 4 | uint32_t{g.dma_row} << 8 |
               uint32_t{g.dma_col} << 16 | uint32_t{g.dma_event_id} << 24 | uint32_t{g.dma_conf_id} << 28;
      return true;
    case 0x58:
      *value = uint32_t{g.extra_np_row} | uint32_t{g.extra_np_col} << 8 | uint32_t{g.last_np_col_last_row} << 24;
      return true;
    case 0x60:
      if (!second_generation) return false;
      *value = uint32_t{g.vit_first_col} | uint32_t{g.vit_first_row} << 8 | uint32_t{g.vit_present} << 16;
      return true;
    case 0x64:
      if (!second_generation) return false;
      *value = uint32_t{g.skipdma_col_mask} | uint32_t{g.skipdma_channels} << 24;
      return true;
    default:
      return false;
  }
}

SimBoard::SimBoard(SimBoardConfig config) : config_(std::move(config)) {
  const SimGeometry& g = config_.geometry;
  // Fields wider than their register bits would be cut silently.
  if (g.nps_per_node > 7) throw std::invalid_argument("Simulated board: nps_per_node must be at most 7");
  if (g.dma_event_id > 15 || g.dma_conf_id > 15)
    throw std::invalid_argument("Simulated board: DMA endpoint ids must be at most 15");
  if (!config_.np_word && !config_.bad_np_word)
    throw std::invalid_argument("Simulated board: np_word is not set");
}

void SimBoard::read(uint32_t address, void* buffer, size_t bytes) {
  if (bytes == 0) return;
  if (buffer == nullptr) throw std::invalid_argument("Simulated board: no read buffer");
  check_words(address, bytes);
  // Every word is looked up before the caller's buffer is touched.
  std::vector<uint32_t> words(bytes / 4);
  for (size_t i = 0; i < words.size(); ++i) {
    const uint32_t word_address = static_cast<uint32_t>(address + 4 * i);
    reads_.push_back(word_address);
    if (!register_word(word_address, &words[i])) no_register(word_address);
  }
  std::memcpy(buffer, words.data(), bytes);
}

bool SimBoard::register_word(uint32_t address, uint32_t* value) {
  if (config_.soc) {
    switch (address) {
      case kClockStatusRegister:
        *value = clock_busy_left_ > 0 ? 1 : 0;
        if (clock_busy_left_ > 0 && clock_busy_left_ != UINT32_MAX) --clock_busy_left_;
        return true;
      case kClockDividerRegister:
        *value = clock_divider_;
        return true;
      case kClockSettingARegister:
        *value = clock_setting_a_;
        return true;
      case kClockSettingBRegister:
        *value = clock_setting_b_;
        return true;
      default:
        break;
    }
  }
  return mesh_register(config_, address - config_.base_address, value);
}

void SimBoard::write(uint32_t address, const void* buffer, size_t bytes) {
  if (bytes == 0) return;
  if (buffer == nullptr) throw std::invalid_argument("Simulated board: no write buffer");
  check_words(address, bytes);
  const size_t count = bytes / 4;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word_address = static_cast<uint32_t>(address + 4 * i);
    if (in_mesh_block(config_.base_address, word_address)) no_register(word_address);
  }
  std::vector<uint32_t> words(count);
  std::memcpy(words.data(), buffer, bytes);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word_address = static_cast<uint32_t>(address + 4 * i);
    writes_.emplace_back(word_address, words[i]);
    if (!config_.soc) continue;
    if (word_address == kClockStatusRegister && (words[i] & 1) != 0) clock_busy_left_ = config_.clock_busy_reads;
    if (word_address == kClockDividerRegister) clock_divider_ = words[i];
    if (word_address == kClockSettingARegister) clock_setting_a_ = words[i];
    if (word_address == kClockSettingBRegister) clock_setting_b_ = words[i];
  }
}

std::shared_ptr<BoardBackend> SimBoard::board() {
  // A board not owned by a shared_ptr cannot be kept alive by its devices: it has no board to give.
  return weak_from_this().lock();
}

void SimBoard::open() {
  ++opens_;
  if (opens_ <= config_.fail_create) throw std::runtime_error("Simulated board failed to open");
  reset_program();
  program_clk_ = 0;
  top_ = 0;
  counter_enabled_ = false;
  counter_ = 0;
}

void SimBoard::read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count) {
  if (count == 0) return;
  if (out == nullptr) throw std::invalid_argument("Simulated board: no output buffer");
  const SimGeometry& g = config_.geometry;
  if (ident.col < 1 || ident.col > g.cols || ident.row < 1 || ident.row > g.rows || ident.id >= g.nps_per_node)
    throw std::runtime_error("Simulated board: no NP at " + ident.to_string());
  out[0] = config_.bad_np_word ? 0 : config_.np_word(ident);
  for (uint32_t i = 1; i < count; ++i) out[i] = 0;
}

}  // namespace nuvra::sim
