// Small models and doubles for tests that need an engine model graph.
#pragma once

#include "devices/device.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

using Params = std::map<std::string, int>;

// `prefix` then `n` in decimal, e.g. "l3": names of generated layers. (Built by appending:
// "l" + std::to_string(n) makes GCC 12 warn, wrongly, of overlapping copies.)
std::string numbered(const char* prefix, uint64_t n);

// Layer::create over a fresh parameter set.
std::shared_ptr<Layer> make_layer(LayerType type, const Params& params, const std::string& name);

// Adds layers in order; each one follows the previous layer unless inbound names are given.
class ModelBuilder {
 public:
  // An InputData layer named "input".
  ModelBuilder& input(uint32_t width, uint32_t height, uint32_t channels, int bits = 8, bool is_signed = false);
  ModelBuilder& add(LayerType type, const Params& params, const std::string& name,
                    const std::vector<std::string>& inbounds = {});
  Model& model() { return *model_; }
  std::shared_ptr<Layer> layer(const std::string& name) const { return model_->get_layer(name); }
  std::unique_ptr<Model> take() { return std::move(model_); }

 private:
  std::unique_ptr<Model> model_ = Model::create();
};

// input (8, 8, 3) -> "conv" Conv2D 3x3, 4 filters -> "dense" Dense1D, 10 units.
std::unique_ptr<Model> v2_conv_dense_model();
// input (8, 8, 1), 1 bit -> "conv" Convolutional 3x3, 4 filters -> "fc" FullyConnected, 10 units.
std::unique_ptr<Model> v1_conv_fc_model();

// A device without a board or mesh, for code that only reads its version or passes it on.
struct StubDevice final : Device {
  explicit StubDevice(HwVersion version = versions::FPGA_v2) : version_(version) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "stub device"; }
  Mesh* mesh() const override { return nullptr; }
  HardwareDevice* hardware() const override { return nullptr; }
  HwVersion version_;
};

}  // namespace nuvra::test
