// The layer interface and the concrete layer base.
#pragma once

#include <nuvra/params.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nuvra {

class Model;

// Computed convolution record (valid once the layer is built).
struct ConvParams {
  uint32_t out_width = 0;
  uint32_t out_height = 0;
  PaddingParams padding;
};

// Computed pooling record; without pooling {1, 1, conv w, conv h, 0, false}.
struct PoolingCalculatedParams {
  uint8_t stride_x = 1;
  uint8_t stride_y = 1;
  uint32_t pooled_width = 0;
  uint32_t pooled_height = 0;
  PaddingParams padding;
  bool flag = false;  // pooling applied
};

// The codes of Layer::is_kind.
namespace kind_code {
inline constexpr int kOther = 0;  // none of the others; the mapping builder does not link it
inline constexpr int kInput = 1;  // an input layer on the HRC
inline constexpr int kCnp = 2;
inline constexpr int kFnp = 3;
inline constexpr int kTnpR = 4;
inline constexpr int kMerge = 5;
inline constexpr int kTnpB = 6;
inline constexpr int kVit = 7;
}  // namespace kind_code

class Layer {
 public:
  // What a layer holds once mapped; the back end attaches a subclass.
  class Mapping {
   public:
    virtual ~Mapping();  // defined by the back end
    std::shared_ptr<std::vector<hw::Component>> nps;
  };

  // Copies `params`, completes the copy with defaults; a missing required key throws
  // std::invalid_argument("Layer <n> (<type>): missing parameter '<k>'"). A null set, the
  // Unknown type and an empty name are refused the same way.
  static std::shared_ptr<Layer> create(const LayerParams* params, const std::string& name);

  virtual ~Layer() = default;

  virtual const std::string& get_name() const = 0;
  virtual LayerType type() const = 0;
  // One shape per inbound layer. Unbuilt non-input layers throw
  // std::runtime_error("Cannot get input size before it is set.").
  virtual std::vector<Shape> input_dimensions() const = 0;
  // Unbuilt layers throw std::runtime_error("Cannot get output size before it is set.").
  virtual Shape output_dimensions() const = 0;
  // InputData: its "input_bits"; other input layers 8; else the first inbound's output width
  // (0 before the layer is built).
  virtual uint8_t input_bits() const = 0;
  // The "output_bits" key when stored; else InputData its input bits, merges their first
  // inbound's, first-generation layers with activation "act_bits", others with activation 8,
  // without activation 32.
  virtual uint8_t output_bits() const = 0;
  // False with an activation; merges follow their first inbound; InputData its "input_signed".
  virtual bool output_signed() const = 0;
  // 2 when the layer's input is signed, else 0.
  virtual int input_type_code() const = 0;
  int input_sign_code() const { return input_type_code(); }

  virtual bool is_input_layer() const = 0;
  virtual bool splittable() const = 0;
  // True when every filter reads only its own channel.
  virtual bool channelwise() const = 0;
  // Category test: one of the codes of kind_code.
  virtual bool is_kind(int code) const = 0;
  bool has_category(int code) const { return is_kind(code); }
  virtual bool has_activation() const = 0;
  virtual bool has_activation_type(ActivationType t) const = 0;
  virtual bool has_pool_type(PoolType t) const = 0;
  bool has_pooling_type(PoolType t) const { return has_pool_type(t); }

  // The model's learning parameters when this layer learns; null otherwise.
  virtual std::shared_ptr<LearningParams> learning() const = 0;
  virtual bool can_learn() const = 0;

  virtual std::vector<std::shared_ptr<const Layer>> inbound_layers() const = 0;
  virtual std::vector<std::shared_ptr<Layer>> inbound_layers() = 0;
  // A copy of the outbound list, in the order the layers were added.
  virtual std::vector<std::shared_ptr<Layer>> outbound_layers() const = 0;

  // The layer's own (completed) parameter set.
  virtual const LayerParams* params() const = 0;
  virtual const Variables* variables() const = 0;
  virtual Variables* variables() = 0;
  // Null when the layer is not mapped.
  virtual std::shared_ptr<const Mapping> mapping() const = 0;
  virtual std::shared_ptr<Mapping> mapping() = 0;
};

// Concrete base of every layer type.
class LayerImpl : public Layer, public std::enable_shared_from_this<LayerImpl> {
 public:
  LayerImpl(std::unique_ptr<LayerParams> params, std::string name);
  ~LayerImpl() override;
  LayerImpl(const LayerImpl&) = delete;
  LayerImpl& operator=(const LayerImpl&) = delete;

  const std::string& get_name() const override { return name_; }
  LayerType type() const override { return params_->layer_type(); }
  std::vector<Shape> input_dimensions() const override;
  Shape output_dimensions() const override;
  uint8_t input_bits() const override;
  uint8_t output_bits() const override;
  bool output_signed() const override;
  int input_type_code() const override;
  bool is_input_layer() const override;
  bool splittable() const override;
  bool channelwise() const override;
  bool is_kind(int code) const override;
  bool has_activation() const override;
  bool has_activation_type(ActivationType t) const override;
  bool has_pool_type(PoolType t) const override;
  std::shared_ptr<LearningParams> learning() const override;
  bool can_learn() const override;
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override;
  std::vector<std::shared_ptr<Layer>> inbound_layers() override;
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override;
  const LayerParams* params() const override { return params_.get(); }
  const Variables* variables() const override { return &variables_; }
  Variables* variables() override { return &variables_; }
  VariablesImpl& variables_impl() { return variables_; }
  std::shared_ptr<const Mapping> mapping() const override { return layer_mapping; }
  std::shared_ptr<Mapping> mapping() override { return layer_mapping; }

  // The first of input_dimensions() once built, and the inbound layers, without the copies of the
  // lists that input_dimensions() and inbound_layers() return: the mapper reads them many times.
  const Shape* built_first_input() const { return built_ && !inputs_.empty() ? &inputs_.front() : nullptr; }
  const std::vector<std::shared_ptr<LayerImpl>>& inbound_impls() const { return inbounds_; }
  // The first of outbound_layers(), null when there is none.
  std::shared_ptr<Layer> first_outbound() const {
    for (const auto& w : outbounds_)
      if (auto l = w.lock()) return l;
    return nullptr;
  }
  // Every entry of outbound_layers(), in order, without the copy of the list.
  template <class Visit>
  void for_each_outbound(Visit&& visit) const {
    for (const auto& w : outbounds_)
      if (auto l = w.lock()) visit(std::shared_ptr<Layer>(std::move(l)));
  }

  // Assigned by the back end when the layer is mapped, reset when its pass goes.
  std::shared_ptr<Mapping> layer_mapping;

  // What software inference prepared for the layer (weights packed for the kernels...), kept
  // with the variables' version it was made from: null when there is none for `version`.
  std::shared_ptr<const void> prepared(uint64_t version) const;
  void keep_prepared(uint64_t version, std::shared_ptr<const void> value) const;

  // What building computes from the input shapes; applied only once all of it succeeded.
  struct BuildResult {
    Shape output;
    std::vector<VariableDecl> variables;
    std::optional<ConvParams> conv;
    std::optional<PoolingCalculatedParams> pool;
  };

  // --- Model-side operations (the model owns the graph edits) ---
  bool built() const { return built_; }
  const Model* owner() const { return owner_; }
  // Whether the layer's model is running or being mapped (Model::busy).
  bool in_busy_model() const;
  // Computes shapes, records and declared variables from the inbound layers; throws
  // std::invalid_argument("Layer <n> (<type>): <reason>") on inputs the layer cannot take.
  // Nothing changes on failure. Variables whose declaration is unchanged keep their values.
  void build(const std::vector<std::shared_ptr<LayerImpl>>& inbounds, const Model* owner);
  // The layer leaves its model: no owner and no outbound links. It keeps its inbound links and
  // learning parameters, so that a copy of it (Model(layers)) rebuilds the same graph whether or
  // not the model is still alive; shapes and variables stay readable.
  void leave_model();
  void add_outbound(const std::shared_ptr<LayerImpl>& layer);
  void remove_outbound(const LayerImpl* layer);
  void set_learning(const std::shared_ptr<LearningParams>& lp) { learning_ = lp; }

 protected:
  // Per-type computation; throws std::invalid_argument with the bare reason.
  virtual BuildResult build_type(const std::vector<Shape>& inputs) const;
  const ConvParams* built_conv() const { return built_ && conv_ ? &*conv_ : nullptr; }
  const PoolingCalculatedParams* built_pool() const { return built_ && pool_ ? &*pool_ : nullptr; }
  int param(const char* key) const { return params_->get(key); }
  bool has_param(const char* key) const { return params_->has(key); }

  std::unique_ptr<LayerParams> params_;
  std::string name_;
  VariablesImpl variables_;
  std::vector<std::shared_ptr<LayerImpl>> inbounds_;
  std::vector<std::weak_ptr<LayerImpl>> outbounds_;
  std::shared_ptr<LearningParams> learning_;
  std::vector<Shape> inputs_;
  Shape output_;
  std::optional<ConvParams> conv_;
  std::optional<PoolingCalculatedParams> pool_;
  // The first inbound layer's output width and sign, taken when the layer was built.
  uint8_t in_bits_ = 0;
  bool in_signed_ = false;
  bool built_ = false;
  const Model* owner_ = nullptr;

 private:
  mutable std::mutex prepared_mutex_;
  mutable uint64_t prepared_version_ = 0;
  mutable std::shared_ptr<const void> prepared_;
};

// Views reached by dynamic_cast.
class HasConvParams {
 public:
  virtual ~HasConvParams() = default;
  // Null until the layer is built.
  virtual const ConvParams* conv_params() const = 0;
};

class HasPoolParams {
 public:
  virtual ~HasPoolParams() = default;
  // Null until the layer is built.
  virtual const PoolingCalculatedParams* pool_params() const = 0;
};

}  // namespace nuvra
