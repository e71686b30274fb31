// Runs a list of layers in software over the samples of one call.
#pragma once

#include "run/steps.h"

#include <nuvra/layer.h>

#include <memory>
#include <vector>

namespace nuvra::detail {

class SoftwareRun {
 public:
  // `layers` in model order. Each inbound layer must be earlier in the list or be `feeder`,
  // whose outputs the samples are (null: the samples are the model input, taken by the input
  // layer that starts the list); otherwise std::runtime_error. Every step is made here, so a
  // layer the engine cannot compute is refused before any sample runs.
  SoftwareRun(const std::vector<std::shared_ptr<Layer>>& layers, const Layer* feeder);
  ~SoftwareRun();

  // One output per sample, in order, of the last layer's output type: samples are spread over
  // the inference threads, or go one after the other when a layer carries state between them.
  std::vector<ConstDensePtr> run(const std::vector<ConstDensePtr>& samples) const;

 private:
  struct Node;
  ConstDensePtr run_one(const ConstDensePtr& sample) const;

  std::vector<Node> nodes_;
  TensorType output_type_;
  bool sequential_ = false;
};

}  // namespace nuvra::detail
