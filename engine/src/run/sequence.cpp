#include "run/sequence.h"

#include <stdexcept>

namespace nuvra {

SoftwareSequence::SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
  if (layers.empty()) throw std::invalid_argument("A software sequence needs at least one layer");
  name_ = "SW/" + layers.front()->get_name();
  if (layers.size() > 1) name_ += "-" + layers.back()->get_name();
  auto pass = std::make_shared<Pass>();
  pass->layers = std::move(layers);
  passes_.push_back(std::move(pass));
}

}  // namespace nuvra
