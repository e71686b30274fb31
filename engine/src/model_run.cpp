// Running a model: input and label checks, the walk over its sequences, stacking, predict.
#include <nuvra/interrupt.h>
#include <nuvra/layers.h>
#include <nuvra/model.h>

#include "learning_rule.h"
#include "ops/common.h"
#include "run/run.h"
#include "run/thread_pool.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

using detail::ConstDensePtr;

template <class T>
void check_range(const Dense& in, int64_t lo, int64_t hi, int bits) {
  const T* v = in.data<T>();
  for (size_t i = 0; i < in.size(); ++i)
    if (v[i] < lo || v[i] > hi)
      throw std::invalid_argument("Input value " + std::to_string(v[i]) + " does not fit the " + std::to_string(bits) +
                                  "-bit model input");
}

// The type, shape and values of `in` against the model input (x, y, c); returns the number of
// samples.
uint32_t check_input(const Dense& in, const Shape& sample, int bits, bool is_signed) {
  const TensorType t = in.type();
  if (is_signed ? t != TensorType::int8 && t != TensorType::int16 : t != TensorType::uint8)
    throw std::invalid_argument(std::string("Input type ") + type_name(t) + " does not match the model input (" +
                                (is_signed ? "int8 or int16" : "uint8") + ")");
  const Shape s = in.shape();
  const bool image = s.size() == 4 && s[1] == sample[0] && s[2] == sample[1] && s[3] == sample[2];
  const bool flat = s.size() == 2 && uint64_t{s[1]} == sample.elements();
  if ((!image && !flat) || in.layout() != Layout::RowMajor)
    throw std::invalid_argument("Input shape " + s.to_string() + " does not match the model input (n, " +
                                sample.to_string().substr(1));
  const int b = std::clamp(bits, 1, 32);
  if (is_signed) {
    const int64_t half = b >= 17 ? int64_t{1} << 16 : int64_t{1} << (b - 1);
    if (t == TensorType::int8) check_range<int8_t>(in, -half, half - 1, b);
    else check_range<int16_t>(in, -half, half - 1, b);
  } else if (b < 8) {
    check_range<uint8_t>(in, 0, (int64_t{1} << b) - 1, b);
  }
  return s[0];
}

std::vector<ConstDensePtr> split(const Dense& in, uint32_t count, const Shape& sample) {
  const size_t bytes = in.byte_size() / count;
  const auto* data = reinterpret_cast<const char*>(in.storage().data());
  std::vector<ConstDensePtr> samples;
  samples.reserve(count);
  for (uint32_t i = 0; i < count; ++i) samples.push_back(Dense::copy(data + i * bytes, bytes, in.type(), sample));
  return samples;
}

// (n, x, y, c) from one (x, y, c) output per sample, all of one type.
std::shared_ptr<Dense> stack(const std::vector<ConstDensePtr>& outputs, const Shape& sample) {
  const TensorType type = outputs.front()->type();
  const size_t bytes = static_cast<size_t>(sample.elements()) * element_size(type);
  for (const auto& o : outputs)
    if (o->type() != type || o->byte_size() != bytes || o->layout() != Layout::RowMajor)
      throw std::runtime_error("Unexpected output: a " + std::string(type_name(o->type())) + " tensor of shape " +
                               o->shape().to_string() + " for the model output " + sample.to_string());
  auto result = Dense::create(type, Shape{static_cast<uint32_t>(outputs.size()), sample[0], sample[1], sample[2]});
  uint8_t* to = result->storage().data();
  for (size_t i = 0; i < outputs.size(); ++i) std::memcpy(to + i * bytes, outputs[i]->storage().data(), bytes);
  return result;
}

// Board runs of `batch` samples at a time (0: all at once).
std::vector<ConstDensePtr> run_on_board(ForwardableSequence& sequence, const std::vector<ConstDensePtr>& samples,
                                        const std::vector<int32_t>* labels, uint32_t batch) {
  const size_t n = samples.size(), step = batch == 0 ? n : batch;
  std::vector<ConstDensePtr> outputs;
  outputs.reserve(n);
  for (size_t first = 0; first < n; first += step) {
    check_interrupt();
    const size_t count = std::min(step, n - first);
    const std::vector<std::shared_ptr<const Tensor>> chunk(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                                           samples.begin() + static_cast<std::ptrdiff_t>(first + count));
    std::vector<int> chunk_labels;
    if (labels) {
      if (labels->size() == n)
        chunk_labels.assign(labels->begin() + static_cast<std::ptrdiff_t>(first),
                            labels->begin() + static_cast<std::ptrdiff_t>(first + count));
      else
        chunk_labels = *labels;
    }
    const auto results = sequence.forward_samples(chunk, labels ? &chunk_labels : nullptr);
    if (results.size() != count)
      throw std::runtime_error("Sequence " + sequence.name() + " returned " + std::to_string(results.size()) +
                               " outputs for " + std::to_string(count) + " samples");
    for (const auto& r : results) {
      const auto dense = r ? std::dynamic_pointer_cast<const Dense>(r) : nullptr;
      if (!dense) throw std::runtime_error("Sequence " + sequence.name() + " returned an output that is no tensor");
      outputs.push_back(dense);
    }
  }
  return outputs;
}

// float32 values of the stacked output, by the last layer's kind.
std::shared_ptr<Tensor> predicted(const std::shared_ptr<Dense>& out, const Layer& last) {
  if (out->type() == TensorType::float32) return out;
  const auto values = detail::as_int32(out);
  auto result = Dense::create(TensorType::float32, out->shape());
  const int32_t* v = values->data<int32_t>();
  float* y = result->data<float>();
  const size_t n = out->size(), channels = out->shape()[3];
  if (detail::first_generation(last.type())) {
    const auto threshold = last.variables()->get("threshold");
    const auto step = last.variables()->get("act_step");
    for (size_t i = 0; i < n; ++i) {
      const float s = step->data<float>()[i % channels];
      const int64_t above = int64_t{v[i]} - threshold->data<int32_t>()[i % channels];
      y[i] = s == 0.0f ? 0.0f : ops::detail::scaled_once(above, 1.0f / s);
    }
  } else if (last.type() == LayerType::Dequantizer) {
    const float* scales = last.variables()->get("scales")->data<float>();
    for (size_t i = 0; i < n; ++i) y[i] = ops::detail::scaled_once(v[i], scales[i % channels]);
  } else {
    for (size_t i = 0; i < n; ++i) y[i] = static_cast<float>(v[i]);
  }
  return result;
}

}  // namespace

std::shared_ptr<Tensor> Model::forward(const std::shared_ptr<Dense>& inputs, uint32_t batch) {
  return run(inputs, nullptr, batch, Run::forward);
}

std::shared_ptr<Tensor> Model::predict(const std::shared_ptr<Dense>& inputs, uint32_t batch) {
  return run(inputs, nullptr, batch, Run::predict);
}

std::shared_ptr<Tensor> Model::fit(const std::shared_ptr<Dense>& inputs, const std::vector<int32_t>& labels,
                                   uint32_t batch) {
  return run(inputs, &labels, batch, Run::fit);
}

std::shared_ptr<Tensor> Model::run(const std::shared_ptr<Dense>& inputs, const std::vector<int32_t>* labels,
                                   uint32_t batch, Run kind) {
  detail::prepare_calling_thread();
  // A fit changes the learning layer; runs that only read may nest.
  if (kind == Run::fit) refuse_if_busy();
  const BusyScope busy(*this);
  if (layers_.empty()) throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  const std::shared_ptr<Layer> last = layers_.back();
  if (kind == Run::predict) {
    if (layers_.size() == 1 && last->type() == LayerType::InputData)
      throw std::invalid_argument("Cannot predict with a model that only has an InputData layer");
    if (last->has_activation())
      throw std::runtime_error("Cannot predict with a model whose last layer " + last->get_name() +
                               " has an activation");
  }
  if (kind == Run::fit && !learning_) throw std::runtime_error("The model must be compiled before fit");
  // Learning is the compiled layer's: a layer added after it has nothing to learn with.
  if (kind == Run::fit && !last_layer_compiled()) throw std::runtime_error(kLastLayerNotCompiled);
  if (!inputs) throw std::invalid_argument("Cannot run a model without inputs");

  const Layer& first = *layers_.front();
  const Shape sample = first.input_dimensions().front();
  const uint32_t n = check_input(*inputs, sample, first.input_bits(), input_signed());
  std::vector<int32_t> per_sample;
  if (labels) {
    if (labels->size() > 1 && labels->size() != n)
      throw std::invalid_argument("Number of labels should be the same as number of inputs");
    if (labels->size() == 1) per_sample.assign(n, labels->front());
    else per_sample = *labels;
  }

  // The stages: the whole model in software, or the sequences in order, each fed by the last
  // layer of the previous one (the input layer, which stays with the host, for the first).
  struct Stage {
    Sequence* sequence;
    std::vector<std::shared_ptr<Layer>> layers;
  };
  std::vector<Stage> stages;
  const Layer* feeder = nullptr;
  if (sequences_.empty()) {
    stages.push_back({nullptr, layers_});
  } else {
    if (first.type() == LayerType::InputData) feeder = &first;
    for (const auto& seq : sequences_) {
      Stage stage{seq.get(), {}};
      for (const auto& pass : seq->passes())
        if (pass) stage.layers.insert(stage.layers.end(), pass->layers.begin(), pass->layers.end());
      if (stage.layers.empty()) throw std::runtime_error("Sequence " + seq->name() + " has no layer");
      stages.push_back(std::move(stage));
    }
  }

  std::vector<ConstDensePtr> values = split(*inputs, n, sample);
  for (const Stage& stage : stages) {
    const bool learns = kind == Run::fit && std::find(stage.layers.begin(), stage.layers.end(), last) != stage.layers.end();
    if (auto* board = dynamic_cast<ForwardableSequence*>(stage.sequence)) {
      values = run_on_board(*board, values, learns ? labels : nullptr, batch);
    } else if (learns) {
      const std::vector<std::shared_ptr<Layer>> before(stage.layers.begin(), stage.layers.end() - 1);
      const auto in = last->inbound_layers().front();
      if (std::find(before.begin(), before.end(), in) == before.end() && in.get() != feeder)
        throw std::runtime_error("Layer " + last->get_name() + " reads layer " + in->get_name() +
                                 ", whose output is not available to its sequence");
      if (!before.empty()) values = detail::SoftwareRun(before, feeder).run(values);
      values = detail::fit_layer(*last, *learning_, &plasticity_, values, per_sample);
    } else {
      values = detail::SoftwareRun(stage.layers, feeder).run(values);
    }
    feeder = stage.layers.back().get();
  }

  const auto out = stack(values, last->output_dimensions());
  return kind == Run::predict ? predicted(out, *last) : out;
}

}  // namespace nuvra
