// What the user may choose about a mapping, and the hooks through which the caller can
// watch the mapper and choose NPs itself.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class Device;

class MapConstraints {
 public:
  // Throws std::invalid_argument for a null device.
  explicit MapConstraints(const std::shared_ptr<Device>& device);
  virtual ~MapConstraints() = default;

  // Called with each layer's name before the layer is placed; does nothing by default.
  virtual void next_layer_handler(const std::string& layer_name) const;
  // Picks NPs of `type` among the free candidates; by default the first `count`, in order.
  virtual std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, size_t count,
                                            hw::Type type) const;

  std::shared_ptr<Device> device() const { return device_; }
  uint32_t cnp_max_width() const { return cnp_max_width_; }
  uint32_t cnp_max_height() const { return cnp_max_height_; }
  uint32_t cnp_max_filters() const { return cnp_max_filters_; }
  uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
  uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
  uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }
  bool hwpr_loopitself() const { return hwpr_loopitself_; }
  IpVersion ip_version() const { return ip_version_; }

  // Values outside [1, default] throw std::invalid_argument and keep the old value.
  void set_cnp_max_width(uint32_t value);
  void set_cnp_max_height(uint32_t value);
  void set_cnp_max_filters(uint32_t value);
  // True throws std::invalid_argument on a first-generation device.
  void set_hwpr_loopitself(bool value);

 private:
  std::shared_ptr<Device> device_;
  uint32_t cnp_max_width_default_;
  uint32_t cnp_max_height_default_;
  uint32_t cnp_max_filters_default_;
  uint32_t cnp_max_width_;
  uint32_t cnp_max_height_;
  uint32_t cnp_max_filters_;
  bool hwpr_loopitself_ = false;
  IpVersion ip_version_;
};

}  // namespace nuvra
