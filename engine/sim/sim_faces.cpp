// The SoC and flash faces of the simulated board, and the board classes that offer them.
#include <nuvra/host_hooks.h>
#include <nuvra/services.h>
#include <nuvra/sim.h>

#include <memory>
#include <utility>

namespace nuvra::sim {

namespace {

template <class Base>
class WithSoc : public Base, public SocDriver {
 public:
  using Base::Base;
  soc::ClockMode clock_mode() override { return this->soc_clock_mode(); }
  void set_clock_mode(const soc::ClockMode& mode) override { this->soc_set_clock_mode(mode); }
  void set_power_measurement(bool enabled) override { this->soc_set_power_measurement(enabled); }
  std::shared_ptr<PowerMeter> power_meter() override { return this->soc_power_meter(); }
};

template <class Base>
class WithFlash : public Base, public FlashAccessDriver {
 public:
  using Base::Base;
  std::shared_ptr<::SpiFlashController> spi_flash() override { return this->flash_controller(); }
};

}  // namespace

soc::ClockMode SimBoard::soc_clock_mode() { return soc::get_clock_mode(this); }

void SimBoard::soc_set_clock_mode(const soc::ClockMode& mode) { soc::set_clock_mode(this, mode); }

std::shared_ptr<PowerMeter> SimBoard::soc_power_meter() {
  return power_measurement_ ? system_services().power_meter() : nullptr;
}

std::shared_ptr<::SpiFlashController> SimBoard::flash_controller() {
  if (!flash_) flash_ = system_services().make_spi_flash();
  return flash_;
}

std::shared_ptr<SimBoard> make_board(SimBoardConfig config) {
  if (config.soc && config.flash) return std::make_shared<WithFlash<WithSoc<SimBoard>>>(std::move(config));
  if (config.soc) return std::make_shared<WithSoc<SimBoard>>(std::move(config));
  if (config.flash) return std::make_shared<WithFlash<SimBoard>>(std::move(config));
  return std::make_shared<SimBoard>(std::move(config));
}

}  // namespace nuvra::sim
