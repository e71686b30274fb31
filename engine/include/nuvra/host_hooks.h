// Functions the host process provides to the engine, bound by name at link time.
#pragma once

#include <nuvra/types.h>

#include <cstdint>

extern "C" {
// Formats into 257 bytes and throws std::runtime_error with the text; never returns.
[[noreturn]] NUVRA_EXPORT void panic(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Sleeps `ms` milliseconds, resuming after signal interruptions.
NUVRA_EXPORT void msleep(uint32_t ms);
// Monotonic milliseconds.
NUVRA_EXPORT int64_t time_ms();
NUVRA_EXPORT void kick_watchdog();
}

namespace nuvra {
class HardwareDriver;
namespace soc {
NUVRA_EXPORT ClockMode get_clock_mode(HardwareDriver* driver);
NUVRA_EXPORT void set_clock_mode(HardwareDriver* driver, const ClockMode& mode);
}  // namespace soc
}  // namespace nuvra
