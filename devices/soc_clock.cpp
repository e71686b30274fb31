// The SoC clock modes over a driver's registers; the engine's SoC drivers call these.
#include <nuvra/hardware.h>
#include <nuvra/host_hooks.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nuvra::soc {

namespace {

// Absolute addresses; every access is one little-endian 32-bit word.
constexpr uint32_t kStatusRegister = 0xF0001030;   // bit 0: a change is in progress; 1 starts one
constexpr uint32_t kDividerRegister = 0xF0001190;  // low byte d: the clock is 600 MHz / (d + 1)
constexpr uint32_t kSettingARegister = 0xF00011A0;
constexpr uint32_t kSettingBRegister = 0xF00011B0;
constexpr uint32_t kChangeInProgress = 1;
constexpr uint32_t kSourceHz = 600000000;
constexpr auto kApplyTimeout = std::chrono::nanoseconds(10000000);

uint32_t read_register(HardwareDriver* driver, uint32_t address) {
  uint32_t value = 0;
  driver->read(address, &value, sizeof value);
  return value;
}

void write_register(HardwareDriver* driver, uint32_t address, uint32_t value) {
  const uint32_t word = value & 0xFF;
  driver->write(address, &word, sizeof word);
}

bool is_mode(uint32_t hz) {
  return hz == static_cast<uint32_t>(ClockMode::Performance) || hz == static_cast<uint32_t>(ClockMode::Economy) ||
         hz == static_cast<uint32_t>(ClockMode::LowPower);
}

HardwareDriver* checked(HardwareDriver* driver) {
  if (driver == nullptr) throw std::invalid_argument("No driver given for the clock mode");
  return driver;
}

}  // namespace

NUVRA_EXPORT ClockMode get_clock_mode(HardwareDriver* driver) {
  const uint32_t divider = read_register(checked(driver), kDividerRegister) & 0xFF;
  const uint32_t hz = kSourceHz / (divider + 1);
  if (!is_mode(hz)) throw std::runtime_error("Unexpected frequency value detected: " + std::to_string(hz));
  return static_cast<ClockMode>(hz);
}

NUVRA_EXPORT void set_clock_mode(HardwareDriver* driver, const ClockMode& mode) {
  const auto hz = static_cast<int32_t>(mode);
  if (hz <= 0 || !is_mode(static_cast<uint32_t>(hz))) throw std::invalid_argument("Invalid clock mode");
  checked(driver);
  if (read_register(driver, kStatusRegister) & kChangeInProgress)
    throw std::runtime_error("Clock mode is already changing");
  const uint32_t r = kSourceHz / static_cast<uint32_t>(hz);
  write_register(driver, kSettingARegister, 2 * r - 1);
  write_register(driver, kDividerRegister, r - 1);
  write_register(driver, kSettingBRegister, r - 1);
  write_register(driver, kStatusRegister, 1);
  const auto start = std::chrono::steady_clock::now();
  while (read_register(driver, kStatusRegister) & kChangeInProgress) {
    if (std::chrono::steady_clock::now() - start >= kApplyTimeout)
      throw std::runtime_error("Failed to apply clock mode");
  }
}

}  // namespace nuvra::soc
