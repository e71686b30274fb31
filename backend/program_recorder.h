// Asks the recorders of an IP generation for the programs of a sequence, without writing them:
// a sequence's programs can then be counted against the descriptor table, and the program sized,
// before any byte of it is written.
#pragma once

#include "backend/mapping_status.h"
#include "backend/strategies.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {

// Runs `f`, turning any std::exception but a failed allocation or a sequence's refusal (which
// names its own layer, for the map driver) into one that names the layer being programmed.
template <class F>
auto programming_layer(const Layer& layer, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    throw;  // not the layer's fault
  } catch (const SequenceRefusal&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error("Error when programming layer '" + layer.get_name() + "': " + e.what());
  }
}

// One program of a pass: a record (of a layer, the SCC or the NPs a pass leaves idle), or a
// learning layer's three records and the NP they are loaded on.
struct RecordedProgram {
  std::unique_ptr<program::Record> record;
  program::LearnRecordsPtr learning;
  hw::Ident learning_np;
};

// A pass's programs in program order, with the descriptors they add to the pass.
struct PassProgram {
  std::vector<RecordedProgram> programs;
  size_t descriptors = 0;
};

class ProgramRecorder {
 public:
  ProgramRecorder(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder)
      : layer_recorder_(layer_recorder), io_recorder_(io_recorder) {}

  // The I/O recorder's exceptions pass unchanged.
  RecordedProgram scc(bool input_layer, bool input_type_zero, bool solo, bool output_type_zero, bool narrow,
                      Shape input, Shape output) const;
  // Recorder failures come back as std::runtime_error "Error when programming layer '<name>':
  // <message>".
  RecordedProgram layer(const Layer& layer, const Layer& seq_first, std::shared_ptr<Layer> next_layer,
                        bool ib_spikes, bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                        bool registers_only, bool last_flag) const;
  // Also refuses learning records without the tracks the program information points at, and a
  // layer without components.
  RecordedProgram learning_layer(const Layer& layer, bool learn) const;
  // The registers of the next pass's first layer `first` for the NPs `excluded_nps`, under the
  // number the previous pass sends to.
  RecordedProgram unused_nps(const std::shared_ptr<Layer>& first, const std::shared_ptr<Layer>& second,
                             const std::vector<hw::Ident>& excluded_nps) const;

  // The descriptors a program adds to its pass: its tracks; for a learning layer those of its
  // second register record and its weights.
  static size_t descriptors(const RecordedProgram& program);

  const LayerRecorder& layer_recorder() const { return layer_recorder_; }
  const IoRecorder& io_recorder() const { return io_recorder_; }

 private:
  const LayerRecorder& layer_recorder_;
  const IoRecorder& io_recorder_;
};

}  // namespace nuvra
