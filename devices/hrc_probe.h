// The HRC time-out probe given to Qrix_v2 boards at discovery: a one-layer input convolution
// mapped whole on the board and run once on a constant input.
#pragma once

#include <nuvra/model.h>
#include <nuvra/tensor.h>

#include <memory>

namespace nuvra {

class Device;

// The probe model, already mapped on `device` with nothing left to the host. Failures to
// build or map it propagate.
std::unique_ptr<Model> build_hrc_probe_model(std::shared_ptr<Device> device);

// A uint8 tensor of shape (1, w, h, c) for the model's input (w, h, c), every byte 1.
std::shared_ptr<Dense> get_constant_inputs(const Model& model);

// True when the probe's run on the board failed. Failures before the run propagate.
bool hrc_check_timeout(std::shared_ptr<Device> device);

}  // namespace nuvra
