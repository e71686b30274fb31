// The boards behind get_drivers(): added from C++ or named in NUVRA_SIM_BOARDS.
#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

namespace nuvra::sim {

namespace {

struct Registry {
  std::vector<std::shared_ptr<SimBoard>> boards;
  std::vector<HardwareDriver*> drivers;
  bool environment_read = false;
};

Registry& registry() {
  static Registry r;
  return r;
}

[[noreturn]] void bad_text(const std::string& what) {
  throw std::invalid_argument("NUVRA_SIM_BOARDS: " + what);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

uint32_t parse_count(std::string_view option, std::string_view digits) {
  uint32_t value = 0;
  const char* first = digits.data();
  const char* last = first + digits.size();
  // The whole text must be the number: no sign, no trailing characters.
  const auto [end, error] = std::from_chars(first, last, value);
  if (digits.empty() || error != std::errc() || end != last || !std::isdigit(static_cast<unsigned char>(digits[0])))
    bad_text("bad number in option '" + std::string(option) + "'");
  return value;
}

// Four hexadecimal bytes joined by ".", as in BC.A1.03.09.
HwVersion parse_version(std::string_view option, std::string_view text) {
  const std::vector<std::string_view> fields = split(text, '.');
  uint8_t bytes[4] = {};
  bool ok = fields.size() == 4;
  for (size_t i = 0; ok && i < 4; ++i) {
    const std::string_view f = fields[i];
    const auto [end, error] = std::from_chars(f.data(), f.data() + f.size(), bytes[i], 16);
    ok = !f.empty() && f.size() <= 2 && error == std::errc() && end == f.data() + f.size() &&
         std::isxdigit(static_cast<unsigned char>(f[0]));
  }
  if (!ok) bad_text("bad version in option '" + std::string(option) + "'");
  return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

void apply_option(SimBoardConfig& config, std::string_view board, std::string_view option) {
  const size_t equals = option.find('=');
  const std::string_view key = option.substr(0, equals);
  if (equals == std::string_view::npos) {
    if (key == "soc") {
      config.soc = true;
      return;
    }
    if (key == "flash") {
      config.flash = true;
      return;
    }
    if (key == "bad_np_word") {
      config.bad_np_word = true;
      return;
    }
  } else {
    const std::string_view digits = option.substr(equals + 1);
    if (key == "version") {
      config.version = parse_version(option, digits);
      return;
    }
    uint32_t* target = key == "fail_create"    ? &config.fail_create
                       : key == "fail_forward" ? &config.fail_forward
                       : key == "clock_busy"   ? &config.clock_busy_reads
                                               : nullptr;
    if (target != nullptr) {
      *target = parse_count(option, digits);
      return;
    }
  }
  bad_text("unknown option '" + std::string(option) + "' in '" + std::string(board) + "'");
}

void append(std::vector<std::shared_ptr<SimBoard>> boards) {
  Registry& r = registry();
  r.boards.reserve(r.boards.size() + boards.size());
  r.drivers.reserve(r.drivers.size() + boards.size());
  for (auto& b : boards) {
    r.drivers.push_back(b.get());
    r.boards.push_back(std::move(b));
  }
}

}  // namespace

std::vector<SimBoardConfig> parse_boards(std::string_view text) {
  std::vector<SimBoardConfig> configs;
  if (text.empty()) return configs;
  for (std::string_view board : split(text, ',')) {
    const std::vector<std::string_view> parts = split(board, '+');
    if (parts[0].empty()) bad_text("a board entry without a preset in '" + std::string(text) + "'");
    const auto& names = preset_names();
    if (std::find(names.begin(), names.end(), parts[0]) == names.end())
      bad_text("unknown preset '" + std::string(parts[0]) + "'");
    SimBoardConfig config = preset(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) apply_option(config, board, parts[i]);
    configs.push_back(std::move(config));
  }
  return configs;
}

SimBoard* add_board(SimBoardConfig config) {
  std::shared_ptr<SimBoard> board = make_board(std::move(config));
  SimBoard* raw = board.get();
  append({std::move(board)});
  return raw;
}

void clear_boards() {
  Registry& r = registry();
  r.drivers.clear();
  // Devices opened on a board keep it alive through their own handle.
  r.boards.clear();
}

void reset_registry() {
  clear_boards();
  registry().environment_read = false;
}

}  // namespace nuvra::sim

namespace nuvra {

std::vector<HardwareDriver*>& get_drivers() {
  sim::Registry& r = sim::registry();
  if (!r.environment_read) {
    const char* text = std::getenv("NUVRA_SIM_BOARDS");
    // Everything is parsed and built before the list changes: a bad text adds nothing.
    std::vector<std::shared_ptr<sim::SimBoard>> boards;
    if (text != nullptr)
      for (auto& config : sim::parse_boards(text)) boards.push_back(sim::make_board(std::move(config)));
    sim::append(std::move(boards));
    r.environment_read = true;
  }
  return r.drivers;
}

}  // namespace nuvra
