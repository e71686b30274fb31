// The NUVRA_SIM_BOARDS text: boards or std::invalid_argument. An accepted text gives one board per
// entry, each its preset with exactly the options written (a repeated option: the last one), and
// the board made from it reads them back: version, faces, registers, NP words, failed opens.
#include "fuzz/fuzz_support.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

using namespace nuvra;

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// The board an accepted entry asks for, read from its text alone: valid numbers are known here.
sim::SimBoardConfig written(std::string_view entry) {
  const std::vector<std::string_view> parts = split(entry, '+');
  sim::SimBoardConfig c = sim::preset(parts[0]);
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string_view option = parts[i];
    const size_t equals = option.find('=');
    const std::string key(option.substr(0, equals));
    const std::string value(equals == std::string_view::npos ? "" : option.substr(equals + 1));
    if (key == "soc") c.soc = true;
    if (key == "flash") c.flash = true;
    if (key == "bad_np_word") c.bad_np_word = true;
    if (key == "fail_create") c.fail_create = static_cast<uint32_t>(std::stoul(value));
    if (key == "fail_forward") c.fail_forward = static_cast<uint32_t>(std::stoul(value));
    if (key == "clock_busy") c.clock_busy_reads = static_cast<uint32_t>(std::stoul(value));
    if (key == "version") {
      const auto f = split(value, '.');
      const auto byte = [&](size_t k) { return static_cast<uint8_t>(std::stoul(std::string(f.at(k)), nullptr, 16)); };
      c.version = {byte(0), byte(1), byte(2), byte(3)};
    }
  }
  return c;
}

void check(const sim::SimBoardConfig& got, const sim::SimBoardConfig& want) {
  fuzz::require(got.version == want.version && got.description == want.description &&
                    got.base_address == want.base_address && got.soc == want.soc && got.flash == want.flash &&
                    got.bad_np_word == want.bad_np_word && got.fail_create == want.fail_create &&
                    got.fail_forward == want.fail_forward && got.clock_busy_reads == want.clock_busy_reads &&
                    got.fail_program == want.fail_program,
                "a board's options are the ones written over its preset");

  const std::shared_ptr<sim::SimBoard> board = sim::make_board(got);
  fuzz::require(board->version() == want.version && board->desc() == want.description,
                "the board reports the version and description written");
  fuzz::require((dynamic_cast<SocDriver*>(board.get()) != nullptr) == want.soc &&
                    (dynamic_cast<FlashAccessDriver*>(board.get()) != nullptr) == want.flash,
                "the board has the SoC and flash faces written");
  for (const uint32_t offset : sim::kMeshRegisterOffsets) {
    uint32_t expected = 0, read = 0;
    if (!sim::mesh_register(want, offset, &expected)) continue;
    board->read(want.base_address + offset, &read, sizeof read);
    fuzz::require(read == expected, "the mesh registers read the preset's geometry");
  }
  const hw::Ident np{1, 1, 0, 0};
  if (want.geometry.cols >= 1 && want.geometry.rows >= 1 && want.geometry.nps_per_node >= 1) {
    uint32_t word = 0;
    board->read_np_registers(&word, np, 1);
    fuzz::require(word == (want.bad_np_word ? 0 : want.np_word(np)), "NP words read 0 exactly with bad_np_word");
  }
  // The first fail_create opens fail, the next one succeeds.
  const uint32_t fails = std::min<uint32_t>(want.fail_create, 3);
  for (uint32_t i = 0; i <= fails; ++i) {
    bool opened = true;
    try {
      board->open();
    } catch (const std::runtime_error&) {
      opened = false;
    }
    fuzz::require(opened == (i >= want.fail_create), "exactly the first fail_create opens fail");
  }
  // After a clock change starts, the status stays busy for clock_busy reads.
  if (want.soc) {
    const uint32_t start = 1, busy = std::min<uint32_t>(want.clock_busy_reads, 3);
    board->write(sim::kClockStatusRegister, &start, sizeof start);
    for (uint32_t i = 0; i <= busy; ++i) {
      uint32_t status = 0;
      board->read(sim::kClockStatusRegister, &status, sizeof status);
      fuzz::require((status & 1) == (i < want.clock_busy_reads), "the clock stays busy for clock_busy reads");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<sim::SimBoardConfig> boards;
  try {
    boards = sim::parse_boards(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const std::vector<std::string_view> entries = text.empty() ? std::vector<std::string_view>{} : split(text, ',');
  fuzz::require(boards.size() == entries.size(), "one board per entry");
  for (size_t i = 0; i < boards.size(); ++i) check(boards[i], written(entries[i]));
  return 0;
}
