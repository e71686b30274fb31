// What mapping produces for the engine: a run of layers mapped on one device, its passes and its
// program bytes; it programs a board on demand and runs samples through it.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/program_bytes.h"

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuvra {

class Device;
class HardwareDevice;

class HardwareSequence final : public ForwardableSequence {
 public:
  // Copies the lists and takes the program; the constraints are kept for reading learnt values
  // back.
  HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                   const std::vector<std::shared_ptr<Layer>>& layers,
                   const std::vector<std::shared_ptr<Sequence::Pass>>& passes, ProgramBytes program);
  ~HardwareSequence() override;

  const std::vector<std::shared_ptr<Sequence::Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {program_.data(), program_.size()}; }
  // Both parts keep their size prefix. Panics when the first word does not fit the program.
  ProgramParts program_parts() const override;
  // "HW/<first>" or "HW/<first>-<last>".
  std::string name() const override;

  // Programs the board when it does not hold this program, gives a first-generation board the
  // learning memory of the learning layer's current variables (see keep_learning_memory),
  // switches learning on exactly when labels are given, then runs fit (and reads the learnt
  // values back), predict (for a Dequantizer last layer) or forward.
  std::vector<std::shared_ptr<const Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& inputs,
                                                             const std::vector<int>* labels) override;

  // Reads the learnt values back from the board into the sequence's learning layer.
  void sync_learning_vars();

  const std::shared_ptr<Device>& device() const { return device_; }
  const HardwareConstraints& constraints() const { return constraints_; }
  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }

 private:
  // The compiled layer among the passes' layers; std::runtime_error when none is.
  std::shared_ptr<Layer> learning_layer() const;
  // The compiled layer, or null.
  std::shared_ptr<Layer> find_learning_layer() const;
  // Writes the learning layer's image (the memory its learning records load) unless this
  // sequence owns the board's learning memory and the layer's variables still give the image
  // it last wrote or read back: what the board learnt, or a user wrote over it, stays.
  void keep_learning_memory(HardwareDevice& hw);
  // The board's learning memory after a read-back, owned and kept as this sequence's image.
  void remember_learning_memory(HardwareDevice& hw);

  std::shared_ptr<Device> device_;
  HardwareConstraints constraints_;
  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Sequence::Pass>> passes_;
  ProgramBytes program_;
  // Names this sequence as a board's learning memory owner, apart from every other sequence.
  const uint64_t learn_mem_owner_;
  // What this sequence last wrote into or read back from the learning memory.
  struct LearningImage {
    std::vector<uint32_t> words;
    std::optional<uint64_t> version;  // of the learning layer's variables the words stand for
    bool recorded = false;            // made by the recorder, not read back from the board
  };
  std::optional<LearningImage> learning_image_;
};

}  // namespace nuvra
