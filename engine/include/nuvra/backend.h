// Interfaces between the engine and a back end that maps layers onto hardware.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class MapConstraints;

struct ByteView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A mapped run of layers.
class Sequence {
 public:
  class Pass {
   public:
    virtual ~Pass() = default;
    std::vector<std::shared_ptr<Layer>> layers;
  };
  struct ProgramParts {
    ByteView program_info;
    ByteView program_data;
  };

  virtual ~Sequence() = default;
  virtual const std::vector<std::shared_ptr<Pass>>& passes() const = 0;
  virtual BackendType backend() const = 0;
  // Null data when the sequence has no program.
  virtual ByteView program() const = 0;
  virtual ProgramParts program_parts() const = 0;
  virtual std::string name() const = 0;
};

// A sequence that runs samples itself (on a board).
class ForwardableSequence : public Sequence {
 public:
  virtual std::vector<std::shared_ptr<const Tensor>> forward_samples(
      const std::vector<std::shared_ptr<const Tensor>>& samples, const std::vector<int>* labels) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Maps layers from the front of `layers` (erasing those mapped) into `sequences`.
  virtual MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers,
                            std::vector<std::shared_ptr<Sequence>>* sequences,
                            std::shared_ptr<MapConstraints> constraints) = 0;
  virtual BackendType type() const = 0;
};

}  // namespace nuvra
