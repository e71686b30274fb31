#include <nuvra/host_hooks.h>

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <stdexcept>

extern "C" NUVRA_EXPORT void panic(const char* format, ...) {
  char buffer[257];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  // An empty or unformattable text carries no information worth throwing.
  if (n > 0) throw std::runtime_error(buffer);
  std::terminate();
}
