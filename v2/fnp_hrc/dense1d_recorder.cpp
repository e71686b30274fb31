#include "v2/fnp_hrc/dense1d_recorder.h"

#include "backend/layer_mapping.h"
#include "backend/mesh.h"
#include "v2/cnp/packing.h"
#include "v2/cnp/shifts.h"
#include "v2/np_registers.h"

#include <nuvra/functions.h>
#include <nuvra/host_hooks.h>
#include <nuvra/tensor.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint32_t kTargetRegisters = 7;
constexpr uint32_t kTargetInputShift = 2;
constexpr uint32_t kTargetFnpMemory = 6;
constexpr uint32_t kHeaderBytes = 8;
// An FNP2 reads its weights from external memory: the fixed word-17 code for that.
constexpr uint32_t kFnp2MemoryCode = 5;

dma::Target target(uint32_t t) { return static_cast<dma::Target>(t); }

uint64_t roundup4(uint64_t v) { return (v + 3) / 4 * 4; }

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

// Where input element (t, j, k) (column, row, channel) sits in one input or one neuron's weights,
// in bytes from the start of the layout. Element index t*(y*c) + j*c + k.
class InputLayout {
 public:
  InputLayout(const Shape& shape, FnpInputMode mode) : x_(shape[0]), y_(shape[1]), c_(shape[2]), mode_(mode) {
    switch (mode) {
      case FnpInputMode::channel_rows:
      case FnpInputMode::pixel_rows: break;
      // One vector of c values: an image that was not flattened would lose all but one pixel.
      case FnpInputMode::flat:
        if (x_ * y_ > 1) unsupported_padding();
        break;
      default: unsupported_padding();
    }
  }

  uint64_t elements() const { return x_ * y_ * c_; }

  uint64_t offset(uint64_t t, uint64_t j, uint64_t k) const {
    switch (mode_) {
      case FnpInputMode::channel_rows: return (j * c_ + k) * roundup4(x_) + t;
      case FnpInputMode::pixel_rows: return j * roundup4(x_ * c_) + k * x_ + t;
      default: return k;
    }
  }

  // Calls f(element index, byte offset) for every input element.
  template <class F>
  void for_each(F&& f) const {
    for (uint64_t t = 0; t < x_; ++t)
      for (uint64_t j = 0; j < y_; ++j)
        for (uint64_t k = 0; k < c_; ++k) f(t * (y_ * c_) + j * c_ + k, offset(t, j, k));
  }

 private:
  uint64_t x_, y_, c_;
  FnpInputMode mode_;
};

std::shared_ptr<const Dense> optional_variable(const Layer& layer, const char* name) {
  const Variables& vars = *layer.variables();
  return vars.has(name) ? vars.get(name) : nullptr;
}

// The neuron count of "weights" (inputs, neurons).
uint32_t neuron_count(const Dense& weights) { return weights.shape()[1]; }

struct Geometry {
  uint64_t x, y, c;
};

Geometry geometry(const Shape& s) { return {s[0], s[1], s[2]}; }

// Fills the FNP fields of the register block. Every refusal comes before the first write.
void format_fnp_registers(RegisterBlock& regs, const Layer& layer, const Shape& shape, FnpInputMode mode,
                          const Dense& weights, const hw::Component& np, bool fnp3, uint32_t fnp3_sram_size) {
  const uint32_t b = layer.input_bits();
  if (b != 1 && b != 8) throw std::runtime_error("Wrong input_bits at FNP recording.");
  const int weight_bits = evaluate_bitwidth(weights);
  if (weight_bits < 2 || weight_bits > 8) throw std::runtime_error("Only 8-bit weights are supported on v2.");
  const uint32_t out_bits = layer.output_bits();
  if (out_bits != 4 && (out_bits < 8 || out_bits > 32))
    throw std::runtime_error("Wrong output bitwidth at FNP recording.");
  if (mode == FnpInputMode::none) unsupported_padding();
  const uint32_t words = fnp_input_sram_words(shape, mode);
  const uint32_t neurons = neuron_count(weights);
  // A wrapped count would run another number of neurons than the image holds.
  if (neurons > 0xFFFF) panic("%d cannot fit in a %d bits unsigned integer", static_cast<int>(neurons), 16);
  if (fnp3 && fnp3_sram_size == 0) throw std::runtime_error("The device has no FNP3 memory at FNP recording.");
  const bool activation = layer.has_activation();
  const auto [x, y, c] = geometry(shape);

  // Row size in bytes and input words of the chosen layout.
  uint64_t row = 0;
  uint64_t input_words = 0;
  uint64_t row_words = 0;  // word 28 bits 0-13
  switch (mode) {
    case FnpInputMode::channel_rows:
      row = roundup4((x * b + 7) >> 3);
      input_words = ((c * row * 8 + 31) >> 5) * y;
      row_words = (c * row) >> 2;
      break;
    case FnpInputMode::pixel_rows:
      row = x;
      input_words = ((roundup4(x * c) * b + 31) >> 5) * y;
      row_words = (x * c + 3) >> 2;
      break;
    default: input_words = (x * y * c * b + 31) >> 5; break;
  }

  set_field(regs, 1, 4, 6, 0b011);
  set_bit(regs[1], 22, np.split && np.split->single_buffer);
  set_bit(regs[1], 24, fnp3);
  set_bit(regs[1], 25, false);

  set_field(regs, 3, 0, 1, b == 8 ? 3 : 0);
  set_bit(regs[3], 3, false);
  set_bit(regs[3], 4, true);
  set_bit(regs[3], 5, true);
  set_bit(regs[3], 7, true);
  set_field(regs, 3, 12, 13, out_bits == 4 ? 0b10 : 0b11);
  set_bit(regs[3], 14, out_bits <= 8 && !activation);
  set_bit(regs[3], 15, activation);
  set_bit(regs[3], 16, true);
  set_field(regs, 3, 17, 23, 0);

  set_field(regs, 10, 0, 10, y);
  set_field(regs, 10, 16, 26, x);
  set_field(regs, 11, 12, 29, row);
  set_field(regs, 13, 0, 15, 16);

  set_field(regs, 14, 0, 14, input_words);
  set_bit(regs[14], 29, true);
  set_bit(regs[14], 30, false);
  set_bit(regs[14], 31, true);

  set_field(regs, 15, 0, 15, neurons);
  set_field(regs, 15, 16, 30, words);
  set_field(regs, 16, 0, 17, 0);

  // The size modulo the memory, as 16 bits: a full FNP3 memory reads as 0 here, on purpose.
  const uint32_t memory = fnp3 ? static_cast<uint32_t>(uint64_t{words} * neurons % fnp3_sram_size) & 0xFFFF
                               : kFnp2MemoryCode;
  set_field(regs, 17, 0, 15, memory);
  set_field(regs, 17, 20, 23, fnp3 ? 1 : 0);

  set_field(regs, 28, 0, 13, row_words);
  set_field(regs, 28, 16, 31, row);
  set_bit(regs[36], 28, false);
}

}  // namespace

namespace {

// A Dense1D's neuron images, each put together in a local buffer and written out once.
class FnpWeightImage {
 public:
  // Every read is proven in bounds here, before anything is written.
  FnpWeightImage(const Layer& layer, bool flat, FnpInputMode mode)
      : vars_(*layer.variables()),
        weights_(vars_.get("weights")),
        bias_(vars_.get("bias")),
        bias_shift_(vars_.get("bias_shift")),
        output_scales_(vars_.get("output_scales")),
        output_shift_(vars_.get("output_shift")),
        max_value_(optional_variable(layer, "max_value")),
        max_value_shift_(optional_variable(layer, "max_value_shift")),
        shape_(fnp_input_shape(layer, flat)),
        words_(fnp_input_sram_words(shape_, mode)),
        layout_(shape_, mode),
        neurons_(neuron_count(*weights_)) {
    const uint64_t inputs = layout_.elements();
    w_ = weights_->data<int8_t>();
    if (neurons_ != 0 && inputs != 0) {
      const std::vector<uint32_t>& s = weights_->strides();
      if (weights_->shape().size() < 2 || weights_->shape()[0] < inputs) panic("Coordinates are out-of-range");
      const uint64_t last = (inputs - 1) * s[0] + uint64_t{neurons_ - 1} * s[1];
      if (last >= weights_->size()) panic("Coordinates are out-of-range");
    }
    for (const auto& t : {bias_, output_shift_}) t->check_type<int8_t>();
    for (const auto& t : {bias_shift_, output_scales_, max_value_, max_value_shift_})
      if (t) t->check_type<uint8_t>();
    stride0_ = weights_->strides()[0];
    stride1_ = weights_->shape().size() > 1 ? weights_->strides()[1] : 0;
  }

  size_t size() const { return size_t{words_} * neurons_; }

  // Calls emit(n, words of neuron n) for every neuron in order.
  template <class Emit>
  void for_each_neuron(Emit&& emit) const {
    std::vector<uint32_t> local(words_);
    for (uint32_t n = 0; n < neurons_; ++n) {
      std::fill(local.begin(), local.end(), 0u);
      auto* const neuron = reinterpret_cast<uint8_t*>(local.data());
      neuron[0] = static_cast<uint8_t>(bias_->at<int8_t>(n));
      neuron[1] = bias_shift_->at<uint8_t>(n);
      if (max_value_) neuron[2] = max_value_->at<uint8_t>(n);
      if (max_value_shift_) neuron[3] = max_value_shift_->at<uint8_t>(n);
      neuron[4] = output_scales_->at<uint8_t>(n);
      neuron[5] = static_cast<uint8_t>(output_shift_->at<int8_t>(n));
      layout_.for_each([&](uint64_t i, uint64_t at) {
        neuron[kHeaderBytes + at] = static_cast<uint8_t>(w_[i * stride0_ + n * stride1_]);
      });
      store_byte_image(local);
      emit(n, std::span<const uint32_t>(local));
    }
  }

  void write(std::span<uint32_t> image) const {
    if (image.size() != size()) throw std::invalid_argument("format_fnp_weights: image of the wrong size");
    for_each_neuron([&](uint32_t n, std::span<const uint32_t> words) {
      std::copy(words.begin(), words.end(), image.begin() + static_cast<std::ptrdiff_t>(size_t{n} * words_));
    });
  }

  std::vector<uint32_t> vector() const {
    std::vector<uint32_t> image;
    image.reserve(size());
    for_each_neuron([&](uint32_t, std::span<const uint32_t> words) { image.insert(image.end(), words.begin(), words.end()); });
    return image;
  }

 private:
  const Variables& vars_;
  std::shared_ptr<const Dense> weights_, bias_, bias_shift_, output_scales_, output_shift_, max_value_,
      max_value_shift_;
  Shape shape_;
  uint32_t words_;
  InputLayout layout_;
  uint32_t neurons_;
  const int8_t* w_ = nullptr;
  size_t stride0_ = 0, stride1_ = 0;
};

// The row modes' input-shift image, checked when made.
class FnpInputShiftImage {
 public:
  FnpInputShiftImage(const Layer& layer, bool flat, FnpInputMode mode)
      : shifts_(layer.variables()->get("input_shift")),
        shape_(fnp_input_shape(layer, flat)),
        words_(fnp_input_sram_words(shape_, mode)),
        layout_(shape_, mode) {
    shifts_->check_type<uint8_t>();
    if (layout_.elements() > shifts_->size()) panic("Coordinates are out-of-range");
  }

  size_t size() const { return (size_t{words_} + 1) & ~size_t{1}; }

  void write(std::span<uint32_t> image) const {
    if (image.size() != size()) throw std::invalid_argument("format_fnp_input_shift: image of the wrong size");
    std::vector<uint32_t> local(size());
    auto* const bytes = reinterpret_cast<uint8_t*>(local.data());
    const uint8_t* const s = shifts_->data<uint8_t>();
    layout_.for_each([&](uint64_t i, uint64_t at) { bytes[at] = s[i]; });
    store_byte_image(local);
    std::copy(local.begin(), local.end(), image.begin());
  }

 private:
  std::shared_ptr<const Dense> shifts_;
  Shape shape_;
  uint32_t words_;
  InputLayout layout_;
};

}  // namespace

std::vector<uint32_t> format_fnp_weights(const Layer& layer, bool flat, FnpInputMode mode) {
  return FnpWeightImage(layer, flat, mode).vector();
}

std::vector<uint32_t> format_fnp_input_shift(const Layer& layer, bool flat, FnpInputMode mode) {
  const std::shared_ptr<const Dense> shifts = layer.variables()->get("input_shift");
  if (mode == FnpInputMode::flat) return format_input_shift(*shifts, 0, 0);
  const FnpInputShiftImage image(layer, flat, mode);
  std::vector<uint32_t> words(image.size());
  image.write(words);
  return words;
}

std::unique_ptr<program::Record> record_program_dense1d_layer(const Device& device,
                                                              const HardwareConstraints& constraints,
                                                              const Layer& layer, const Layer& seq_first,
                                                              std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                              bool routing_flag,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only) {
  const bool flat = &seq_first == &layer;
  const Shape shape = fnp_input_shape(layer, flat);
  const std::shared_ptr<const Dense> weights = layer.variables()->get("weights");
  const std::shared_ptr<const LayerMapping> mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");

  const std::vector<hw::Component> inputs = mapping->get_prev_component();
  const std::vector<hw::Component> outputs = mapping->get_next_components();
  const std::vector<hw::Component> own = mapping->nps ? *mapping->nps : std::vector<hw::Component>{};
  const hw::Component np = own.at(0);
  const FnpInputMode mode = choose_fnp_input_mode(layer, shape, flat);

  auto record = program::new_record(device.version());
  if (std::find(excluded_nps.begin(), excluded_nps.end(), np.ident) != excluded_nps.end()) return record;

  const bool fnp3 = np.type == hw::Type::FNP3;
  RegisterBlock regs = default_np_regs(np, mapping->id, registers_only, false);
  format_fnp_registers(regs, layer, shape, mode, *weights, np, fnp3, constraints.fnp3_sram_size);
  format_mesh_registers_set_output_to_NPs(&regs, inputs, own, outputs, mapping->alt_info, mapping->next_id,
                                          mapping->p2p_in, mapping->p2p_out, routing_flag);
  if (next_layer) {
    const std::shared_ptr<const Layer::Mapping> next_mapping = next_layer->mapping();
    if (next_mapping && next_mapping->nps) {
      const auto& next_nps = *next_mapping->nps;
      const auto same = std::find_if(next_nps.begin(), next_nps.end(),
                                     [&](const hw::Component& c) { return c.ident == np.ident; });
      if (same != next_nps.end()) update_partial_reconfig_regs(&regs, *next_layer, *same, routing_flag);
    }
  }
  if (ib_spikes) set_ib_spikes(&regs);
  if (!fnp3) {
    const Mesh* mesh = device.mesh();
    if (!mesh) throw std::runtime_error("The device has no mesh at FNP recording.");
    format_mesh_cfg_dma_reg(&regs, mesh->dma_conf);
  }

  // Both images are checked before the first block; then each is packed straight into its place.
  const std::shared_ptr<const Dense> shifts = layer.variables()->get("input_shift");
  std::optional<FnpInputShiftImage> row_shifts;
  if (mode == FnpInputMode::flat) {
    if (shifts->size() != 0) shifts->check_type<uint8_t>();
  } else {
    row_shifts.emplace(layer, flat, mode);
  }
  std::optional<FnpWeightImage> image;
  if (!registers_only) image.emplace(layer, flat, mode);

  record->add_np_track(np.ident, target(kTargetRegisters), 0, regs);
  if (row_shifts)
    record->add_np_block(np.ident, target(kTargetInputShift), 0, row_shifts->size(),
                         [&](std::span<uint32_t> out) { row_shifts->write(out); });
  else
    record->add_np_block(np.ident, target(kTargetInputShift), 0, input_shift_32b_size(*shifts, 0),
                         [&](std::span<uint32_t> out) { format_input_shift(*shifts, 0, 0, out); });
  if (image) {
    if (fnp3)
      record->add_np_block(np.ident, target(kTargetFnpMemory), 0, image->size(),
                           [&](std::span<uint32_t> out) { image->write(out); });
    else
      record->add_fnp2_filters_track(np.ident, image->vector());
  }
  return record;
}

}  // namespace nuvra::v2
