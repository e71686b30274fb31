#include <nuvra/types.h>

#include <string>

namespace nuvra {

std::string HwVersion::to_string() const {
  return std::to_string(vendor_id) + "." + std::to_string(product_id) + "." + std::to_string(major_rev) + "." +
         std::to_string(minor_rev);
}

}  // namespace nuvra
