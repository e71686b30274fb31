#include <nuvra/host_hooks.h>

#include <cerrno>
#include <chrono>
#include <ctime>

extern "C" NUVRA_EXPORT void msleep(uint32_t ms) {
  if (ms == 0) return;
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

extern "C" NUVRA_EXPORT int64_t time_ms() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 1000000;
}

extern "C" NUVRA_EXPORT void kick_watchdog() {}
