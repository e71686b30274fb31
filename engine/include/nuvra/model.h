// The model graph: an ordered list of layers with their inbound links.
#pragma once

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class Device;
class MapConstraints;

class Model {
 public:
  static std::unique_ptr<Model> create();
  // Rebuilds a model from the bytes of to_buffer (any alignment). Bytes that are not such a
  // model throw std::invalid_argument("Invalid model buffer: <reason>"): nothing is read
  // before they are verified, and no variable storage is made before every variable matches
  // its layer's declaration.
  static std::unique_ptr<Model> from_buffer(const char* data, size_t size);
  // The same from bytes that the model may keep: its variables are not copied out of them but
  // keep `bytes` alive, which nobody else may change.
  static std::unique_ptr<Model> from_buffer(std::shared_ptr<uint8_t[]> bytes, size_t size);
  virtual ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Adds `layer` fed by `inbounds` (empty: after the last layer). Refuses a layer already in a
  // model, a duplicate name, an inbound outside this model, a first layer that is not an input
  // layer, and shapes the layer cannot take (std::invalid_argument). Drops any mapping.
  void add(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& inbounds = {});
  // Removes the last layer; throws std::runtime_error on an empty model.
  void pop_layer();
  // Sets up learning on the last layer (a FullyConnected with 1-bit weights); the model keeps
  // `params` and the layer a weak reference to it. Refusals are std::invalid_argument.
  void compile(const std::shared_ptr<LearningParams>& params);

  // Maps the model onto `device` through the registered back end (null constraints: the
  // registered defaults). The input layer stays with the host. Whatever the back end leaves
  // becomes one software sequence, unless `hw_only`, which throws std::runtime_error instead.
  void map(const std::shared_ptr<Device>& device, bool hw_only, const std::shared_ptr<MapConstraints>& constraints);

  // Runs a batch through the model: unmapped in software, mapped through its sequences in
  // order (software ones in the engine, hardware ones on their board, `batch` samples per board
  // run, 0 for all at once; software results do not depend on it). `inputs` is (n, x, y, c) or
  // (n, x·y·c) for a model input (x, y, c): uint8 for an unsigned model, int8 or int16 for a
  // signed one, values within the input's bits. The result is (n, x, y, c) of the last layer's
  // output: uint8 with activation, else int8 up to 8 bits or int32. Bad inputs throw
  // std::invalid_argument, a layer the engine cannot run std::runtime_error. Runs poll the
  // thread's InterruptScope between samples and board runs (Interrupted).
  std::shared_ptr<Tensor> forward(const std::shared_ptr<Dense>& inputs, uint32_t batch = 0);
  // forward, then float32 values: (p - threshold[c]) / act_step[c] for a first-generation last
  // layer, x · scales[c] for a Dequantizer, else the values as they are. Refuses a last layer
  // with an activation (std::runtime_error) and a model of a single InputData layer.
  std::shared_ptr<Tensor> predict(const std::shared_ptr<Dense>& inputs, uint32_t batch = 0);
  // forward while the compiled last layer learns, sample after sample. `labels` holds no label,
  // one for every input or one per input; inputs whose label is outside the classes are not
  // learnt from. An uncompiled model throws std::runtime_error, and so does one whose compiled
  // layer is no longer its last (kLastLayerNotCompiled), before anything runs. An interrupted fit
  // keeps what the samples before the interrupt taught (in software) or the board runs that ended
  // (mapped).
  std::shared_ptr<Tensor> fit(const std::shared_ptr<Dense>& inputs, const std::vector<int32_t>& labels,
                              uint32_t batch = 0);

  // The layers with their parameters, links and variables, the learning parameters and the
  // plasticity that learning has reached (so that a reloaded model learns on from there); the
  // same model always gives the same bytes. A variable without storage is written with
  // its initial value and stays without storage. Throws std::runtime_error for a model
  // whose bytes would reach 2 GiB.
  std::vector<uint8_t> to_buffer() const;
  // The same bytes handed to `use` where they were written, without a copy; they live for the
  // call only.
  void write_buffer(const std::function<void(const uint8_t* data, size_t size)>& use) const;

  // While a run (forward, predict, fit) or a map of the model is in progress, code that the call
  // reaches back into (a signal handler polled between samples, a mapping hook) may read and run
  // the model but not change it: add, pop_layer, compile, map and fit throw
  // std::runtime_error(kBusy), and so do the Python setters of its layers' variables. The call
  // holds raw views of the model that a change would free or make stale.
  bool busy() const { return busy_ != 0; }
  static constexpr const char* kBusy =
      "The model is busy: it cannot be changed while it is running or being mapped";
  // Refusal of learning (fit, adding classes) while a layer follows the compiled one.
  static constexpr const char* kLastLayerNotCompiled = "The last layer must be compiled.";
  // Whether the model learns on its last layer: it was compiled and no layer has been added
  // after the compiled one since.
  bool last_layer_compiled() const;

  // Null for an unknown name or an index past the end.
  std::shared_ptr<Layer> get_layer(const std::string& name) const;
  std::shared_ptr<Layer> get_layer(size_t index) const;
  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }
  uint64_t layer_count() const { return layers_.size(); }
  // Null before compile.
  std::shared_ptr<LearningParams> learning() const { return learning_; }
  const std::vector<std::shared_ptr<Sequence>>& sequences() const { return sequences_; }
  // Null while unmapped.
  std::shared_ptr<Device> device() const { return device_; }
  bool input_signed() const;
  // (w, h, c) of the first input layer / last layer output.
  Shape input_shape() const;
  Shape output_shape() const;
  // v1 if any v1 layer type, else v2 if any layer other than InputData, else none.
  IpVersion ip_version() const;

 private:
  Model() = default;
  // Both from_buffer overloads: `owner`, when given, holds `data` for variables that keep their
  // bytes in it. The model carries on from the plasticity the buffer stored.
  static std::unique_ptr<Model> read_buffer(const char* data, size_t size, const std::shared_ptr<uint8_t[]>& owner);
  void drop_mapping();
  void refuse_if_busy() const;
  // Marks the model busy for its lifetime.
  class BusyScope {
   public:
    explicit BusyScope(Model& model) : model_(model) { ++model_.busy_; }
    ~BusyScope() { --model_.busy_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    Model& model_;
  };
  enum class Run { forward, predict, fit };
  std::shared_ptr<Tensor> run(const std::shared_ptr<Dense>& inputs, const std::vector<int32_t>* labels,
                              uint32_t batch, Run kind);

  std::vector<std::shared_ptr<Layer>> layers_;
  std::shared_ptr<LearningParams> learning_;
  std::vector<std::shared_ptr<Sequence>> sequences_;
  std::shared_ptr<Device> device_;
  // Plasticity of the learning layer, from its initial value (NaN) as it learns in software;
  // saved with the model. A board keeps its own and does not report it back.
  double plasticity_ = std::numeric_limits<double>::quiet_NaN();
  // Runs and maps in progress (they nest through code the call reaches back into).
  uint32_t busy_ = 0;
};

}  // namespace nuvra
