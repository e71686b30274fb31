// Layer splitting without placement: a chain of large Conv2D layers cut to fit one NP's input
// SRAM and weight memory. Reports the time per layer as the chain grows (it should stay flat)
// and as the number of parts per layer grows.
#include "backend/layer_split.h"
#include "backend/mapping_status.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

// Second-generation-like limits: a CNP input window takes height x align4(width bytes) x
// channels bytes; weights take filters x channels x kernel^2 bytes.
class LimitChecker final : public CompatibilityChecker {
 public:
  LimitChecker(uint32_t dual_words, uint32_t single_words, uint32_t weight_bytes)
      : CompatibilityChecker(nullptr), dual_(dual_words), single_(single_words), weights_(weight_bytes) {}

  MappingStatus check_layer_compatibility(const Layer&, const std::shared_ptr<Layer>&, HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator, const LayerList&,
                                     HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&, const Device&) const override {
    return MappingSuccess();
  }
  bool is_sram_input_fit_single_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint8_t bits,
                                       uint32_t taken) const override {
    ++fit_calls;
    return fits(single_, h, w, c, bits, taken);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint8_t bits,
                                     uint32_t taken) const override {
    ++fit_calls;
    return fits(dual_, h, w, c, bits, taken);
  }
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override {
    const uint64_t k = static_cast<uint64_t>(layer.params()->get("kernel_size"));
    return uint64_t{filters} * layer.input_dimensions()[0][2] * k * k <= weights_;
  }
  NpSplitParams np_split_params(hw::Type, const LayerParams& p) const override {
    const uint32_t border = static_cast<uint32_t>(p.get("kernel_size")) / 2;
    NpSplitParams sp;
    sp.border_left = sp.border_right = sp.border_top = sp.border_bottom = border;
    sp.filters = static_cast<uint32_t>(p.get("filters"));
    return sp;
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return true; }

  mutable uint64_t fit_calls = 0;

 private:
  static bool fits(uint64_t capacity, uint32_t h, uint32_t w, uint32_t c, uint8_t bits, uint32_t taken) {
    const uint64_t row_bytes = (uint64_t{bits} * w + 7) / 8;
    const uint64_t words = uint64_t{h} * (((row_bytes + 3) / 4 * 4 * c + 3) / 4);
    return capacity >= taken && capacity - taken >= words;
  }
  uint32_t dual_, single_, weights_;
};

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// 224 x 224 x 3 input, then `count` Same 3 x 3 convolutions cycling 64, 128, 256, 512 filters.
std::unique_ptr<Model> conv_chain(size_t count, uint32_t size = 224) {
  auto model = Model::create();
  const int s = static_cast<int>(size);
  model->add(make(LayerType::InputData, {{"input_width", s}, {"input_height", s}, {"input_channels", 3}}, "input"));
  const int filters[] = {64, 128, 256, 512};
  for (size_t i = 0; i < count; ++i)
    model->add(make(LayerType::Conv2D, {{"filters", filters[i % 4]}, {"kernel_size", 3}}, "conv" + std::to_string(i)));
  return model;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct ChainRun {
  double seconds = 0;
  uint64_t parts = 0, fit_calls = 0;
  size_t failures = 0;
};

ChainRun split_chain(const Model& model, const LimitChecker& checker) {
  ChainRun run;
  checker.fit_calls = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const auto& layer : model.layers()) {
    if (layer->type() != LayerType::Conv2D) continue;
    const auto [parts, status] = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::CNP1, false);
    run.parts += parts.size();
    if (!status.ok()) ++run.failures;
  }
  run.seconds = seconds_since(start);
  run.fit_calls = checker.fit_calls;
  return run;
}

}  // namespace

int main() {
  // NP of the second generation: 8192 / 16384 words of input SRAM, 51200 bytes of weights.
  const LimitChecker checker(8192, 16384, 51200);

  std::printf("Chain of 224x224 Conv2D layers (64..512 filters), limits 256 x 64 x 512:\n");
  std::printf("%8s %12s %14s %12s %14s %9s\n", "layers", "total ms", "us per layer", "parts", "fit tests", "refused");
  for (size_t n : {25u, 50u, 100u, 200u}) {
    const auto model = conv_chain(n);
    split_chain(*model, checker);  // warm-up
    const ChainRun r = split_chain(*model, checker);
    std::printf("%8zu %12.2f %14.1f %12llu %14llu %9zu\n", n, r.seconds * 1e3, r.seconds * 1e6 / double(n),
                static_cast<unsigned long long>(r.parts), static_cast<unsigned long long>(r.fit_calls), r.failures);
  }

  std::printf("\nOne 224x224x512 -> 512 Conv2D layer against shrinking input SRAM:\n");
  std::printf("%12s %10s %14s %14s %12s\n", "dual words", "parts", "us per split", "fit tests", "status");
  const auto model = conv_chain(4);
  const auto& layer = model->layers().back();  // 256 -> 512 filters
  for (uint32_t dual = 1u << 16; dual >= 64; dual >>= 2) {
    const LimitChecker small(dual, dual * 2, 1u << 30);
    const int reps = 20;
    size_t parts = 0;
    MappingStatus status;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) {
      auto [p, s] = split_conv_layer(*layer, small, 256, 64, 512, hw::Type::CNP1, false);
      parts = p.size();
      status = s;
    }
    const double us = seconds_since(start) * 1e6 / reps;
    std::printf("%12u %10zu %14.1f %14llu %12s\n", dual, parts, us,
                static_cast<unsigned long long>(small.fit_calls / reps), status.ok() ? "ok" : status.message.c_str());
  }
  return 0;
}
