// The part of a mapped model that runs in the engine: one pass, no program.
#pragma once

#include <nuvra/backend.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class SoftwareSequence final : public Sequence {
 public:
  // `layers` is not empty.
  explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers);

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Software; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  // "SW/" + first layer name, then "-" + last layer name when there are several.
  std::string name() const override { return name_; }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
  std::string name_;
};

}  // namespace nuvra
