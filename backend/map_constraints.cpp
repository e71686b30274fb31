#include "backend/map_constraints.h"

#include "devices/device.h"

#include <algorithm>
#include <stdexcept>

namespace nuvra {

namespace {

void set_limit(uint32_t* limit, uint32_t value, uint32_t default_value, const char* what) {
  if (value == 0 || value > default_value)
    throw std::invalid_argument(std::string("Invalid cnp max ") + what + ": " + std::to_string(value) +
                                ". Expected value in range [1, " + std::to_string(default_value) + "].");
  *limit = value;
}

}  // namespace

MapConstraints::MapConstraints(const std::shared_ptr<Device>& device) : device_(device) {
  if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
  const HwVersion version = device_->version();
  const bool second_generation = version.product_id == 0xA2;
  ip_version_ = second_generation ? IpVersion::v2 : IpVersion::v1;
  cnp_max_width_default_ = second_generation ? 64 : 32;
  cnp_max_height_default_ = 256;
  cnp_max_filters_default_ = version == versions::Qrix_v2 ? 504 : 512;
  cnp_max_width_ = cnp_max_width_default_;
  cnp_max_height_ = cnp_max_height_default_;
  cnp_max_filters_ = cnp_max_filters_default_;
}

void MapConstraints::next_layer_handler(const std::string&) const {}

std::vector<hw::Ident> MapConstraints::select_nps(const std::vector<hw::Ident>& candidates, size_t count,
                                                  hw::Type) const {
  // A count beyond the candidates yields them all; the mapper treats a short answer as a shortage.
  const size_t n = std::min(count, candidates.size());
  return {candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(n)};
}

void MapConstraints::set_cnp_max_width(uint32_t value) {
  set_limit(&cnp_max_width_, value, cnp_max_width_default_, "width");
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
  set_limit(&cnp_max_height_, value, cnp_max_height_default_, "height");
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
  set_limit(&cnp_max_filters_, value, cnp_max_filters_default_, "filters");
}

void MapConstraints::set_hwpr_loopitself(bool value) {
  if (value && ip_version_ == IpVersion::v1)
    throw std::invalid_argument("HWPR NP loopitself feature is not supported for IP v1.");
  hwpr_loopitself_ = value;
}

}  // namespace nuvra
