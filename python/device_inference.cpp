#include "python/device_inference.h"

#include "python/clock_count.h"
#include "python/numpy_convert.h"
#include "python/signal_checks.h"

#include <nuvra/host_hooks.h>

#include <cstring>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra {

namespace {

// numpy dtype of a board output's element type; sub-byte unsigned types come one per byte.
py::dtype output_dtype(TensorType type) {
  switch (type) {
    case TensorType::int32: return py::dtype::of<int32_t>();
    case TensorType::float32: return py::dtype::of<float>();
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return py::dtype::of<uint8_t>();
    case TensorType::int8: return py::dtype::of<int8_t>();
    default: throw std::runtime_error("unexpected output type");
  }
}

// One array of shape (n, d0, d1, d2) from the first output's first three dimensions. Every
// output must fill exactly one slot of the first output's type, or nothing is written.
py::array assemble(const HardwareDevice::Outputs& outputs) {
  if (outputs.empty()) return py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{0});
  std::vector<std::shared_ptr<const Dense>> dense;
  dense.reserve(outputs.size());
  for (const auto& output : outputs) {
    if (!output) throw std::runtime_error("unexpected output size");
    dense.push_back(Tensor::ensure_dense(std::shared_ptr<const Tensor>(output.get(), [](const Tensor*) {})));
  }
  const Shape first = dense[0]->shape();
  const Shape shape{static_cast<uint32_t>(outputs.size()), first[0], first[1], first[2]};
  for (size_t i = 0; i < 4; ++i)
    if (shape[i] == 0) panic("Cannot have a shape with a dimension set to 0");
  const TensorType type = dense[0]->type();
  const py::dtype dtype = output_dtype(type);
  const size_t element_bytes = element_size(type);
  const size_t slot = static_cast<size_t>(uint64_t{first[0]} * first[1] * first[2]) * element_bytes;
  for (const auto& d : dense) {
    if (d->type() != type) throw std::runtime_error("unexpected output type");
    if (d->byte_size() != slot || d->storage().size() < slot) throw std::runtime_error("unexpected output size");
  }

  const std::vector<uint32_t> element_strides = Dense::eval_strides(shape, Layout::RowMajor);
  std::vector<py::ssize_t> dims(4), strides(4);
  for (size_t i = 0; i < 4; ++i) {
    dims[i] = shape[i];
    strides[i] = static_cast<py::ssize_t>(element_strides[i]) * static_cast<py::ssize_t>(element_bytes);
  }
  py::array result(dtype, dims, strides);
  auto* out = static_cast<uint8_t*>(result.mutable_data());
  for (size_t i = 0; i < dense.size(); ++i) std::memcpy(out + i * slot, dense[i]->storage().data(), slot);
  return result;
}

}  // namespace

py::array device_forward_with_metrics(PyHardwareDevice& device, const py::array_t<uint8_t>& inputs,
                                      const std::vector<int32_t>& labels, DeviceRunMode mode) {
  // Checked before the conversion, which refuses any empty dimension with a message of its own.
  if (inputs.ndim() > 0 && inputs.shape(0) == 0)
    throw std::invalid_argument("Number of inputs should be higher than 0");
  const std::shared_ptr<Dense> tensor = dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
  const Shape input_shape = tensor->shape();
  const uint32_t n = input_shape[0];
  if (input_shape.size() != 2 && input_shape.size() != 4)
    throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2)");
  const std::vector<std::shared_ptr<Dense>> frames = Dense::split(*tensor);

  HardwareDevice* board = device.hardware();
  if (board == nullptr) throw std::runtime_error("An actual hardware device is required.");
  board->prepare_run(static_cast<uint32_t>(frames.size()), true);

  HardwareDevice::Outputs outputs;
  ClockCount clocks(board);
  const int64_t start = time_ms();
  with_signal_checks([&] {
    switch (mode) {
      case DeviceRunMode::forward:
        outputs = board->forward(frames);
        break;
      case DeviceRunMode::predict:
        outputs = board->predict(frames);
        break;
      default:
        if (labels.size() > 1 && labels.size() != n)
          throw std::runtime_error("Number of labels should be the same as number of inputs");
        outputs = board->fit(frames, std::vector<int>(labels.begin(), labels.end()));
        break;
    }
  });
  const int64_t end = time_ms();
  const uint32_t clocks_run = clocks.stop();

  PyMetrics& metrics = device.metrics();
  metrics["inference_frames"] = static_cast<int64_t>(frames.size());
  metrics["inference_clk"] = static_cast<int64_t>(clocks_run);
  metrics["inference_start"] = start;
  metrics["inference_end"] = end;

  if (SocDriver* soc = device.soc()) {
    if (const std::shared_ptr<PowerMeter> meter = soc->power_meter()) device.power_events() = meter->events();
  }
  return assemble(outputs);
}

}  // namespace nuvra
