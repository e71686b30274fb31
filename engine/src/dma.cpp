#include <nuvra/dma.h>
#include <nuvra/host_hooks.h>

namespace nuvra::dma {

namespace {
// Bits of a descriptor's count field: short, or long (XL) for larger blocks.
constexpr unsigned kShortCountBits = 12;
constexpr unsigned kLongCountBits = 16;
constexpr uint32_t kShortCountMax = (1u << kShortCountBits) - 1;

void check_fits(uint32_t value, unsigned bits) {
  if (value >> bits) panic("%u cannot fit in a %u bits unsigned integer", value, bits);
}
}  // namespace

bool config_block_size_needs_xl(uint32_t n) { return n > kShortCountMax; }

void format_config_header(uint32_t* two_words, const hw::Ident& ident, Target target, uint32_t n,
                          uint16_t address, bool xl) {
  const auto t = static_cast<uint32_t>(target);
  check_fits(t, 5);
  check_fits(ident.id, 4);
  check_fits(ident.channel, 4);
  check_fits(n, xl ? kLongCountBits : kShortCountBits);
  two_words[0] = t | (xl ? 1u << 7 : 0u) | uint32_t{ident.id} << 8 | uint32_t{ident.channel} << 12 |
                 uint32_t{ident.row} << 16 | uint32_t{ident.col} << 24;
  two_words[1] = uint32_t{address} | n << 16;
}

}  // namespace nuvra::dma
