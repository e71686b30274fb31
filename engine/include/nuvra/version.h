#pragma once

namespace nuvra {
// The engine's version text.
const char* version();
}  // namespace nuvra
