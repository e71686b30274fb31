// Model.evaluate: classification accuracy over a labelled batch.
#include "python/model_inference.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace nuvra {

namespace {

// For each sample, the class j whose group of g values holds the first value above every
// earlier one and above `start`; -1 when none is.
template <class T>
std::vector<int32_t> classify(const T* values, size_t samples, size_t classes, size_t group, T start) {
  std::vector<int32_t> predicted(samples, -1);
  for (size_t i = 0; i < samples; ++i) {
    T best = start;
    for (size_t j = 0; j < classes; ++j)
      for (size_t p = 0; p < group; ++p) {
        const T v = values[(i * classes + j) * group + p];
        if (v > best) {
          best = v;
          predicted[i] = static_cast<int32_t>(j);
        }
      }
  }
  return predicted;
}

}  // namespace

float PyModel::evaluate(const CastArray<uint8_t>& inputs, const LabelArray& labels, uint32_t num_classes,
                        uint32_t batch_size) {
  if (inputs.ndim() == 0 || labels.ndim() == 0 || inputs.shape(0) != labels.shape(0))
    throw std::invalid_argument("Inputs and labels must have the same size.");
  if (model->layer_count() == 0)
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  if (num_classes == 0) {
    const std::vector<uint32_t> dims = output_shape();
    if (dims.size() >= 3) num_classes = dims[2];
  }
  const bool activation = model->layers().back()->has_activation();
  const auto result = forward_with_metrics(*this, inputs, [&](const std::shared_ptr<Dense>& t) {
    return activation ? model->forward(t, batch_size) : model->predict(t, batch_size);
  });

  const auto dense = Tensor::ensure_dense(result);
  const TensorType type = dense->type();
  switch (type) {
    case TensorType::float32:
    case TensorType::int32:
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: break;
    default: throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") + type_name(type));
  }
  if (num_classes < 2)
    throw std::invalid_argument("Cannot classify with " + std::to_string(num_classes) + "class(es).");
  const Shape shape = dense->shape();
  const size_t n = shape[0], neurons = shape[3];
  if (neurons % num_classes != 0)
    throw std::invalid_argument("The number of neurons [" + std::to_string(neurons) + "] is not a multiple of " +
                                " the number of classes [" + std::to_string(num_classes) + "].");
  const size_t group = n == 0 ? 0 : dense->size() / (n * num_classes);

  std::vector<int32_t> predicted;
  if (type == TensorType::float32)
    predicted = classify(dense->data<float>(), n, num_classes, group, std::numeric_limits<float>::lowest());
  else if (type == TensorType::int32)
    predicted = classify(dense->data<int32_t>(), n, num_classes, group, std::numeric_limits<int32_t>::min());
  else  // unsigned bytes; bit values (0 or 1) are read as such too
    predicted = classify(dense->storage().data(), n, num_classes, group, uint8_t{0});

  // One label per sample: the first element of its row. A sample no value classified (-1)
  // matches no label.
  // A row with an empty dimension has no first element (nor any byte to read).
  py::ssize_t empty_axis = 0;
  for (py::ssize_t d = labels.ndim() - 1; d >= 1; --d)
    if (labels.shape(d) == 0) empty_axis = d;
  const py::ssize_t rows = std::min(static_cast<py::ssize_t>(n), labels.shape(0));
  const auto heads = labels.row_heads(empty_axis == 0 ? rows : 0);
  const auto* values = reinterpret_cast<const char*>(heads.data());
  float correct = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i >= static_cast<size_t>(labels.shape(0))) throw py::index_error("index " + std::to_string(i) + " is out of bounds");
    if (empty_axis != 0)
      throw py::index_error("index 0 is out of bounds for axis " + std::to_string(empty_axis) + " with size 0");
    int32_t label;
    std::memcpy(&label, values + i * sizeof label, sizeof label);
    if (predicted[i] >= 0 && predicted[i] == label) correct += 1;
  }
  return correct / static_cast<float>(labels.shape(0));
}

}  // namespace nuvra
