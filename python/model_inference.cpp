#include "python/model_inference.h"

#include "devices/device.h"
#include "devices/power_meter.h"
#include "python/clock_count.h"
#include "python/fit_labels.h"
#include "python/numpy_convert.h"
#include "python/signal_checks.h"

#include <nuvra/hardware.h>
#include <nuvra/host_hooks.h>

#include <cmath>
#include <optional>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kIntegerLabels = "fit method expects integers as labels";

}  // namespace

std::shared_ptr<Tensor> forward_with_metrics(PyModel& model, const py::array& inputs, const RunFunction& run) {
  Model& engine = model.engine();
  if (engine.layer_count() == 0)
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  const py::dtype dtype = inputs.dtype();
  std::shared_ptr<Dense> tensor;
  if (!engine.input_signed()) {
    if (!dtype.equal(py::dtype::of<uint8_t>())) throw std::invalid_argument("Input dtype should be uint8");
    tensor = dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
  } else if (dtype.equal(py::dtype::of<int8_t>())) {
    tensor = dense_from_numpy<int8_t>(inputs, TensorType::int8);
  } else if (dtype.equal(py::dtype::of<int16_t>())) {
    tensor = dense_from_numpy<int16_t>(inputs, TensorType::int16);
  } else {
    throw std::invalid_argument("Input dtype should be int8 or int16");
  }
  model.power_events.clear();

  const uint32_t frames = tensor->shape()[0];
  const std::shared_ptr<Device> device = engine.device();
  HardwareDevice* board = device ? device->hardware() : nullptr;
  ClockCount clocks(board);
  const int64_t start = time_ms();
  std::shared_ptr<Tensor> result = with_signal_checks([&] { return run(tensor); });
  const int64_t end = time_ms();
  if (board) {
    model.metrics["inference_clk"] = clocks.stop();
    model.metrics["program_clk"] = board->program_clk();
  }
  model.metrics["inference_frames"] = frames;
  model.metrics["inference_start"] = start;
  model.metrics["inference_end"] = end;
  if (board) {
    if (auto* soc = dynamic_cast<SocDriver*>(board->driver())) {
      if (const std::shared_ptr<PowerMeter> meter = soc->power_meter()) model.power_events = meter->events();
    }
  }
  return result;
}

std::vector<int32_t> labels_from_float(float label) {
  // NaN, infinities and values outside int32 cannot be truncated to an int32 at all.
  if (!std::isfinite(label) || label < -2147483648.0f || label >= 2147483648.0f) throw py::type_error(kIntegerLabels);
  const auto value = static_cast<int32_t>(label);
  if (static_cast<float>(value) != label) throw py::type_error(kIntegerLabels);
  return {value};
}

std::vector<int32_t> labels_from_array(const py::array& labels) {
  std::optional<std::vector<int32_t>> values = int32_labels(labels);
  if (!values) throw py::type_error(kIntegerLabels);
  return std::move(*values);
}

std::vector<int32_t> labels_from_list(const py::list& labels) {
  std::vector<int32_t> values;
  values.reserve(labels.size());
  try {
    for (const auto item : labels) values.push_back(item.cast<int32_t>());
  } catch (const std::exception&) {
    throw py::type_error(kIntegerLabels);
  }
  return values;
}

py::array PyModel::forward(const py::array& inputs, uint32_t batch_size) {
  return tensor_to_numpy(forward_with_metrics(*this, inputs, [&](const std::shared_ptr<Dense>& t) {
    return model->forward(t, batch_size);
  }));
}

py::array PyModel::predict(const py::array& inputs, uint32_t batch_size) {
  return tensor_to_numpy(forward_with_metrics(*this, inputs, [&](const std::shared_ptr<Dense>& t) {
    return model->predict(t, batch_size);
  }));
}

py::array PyModel::fit(const py::array& inputs, const std::vector<int32_t>& labels, uint32_t batch_size) {
  return tensor_to_numpy(forward_with_metrics(*this, inputs, [&](const std::shared_ptr<Dense>& t) {
    return model->fit(t, labels, batch_size);
  }));
}

}  // namespace nuvra
