#include "backend/strategies.h"

#include "backend/mapping_status.h"

namespace nuvra {

namespace {

class RepeatedSequenceCheck final : public GrowingSequenceCheck {
 public:
  RepeatedSequenceCheck(const CompatibilityChecker& checker, LayerList::const_iterator begin, const LayerList& all,
                        HwVersion version)
      : checker_(checker), begin_(begin), end_(begin), all_(all), version_(version) {}
  MappingStatus extend() override { return checker_.check_layer_sequence(begin_, ++end_, all_, version_); }

 private:
  const CompatibilityChecker& checker_;
  LayerList::const_iterator begin_, end_;
  const LayerList& all_;
  HwVersion version_;
};

}  // namespace

std::unique_ptr<GrowingSequenceCheck> CompatibilityChecker::check_growing_sequence(LayerList::const_iterator begin,
                                                                                   const LayerList& all_layers,
                                                                                   HwVersion version) const {
  return std::make_unique<RepeatedSequenceCheck>(*this, begin, all_layers, version);
}

MappingStatus CompatibilityChecker::check_spatial_split(const Layer&) const { return MappingSuccess(); }

bool CompatibilityChecker::is_input_window_recordable(hw::Type, uint32_t, uint32_t, uint32_t, uint8_t, bool) const {
  return true;
}

uint32_t CompatibilityChecker::max_part_start(const Layer&, hw::Type) const { return kAnyPartStart; }

bool CompatibilityChecker::is_fnp3_image_recordable(const Layer&) const { return true; }

}  // namespace nuvra
