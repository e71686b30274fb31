// The simulated board: a register file, an NP configuration source, program memory and
// deterministic runs behind a driver, so discovery, programming and direct inference run
// without hardware.
#pragma once

#include <nuvra/hardware.h>
#include <nuvra/program_info.h>
#include <nuvra/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvra::sim {

inline constexpr uint32_t kDefaultBaseAddress = 0x40000000;

// Offsets of the mesh registers from the base address; 0x60 and 0x64 exist only on
// second-generation boards (product 0xA2).
inline constexpr uint32_t kMeshRegisterOffsets[] = {0x50, 0x54, 0x58, 0x60, 0x64};

// SoC clock registers (absolute addresses), present on boards made with `soc`: status (bit 0
// busy; writing 1 starts a change), the divider d (clock 600 MHz / (d + 1)) and two settings.
inline constexpr uint32_t kClockStatusRegister = 0xF0001030;
inline constexpr uint32_t kClockDividerRegister = 0xF0001190;
inline constexpr uint32_t kClockSettingARegister = 0xF00011A0;
inline constexpr uint32_t kClockSettingBRegister = 0xF00011B0;

// What a board with power measurement on logs for each run: 0.8 V at 250 mA.
inline constexpr uint32_t kRunMicrovolts = 800000;
inline constexpr uint32_t kRunMilliamps = 250;

// Mesh geometry as the board reports it; each field lands in its register bits:
// 0x50: rows 0-7, cols 8-15, first_np_col_row1 16-23, first_np_col_row2 24-31
// 0x54: nps_per_node 0-2, dma_node_has_no_nps 4, dma_row 8-15, dma_col 16-23,
//       dma_event_id 24-27, dma_conf_id 28-31
// 0x58: extra_np_row 0-7, extra_np_col 8-15, last_np_col_last_row 24-31
// 0x60: vit_first_col 0-7, vit_first_row 8-15, vit_present 16-23
// 0x64: skipdma_col_mask 0-15, skipdma_channels 24-31
struct SimGeometry {
  uint8_t rows = 0, cols = 0;
  uint8_t first_np_col_row1 = 0, first_np_col_row2 = 0;
  uint8_t nps_per_node = 0;  // 0 to 7
  bool dma_node_has_no_nps = false;
  uint8_t dma_row = 0, dma_col = 0;
  uint8_t dma_event_id = 0, dma_conf_id = 0;  // 0 to 15
  uint8_t extra_np_row = 0, extra_np_col = 0;
  uint8_t last_np_col_last_row = 0;
  uint8_t vit_first_col = 0, vit_first_row = 0, vit_present = 0;
  uint16_t skipdma_col_mask = 0;
  uint8_t skipdma_channels = 0;
};

struct SimBoardConfig {
  HwVersion version;
  std::string description;
  uint32_t base_address = kDefaultBaseAddress;
  SimGeometry geometry;
  // First configuration word of the NP at an ident.
  std::function<uint32_t(const hw::Ident&)> np_word;
  // Clock registers and power measurement: the board is a SocDriver (see make_board).
  bool soc = false;
  // The board is a FlashAccessDriver (see make_board).
  bool flash = false;
  // The first `fail_create` opens throw std::runtime_error("Simulated board failed to open").
  uint32_t fail_create = 0;
  // The first `fail_forward` runs throw std::runtime_error("Simulated HRC time-out").
  uint32_t fail_forward = 0;
  // Status reads that stay busy after a clock change starts; UINT32_MAX never settles.
  uint32_t clock_busy_reads = 0;
  // Every NP configuration word reads 0.
  bool bad_np_word = false;
  // The first `fail_program` programmings of valid bytes throw
  // std::runtime_error("Simulated board failed to program") and leave the board unprogrammed.
  uint32_t fail_program = 0;
  // Called by fit while learning is on, after the outputs are made; by default learning
  // leaves the memory as it is.
  std::function<void(std::span<uint32_t> learn_mem, const std::vector<int>& labels)> on_fit;
};

// The frozen presets: fpga_v2, vlq7300_v1, twonodes_v1, qrix_v1, qrix_v2.
// Unknown names throw std::invalid_argument.
SimBoardConfig preset(std::string_view name);
const std::vector<std::string>& preset_names();

// A SimBoard offers neither the SoC nor the flash face itself: make_board builds the class
// that adds the faces its config asks for.
class SimBoard : public HardwareDriver, public BoardBackend, public std::enable_shared_from_this<SimBoard> {
 public:
  // Refuses fields that do not fit their register bits, and a missing np_word
  // (unless bad_np_word), with std::invalid_argument.
  explicit SimBoard(SimBoardConfig config);

  const SimBoardConfig& config() const { return config_; }

  // BlockDevice: 32-bit aligned words only. Reads of anything but a mesh register (or, with
  // `soc`, a clock register), and writes to the mesh registers, throw std::runtime_error
  // "Simulated board: no register at 0x<address>". The clock divider and settings read back
  // what was written (initially Performance); after 1 is written to the status register its
  // bit 0 reads set for `clock_busy_reads` reads.
  uint32_t base_address() const override { return config_.base_address; }
  void read(uint32_t address, void* buffer, size_t bytes) override;
  void write(uint32_t address, const void* buffer, size_t bytes) override;
  std::shared_ptr<BoardBackend> board() override;

  // BoardBackend
  HwVersion version() const override { return config_.version; }
  const char* desc() const override { return config_.description.c_str(); }
  void open() override;
  // The NP's configuration word, then zeros.
  void read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count) override;

  // Programming: the board copies the bytes; program_clk is bytes / 4, usage the byte count.
  // The learning memory starts as the program's learning weights: an FNP2 filters track, or
  // the NP tracks joined (on FNP3 these begin with the block's two header words). A program
  // loaded with program_external has its data elsewhere: its learning memory starts zeroed,
  // sized from the learning spans. program() needs the data part; outputs above 2^24
  // elements and external learning memories above 2^24 words are refused as invalid.
  void enable_clk_counter(bool enabled) override { counter_enabled_ = enabled; }
  uint32_t read_clk_counter() override { return counter_; }
  uint32_t program_clk() const override { return program_clk_; }
  std::pair<uint32_t, uint32_t> memory() const override { return {usage_, top_}; }
  void reset_top_memory() override { top_ = usage_; }
  void program(const uint8_t* data, size_t size) override;
  const std::pair<const uint8_t*, size_t>& program() const override { return program_view_; }
  void program_external(const uint8_t* data, size_t size, uint32_t address) override;
  void unprogram() override;
  void prepare_run(uint32_t count, bool flag) override;
  bool learn_enabled() const override { return learn_enabled_; }
  void learn_enabled(bool enabled) override;
  uint32_t learn_mem_size() const override { return static_cast<uint32_t>(learn_mem_.size()); }
  void read_learn_mem(uint32_t* out) override;
  void write_learn_mem(const uint32_t* in) override;
  // Runs need a program and a prepare_run of the same frame count. Each frame must have as
  // many elements as the program's input. Output i of a frame is (sum of the frame's bytes
  // + i) mod 256, shaped by the program's output: uint8 with activation, else int32.
  // predict scales that by the program's scale of the element's channel (last dimension),
  // as float32. An enabled clock counter advances 1000 per frame.
  Outputs fit(const Frames& frames, const std::vector<int>& labels) override;
  Outputs forward(const Frames& frames) override;
  Outputs predict(const Frames& frames) override;

  // What the SoC face asks of the board. The clock goes through the system's clock-mode
  // functions over this board's registers. While measurement is on, the meter is the system's
  // and every run that returns logs one event (time_ms(), kRunMicrovolts, kRunMilliamps).
  soc::ClockMode soc_clock_mode();
  void soc_set_clock_mode(const soc::ClockMode& mode);
  void soc_set_power_measurement(bool enabled) { power_measurement_ = enabled; }
  // Null while measurement is off.
  std::shared_ptr<PowerMeter> soc_power_meter();
  // What the flash face hands out: the system's controller, made on first use, one per board.
  std::shared_ptr<::SpiFlashController> flash_controller();

  // Sets the clock counter, e.g. close to its wrap.
  void seed_clk_counter(uint32_t value) { counter_ = value; }
  // Address given to the last program_external, while that program is loaded.
  std::optional<uint32_t> external_address() const { return external_address_; }

  // Every (address, value) word written, in order.
  const std::vector<std::pair<uint32_t, uint32_t>>& write_log() const { return writes_; }
  // Every word address a read asked for, in order (refused ones included).
  const std::vector<uint32_t>& read_log() const { return reads_; }
  // Calls of open(), failed ones included.
  uint32_t open_count() const { return opens_; }

 private:
  // Reads the word at an absolute address; false when the board has no register there.
  bool register_word(uint32_t address, uint32_t* value);
  enum class Mode { fit, forward, predict };
  Outputs run(Mode mode, const Frames& frames, const std::vector<int>* labels);
  void load(const uint8_t* data, size_t size, std::optional<uint32_t> external_address);
  void reset_program();

  SimBoardConfig config_;
  std::vector<std::pair<uint32_t, uint32_t>> writes_;
  std::vector<uint32_t> reads_;
  uint32_t opens_ = 0;

  // Program state, reset by open().
  std::vector<uint32_t> program_words_;  // the board's copy, word-aligned
  std::pair<const uint8_t*, size_t> program_view_{nullptr, 0};
  std::optional<ProgramInfo> info_;
  std::optional<uint32_t> external_address_;
  uint32_t program_clk_ = 0, usage_ = 0, top_ = 0;
  bool has_learning_ = false;
  bool learn_enabled_ = false;
  std::vector<uint32_t> learn_mem_;
  std::optional<uint32_t> prepared_frames_;
  bool counter_enabled_ = false;
  uint32_t counter_ = 0;
  // Faults injected so far by fail_program and fail_forward; they survive open().
  uint32_t failed_programs_ = 0, failed_runs_ = 0;

  // SoC state; it survives open(), as a board's clock does.
  uint32_t clock_divider_ = 1, clock_setting_a_ = 3, clock_setting_b_ = 1;
  uint32_t clock_busy_left_ = 0;
  bool power_measurement_ = false;
  std::shared_ptr<::SpiFlashController> flash_;
};

// A board of the config's class: with the SocDriver face when `soc`, the FlashAccessDriver
// face when `flash`. Refuses what the SimBoard constructor refuses.
std::shared_ptr<SimBoard> make_board(SimBoardConfig config);

// The value the board reports at a mesh register offset (see SimGeometry), or false when
// the board has no register there.
bool mesh_register(const SimBoardConfig& config, uint32_t offset, uint32_t* value);

// Registry of boards behind get_drivers(). get_drivers() reads NUVRA_SIM_BOARDS on its
// first call (after reset_registry(), on its next) and appends those boards.
SimBoard* add_board(SimBoardConfig config);  // registry-owned, appended to get_drivers()
void clear_boards();
void reset_registry();  // clear_boards(), and the environment is read again
// Grammar: board ("," board)*, board = preset ("+" option)*, options soc | flash |
// fail_create=N | fail_forward=N | clock_busy=N | bad_np_word | version=V.P.M.m (four
// hexadecimal bytes, e.g. BC.07.01.00, replacing the preset's version). Empty text: no board.
// Bad text throws std::invalid_argument("NUVRA_SIM_BOARDS: ...").
std::vector<SimBoardConfig> parse_boards(std::string_view text);

}  // namespace nuvra::sim
