// The back end's entry point: turns the engine's layer list into hardware sequences.
#pragma once

#include "backend/ip_backend.h"
#include "backend/strategy_factory.h"

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <vector>

namespace nuvra {

class MapConstraints;

class HardwareBackend final : public Backend {
 public:
  HardwareBackend() = default;
  // Maps with the objects `factory` makes instead of those of the device's generation.
  explicit HardwareBackend(StrategyFactory factory) : factory_(std::move(factory)) {}

  // First the whole list as one sequence (not on a Qrix_v2), then, when that is refused, one
  // sequence at a time, each the longest acceptable prefix of what is left. Mapped layers leave
  // the front of `layers`; new sequences are appended to `sequences`. Throws std::runtime_error
  // "Map constraints must be specified" for null constraints.
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints> constraints) override;
  BackendType type() const override { return BackendType::Hardware; }

 private:
  StrategyFactory factory_;
};

// Maps one sequence from the front of `layers`: in single mode the whole list (a full mesh opens
// another pass), otherwise the longest prefix that the checker accepts and one pass holds. A
// layer that the sequence being built refuses (SequenceRefusal) fails single mode with that
// refusal's status and, in cut mode, ends the sequence before it; when no shorter prefix is
// acceptable the refusal's status is returned. On success the sequence's layers are erased from
// `layers`, every component gets its memory sizes and the sequence is appended; on a failure
// neither list changes and no layer keeps a mapping. An empty list is a success that adds nothing.
MappingStatus map_next_sequence(const IpVersionSpecificHardwareBackend& backend,
                                const std::shared_ptr<MapConstraints>& constraints,
                                std::vector<std::shared_ptr<Layer>>* layers,
                                std::vector<std::shared_ptr<Sequence>>* sequences, bool single);

// The external memory, in bytes, of the layers of the sequences' passes: for each layer with a
// LayerMapping, its skip-DMA load, its skip-DMA store (not the dual-output store) and its NPs.
// A total past 32 bits is refused as a single component's is, with std::runtime_error (panic)
// "The external memory of the mapped layers, <n> bytes, does not fit a byte count."; map refuses
// the sequence that would bring it there.
uint32_t external_memory_size(const std::vector<std::shared_ptr<Sequence>>& sequences);

}  // namespace nuvra
