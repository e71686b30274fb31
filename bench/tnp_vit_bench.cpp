// TNP-B and ViT-block packing throughput, as MB/s of packed words against a memcpy of as many
// bytes in the same run, and the mapping of a temporal model of 20 layers against the same model
// cut to 10 layers (Model::map onto a virtual FPGA_v2 device, best of several runs).
#include "backend/mesh.h"
#include "devices/system_services.h"
#include "devices/virtual_device.h"
#include "v2/tnp_vit/tnp_b_sizes.h"
#include "v2/tnp_vit/tnp_b_weight_formats.h"
#include "v2/tnp_vit/vit_formatters.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

using Clock = std::chrono::steady_clock;

double best_ms(int runs, const std::function<void()>& action) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    action();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

std::shared_ptr<Dense> filled(TensorType type, const Shape& shape, int lo, int span) {
  auto t = Dense::create(type, shape);
  for (size_t i = 0; i < t->size(); ++i) t->storage().data()[i] = static_cast<uint8_t>(lo + static_cast<int>(i * 7 % span));
  return t;
}

// Packs `words` words with `pack`; prints MB/s and the ratio to a memcpy of the same bytes.
void packing(const char* name, size_t words, const std::function<void(std::span<uint32_t>)>& pack) {
  std::vector<uint32_t> out(words), source(words, 0x5A5A5A5A);
  const int runs = 30;
  const double ms = best_ms(runs, [&] { pack(out); });
  const double copy_ms = best_ms(runs, [&] { std::memcpy(out.data(), source.data(), words * 4); });
  const double mb = static_cast<double>(words) * 4 / 1e6;
  std::printf("%-44s %7.3f MB  %8.0f MB/s  memcpy %8.0f MB/s  ratio %5.2f\n", name, mb, mb / ms * 1e3,
              mb / copy_ms * 1e3, copy_ms / ms);
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// InputConv2D 16x16x3, then `n - 1` layers repeating BufferTempConv (32 filters, FIFO 4),
// DepthwiseBufferTempConv (FIFO 4) and a 1x1 Conv2D; every variable inside the checker's widths.
std::unique_ptr<Model> temporal_model(int n) {
  auto model = Model::create();
  model->add(make(LayerType::InputConv2D, {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3},
                                           {"filters", 32}, {"kernel_size", 3}}, "hrc"));
  for (int i = 1; i < n; ++i) {
    std::string name = "l";
    name += std::to_string(i);
    if (i % 3 == 1) model->add(make(LayerType::BufferTempConv, {{"filters", 32}, {"fifo_size", 4}}, name));
    if (i % 3 == 2) model->add(make(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 4}}, name));
    if (i % 3 == 0) model->add(make(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 1}}, name));
  }
  for (const auto& layer : model->layers()) {
    Variables& vars = *layer->variables();
    for (const auto& [name, lo, span] : {std::tuple{"weights", -7, 15}, {"input_shift", 0, 4}, {"output_scales", 1, 200},
                                         {"bias", -20, 41}, {"bias_shift", 0, 8}, {"output_shift", -3, 5}})
      if (vars.has(name)) vars.set(name, filled(vars.get(name)->type(), vars.get(name)->shape(), lo, span));
  }
  return model;
}

}  // namespace

int main() {
  register_system_services_with_engine();
  {
    // BufferTempConv: 15 taps of 256 channels, 256 filters (1 MB); DepthwiseBufferTempConv: 12 taps of 256 channels.
    const auto btc = filled(TensorType::int8, {1, 1, 15 * 256, 256}, -128, 256);
    packing("TNP-B BufferTempConv 15 taps 256->256", v2::tnp_b_buffer_temp_conv_formatted_weight_32b_size(256, 15 * 256),
            [&](std::span<uint32_t> out) { v2::format_tnp_b_buffer_temp_conv_weights(out, *btc, 15, 0, 256); });
    const auto dw = filled(TensorType::int8, {1, 1, 12, 256}, -128, 256);
    packing("TNP-B DepthwiseBufferTempConv 12 taps x256", v2::depthwise_buffer_temp_conv_formatted_weight_32b_size(12, 256),
            [&](std::span<uint32_t> out) { v2::format_tnp_b_depthwise_buffer_temp_conv_weights(out, *dw, 0, 256); });
  }
  {
    // The largest ViT block a track takes: width 240, MLP 960.
    const auto q = filled(TensorType::int8, {240, 240}, -128, 256), mlp = filled(TensorType::int8, {240, 960}, -128, 256);
    packing("ViT query/key/value 240x240", qkv_weights_32b_size(*q, *q, *q),
            [&](std::span<uint32_t> out) { format_qkv_weights(out, *q, *q, *q); });
    packing("ViT MLP weights 240x960", weights_32b_size(*mlp), [&](std::span<uint32_t> out) { format_weights(out, *mlp); });
    const auto s = filled(TensorType::uint8, {960}, 0, 32), o = filled(TensorType::int8, {960}, -32, 64);
    packing("ViT post-operation words x960", post_op_variables_32b_size(*o, *s, *s, *o),
            [&](std::span<uint32_t> out) { format_post_op_variables(out, *o, *s, *s, *o); });
    packing("ViT shifts x960", shifts_32b_size(*s), [&](std::span<uint32_t> out) { format_shifts(out, *s); });
  }
  {
    auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
    const auto device = make_virtual_device(versions::FPGA_v2, *Mesh::discover(HardwareDevice::create(board.get()).get()));
    double ms[2];
    size_t sequences[2];
    for (int k = 0; k < 2; ++k) {
      const int n = k == 0 ? 10 : 20;
      auto model = temporal_model(n);
      ms[k] = best_ms(5, [&] { model->map(device, true, nullptr); });
      sequences[k] = model->sequences().size();
      std::printf("map temporal model of %2d layers        %8.3f ms  (%zu sequence(s))\n", n, ms[k], sequences[k]);
    }
    std::printf("20 layers / 10 layers                    ratio %5.2f\n", ms[1] / ms[0]);
  }
  return 0;
}
