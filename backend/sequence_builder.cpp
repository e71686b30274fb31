#include "backend/sequence_builder.h"

#include <nuvra/host_hooks.h>
#include <nuvra/version.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/hardware_sequence.h"
#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/layer_views.h"
#include "backend/mesh.h"
#include "backend/pass_rules.h"
#include "backend/sequence_serializer.h"
#include "devices/device.h"

namespace nuvra {

namespace {

constexpr size_t kDescriptorTableSize = 256;
constexpr size_t kMaxDescriptorsPerPass = 255;  // the program holds the count in one byte
constexpr char kZeroDimension[] = "Cannot have a shape with a dimension set to 0";

// Set for a layer with signed input that feeds a TNP-B, or a CNP feeding an FNP whose input fits
// 2048 words only when its rows are packed end to end.
bool fnp_feed_flag(const Layer& layer, const std::shared_ptr<Layer>& next) {
  if (layer.input_type_code() != 2 || !next) return false;
  if (next->is_kind(6)) return true;
  if (!layer.is_kind(2) || !next->is_kind(3)) return false;
  const uint64_t b = next->input_bits();
  const auto inputs = next->input_dimensions();
  if (inputs.empty()) throw std::runtime_error("Layer '" + next->get_name() + "' has no input.");
  const uint64_t x = inputs[0][0], y = inputs[0][1], c = inputs[0][2];
  const auto padded_row = [b](uint64_t w) {
    const uint64_t r = (w * b + 7) / 8;
    return ((r + 3) & ~uint64_t{3}) + w - r;
  };
  if (padded_row(x) * y * c <= 2048) return false;
  return padded_row(c * x) * y <= 2048;
}

Shape input_shape(const Layer& first) {
  const auto inputs = first.input_dimensions();
  if (inputs.empty()) throw std::runtime_error("Layer '" + first.get_name() + "' has no input.");
  Shape in = inputs.front();
  if (first.params()->layer_type() == LayerType::Dense1D) {
    const uint64_t n = uint64_t{in[0]} * in[1] * in[2];
    if (n == 0) panic("%s", kZeroDimension);
    if (n > UINT32_MAX) panic("Input of layer %s has too many elements.", first.get_name().c_str());
    in = Shape{1, 1, static_cast<uint32_t>(n)};
  }
  return in;
}

// Thresholds and scales that turn the sequence's raw output into values.
void output_conversion(const Layer& last, LayerType last_type, bool act, std::vector<int32_t>* thresholds,
                       std::vector<float>* scales) {
  const Variables* vars = last.variables();
  if (!vars) return;
  if (last_type == LayerType::Dequantizer) {
    const auto s = vars->get("scales");
    const uint32_t k = s->shape()[0];
    for (uint32_t j = 0; j < k; ++j) scales->push_back(s->at<float>(j));
    thresholds->assign(k, 0);
  } else if (!act && vars->has("threshold")) {
    const auto t = vars->get("threshold");
    const uint32_t k = t->shape()[0];
    for (uint32_t j = 0; j < k; ++j) thresholds->push_back(t->at<int32_t>(j));
    const auto steps = vars->get("act_step");
    for (uint32_t j = 0; j < k; ++j) {
      const float step = steps->at<float>(j);
      scales->push_back(step == 0.0f ? 0.0f : 1.0f / step);
    }
  }
}

// Descriptors a layer's skip-DMA records add to a pass of a several-pass sequence.
size_t skipdma_descriptors(const Layer& layer) {
  const auto m = get_layer_mapping(layer);
  if (!m) return 0;
  return (m->skipdma_store_info ? 4 : 0) + (m->skipdma_load_info ? 4 : 0) + (m->skipdma_load_link ? 1 : 0);
}

}  // namespace

namespace {

void single_buffer_split_components(const Sequence::Pass& pass) {
  for (const auto& layer : pass.layers)
    if (const auto m = get_layer_mapping(*layer); m && m->nps)
      for (auto& c : *m->nps)
        if (c.split) c.split->single_buffer = true;
}

}  // namespace

void double_buffer_shared_nps(const Layer& earlier_last, const Layer& later_first) {
  const auto earlier = get_layer_mapping(earlier_last);
  const auto later = get_layer_mapping(later_first);
  if (!earlier || !earlier->nps || !later || !later->nps) return;
  for (auto& c : *earlier->nps) {
    if (!c.split) continue;
    const auto same = std::find_if(later->nps->begin(), later->nps->end(),
                                   [&](const hw::Component& o) { return o.ident == c.ident; });
    if (same == later->nps->end()) continue;
    c.split->single_buffer = false;
    if (same->split) same->split->single_buffer = false;
  }
}

void set_single_buffers(const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  for (const auto& pass : passes) single_buffer_split_components(*pass);
  for (size_t p = 0; p + 1 < passes.size(); ++p)
    double_buffer_shared_nps(*last_mappable_layer(passes[p]->layers), *first_mappable_layer(passes[p + 1]->layers));
}

std::optional<ColumnRange> pass_column_range(const Sequence::Pass& pass) {
  auto f = first_mappable_layer(pass.layers);
  if (f->is_kind(1)) {
    if (pass.layers.size() <= 1) return ColumnRange{0, 0};
    f = f->outbound_layers().at(0);
  }
  const auto m = get_layer_mapping(*f);
  if (!m || !m->nps || m->nps->empty()) return std::nullopt;
  const auto& nps = *m->nps;
  if (nps.size() == 1 && nps[0].type == hw::Type::HRC) return ColumnRange{1, 1};
  const auto [lo, hi] = std::minmax_element(
      nps.begin(), nps.end(), [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return ColumnRange{lo->ident.col, hi->ident.col};
}

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                                                 const IoRecorder& io_recorder, const LayerRecorder& layer_recorder)
    : device_(std::move(device)),
      constraints_(&constraints),
      io_recorder_(&io_recorder),
      layer_recorder_(&layer_recorder),
      recorder_(layer_recorder, io_recorder) {
  if (!device_) throw std::invalid_argument("A sequence is built for a device.");
}

HardwareSequenceBuilder::~HardwareSequenceBuilder() = default;

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t i) const {
  if (i >= passes_.size()) return nullptr;
  return std::dynamic_pointer_cast<HardwarePass>(passes_[i]);
}

void HardwareSequenceBuilder::clear() {
  layers_.clear();
  passes_.clear();
}

PassProgram HardwareSequenceBuilder::record_pass(size_t i, size_t n, const std::shared_ptr<Layer>& seq_first,
                                                 size_t taken, std::shared_ptr<Layer>* first_over) const {
  PassProgram out;
  // The layer whose programs first take the pass past the largest count the program can hold.
  const auto count = [&](const std::shared_ptr<Layer>& layer) {
    if (!*first_over && taken + out.descriptors >= kMaxDescriptorsPerPass) *first_over = layer;
  };
  const auto& pass_layers = passes_[i]->layers;
  const auto next_first = i + 1 < n ? first_mappable_layer(passes_[i + 1]->layers) : nullptr;
  const auto p_first = first_mappable_layer(pass_layers);
  const auto p_last = last_mappable_layer(pass_layers);
  for (const auto& layer : pass_layers) {
    const bool later_first = layer == p_first && i != 0;
    if (layer->can_learn()) {
      out.programs.push_back(recorder_.learning_layer(*layer, later_first));
      out.descriptors += ProgramRecorder::descriptors(out.programs.back());
      count(layer);
      continue;
    }
    const bool fnp_feed = fnp_feed_flag(*layer, next_mappable_layer_before(layer, p_last));
    out.programs.push_back(recorder_.layer(*layer, *seq_first, next_first, later_first, layer == p_last && i != n - 1,
                                           {}, false, fnp_feed));
    out.descriptors += ProgramRecorder::descriptors(out.programs.back());
    if (n > 1) out.descriptors += skipdma_descriptors(*layer);
    count(layer);
  }
  if (i + 1 < n) {
    std::vector<hw::Ident> ids;
    for (const auto& layer : pass_layers)
      if (const auto m = get_layer_mapping(*layer); m && m->nps)
        for (const auto& c : *m->nps) ids.push_back(c.ident);
    out.programs.push_back(recorder_.unused_nps(next_first, seq_first, ids));
    out.descriptors += ProgramRecorder::descriptors(out.programs.back());
  }
  return out;
}

void HardwareSequenceBuilder::add_layers(Layers layers, const Layers& all_layers,
                                         std::vector<std::vector<hw::Component>> components) {
  if (components.size() != layers.size())
    throw std::invalid_argument("Each layer of a pass needs its list of components.");
  // Worked on copies and committed at the end, so that a failed pass leaves the builder as it was.
  std::optional<PendingMerge> pending = pending_merge_;
  if (pending) {
    layers.insert(layers.begin(), pending->layer);
    components.insert(components.begin(), pending->components);
    pending.reset();
  }
  if (!layers.empty() && layers.back()->is_kind(5)) {
    pending = PendingMerge{layers.back(), components.back()};
    layers.pop_back();
    components.pop_back();
  }
  if (layers.empty()) throw std::invalid_argument("A pass needs at least one layer besides a merge layer.");

  std::shared_ptr<HardwarePass> pass;
  if (passes_.empty()) {
    const Mesh* mesh = device_->mesh();
    if (!mesh) throw std::runtime_error("The device has no mesh.");
    pass = std::make_shared<HardwarePass>(layers, all_layers, components, mesh->dma_event);
  } else {
    pass = std::make_shared<HardwarePass>(layers, all_layers, components, last_pass());
  }
  layers_.insert(layers_.end(), layers.begin(), layers.end());
  passes_.push_back(std::move(pass));
  pending_merge_ = std::move(pending);
}

MappingStatus HardwareSequenceBuilder::check_pass(Layers layers) const {
  if (pending_merge_) layers.insert(layers.begin(), pending_merge_->layer);
  if (!layers.empty() && layers.back()->is_kind(5)) layers.pop_back();
  return check_pass_links(layers);
}

HardwareSequenceBuilder::Result HardwareSequenceBuilder::build_sequence() {
  if (pending_merge_) {
    // The merge layer would leave the model without being programmed anywhere.
    clear();
    return {{1, kPendingMerge}, nullptr, nullptr};
  }
  if (passes_.empty() || !first_pass()) return {{1, "No pass to build a sequence from."}, nullptr, nullptr};
  const size_t n = passes_.size();
  if (MappingStatus links = check_point_to_point_outputs(layers_); !links.ok()) {
    clear();
    return {std::move(links), nullptr, nullptr};
  }

  set_single_buffers(passes_);

  const Layer& first = *layers_.front();
  const Layer& last = *layers_.back();
  const int8_t in_type = io_recorder_->get_input_type(first);
  const int8_t out_type = io_recorder_->get_output_type(*passes_.back()->layers.back(), in_type);
  const LayerType last_type = last.params()->layer_type();
  const bool input_layer = first.is_kind(1);
  const bool solo = input_layer && layers_.size() == 1;

  const Shape in_shape = input_shape(first);
  Shape out_shape = last.output_dimensions();
  uint32_t conv_param_0 = 0, conv_param_1 = 0;
  if (input_layer) {
    const auto* conv = dynamic_cast<const HasConvParams*>(&first);
    const ConvParams* params = conv ? conv->conv_params() : nullptr;
    if (!params) throw std::runtime_error("The layer " + first.get_name() + " is not built");
    conv_param_0 = params->out_width;
    conv_param_1 = params->out_height;
  }
  if (last_type == LayerType::Stem && solo) {
    const Shape o = out_shape;
    if (o[1] == 0 || o[2] == 0 || o[0] == 0) panic("%s", kZeroDimension);
    out_shape = Shape{o[1], o[2], o[0]};
  }
  const bool act = last.has_activation();

  // Every program is recorded before any is written: the descriptor table is checked first, and
  // the program data gets its room at once.
  const auto seq_first = first_mappable_layer(passes_.front()->layers);
  std::vector<PassProgram> programs(n);
  size_t max_count = 0;
  std::shared_ptr<Layer> first_over;
  for (size_t i = 0; i < n; ++i) {
    PassProgram& program = programs[i];
    if (i == 0) {
      const bool narrow =
          last_type == LayerType::Dequantizer ? last.input_bits() <= 8 : !act && last.output_bits() <= 8;
      program.programs.push_back(
          recorder_.scc(input_layer, in_type == 0, solo, out_type == 0, narrow, in_shape, out_shape));
      program.descriptors = 1;  // whatever its tracks
    }
    PassProgram rest = record_pass(i, n, seq_first, program.descriptors, &first_over);
    for (auto& p : rest.programs) program.programs.push_back(std::move(p));
    program.descriptors += rest.descriptors;
    max_count = std::max(max_count, program.descriptors);
  }

  // Counted in full: a byte-wide count would wrap and let an oversized table through.
  const size_t per_pass = max_count + 1;
  if (per_pass > kMaxDescriptorsPerPass || n * per_pass > kDescriptorTableSize) {
    clear();
    return {{1, kTooManyDescriptors}, nullptr, first_over};
  }

  SequenceSerializer ser(*layer_recorder_, *io_recorder_);
  ser.serialize_version(device_->version());
  if (out_type != 3) {
    std::optional<ColumnRange> range;
    for (const auto& pass : passes_) {
      const auto r = pass_column_range(*pass);
      if (!r) continue;
      if (!range) range = r;
      range->low = std::min(range->low, r->low);
      range->high = std::max(range->high, r->high);
    }
    const ColumnRange cols = range.value_or(ColumnRange{});
    ser.serialize_epg_tracks(first, cols.low, cols.high, 1, solo, n > 1, in_type == 0);
  }

  std::vector<int32_t> thresholds;
  std::vector<float> scales;
  output_conversion(last, last_type, act, &thresholds, &scales);

  ser.reserve_program(programs, layers_.size(), thresholds.size() + scales.size());
  for (auto& program : programs) {
    for (const auto& p : program.programs) ser.write(p);
    ser.finalize_pass();
    program.programs.clear();  // written: their memory can go
  }

  ser.record_dummy_desc_hdr(n > 1);
  ProgramBytes program = ser.finalize(nuvra::version(), in_shape, out_shape, in_type, out_type, act, conv_param_1,
                                      conv_param_0, std::move(thresholds), scales, static_cast<uint8_t>(per_pass),
                                      passes_);

  auto sequence = std::make_shared<HardwareSequence>(device_, *constraints_, layers_, passes_, std::move(program));
  clear();
  return {{0, "Success"}, std::move(sequence), nullptr};
}

}  // namespace nuvra
