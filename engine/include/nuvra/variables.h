// Named tensors of a layer (weights, thresholds, shifts...).
#pragma once

#include <nuvra/tensor.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class LayerImpl;

class Variables {
 public:
  virtual ~Variables() = default;
  // Declaration order.
  virtual std::vector<std::string> names() const = 0;
  // The stored tensor (created with the declared initial value on first use).
  // An unknown name throws std::invalid_argument("Layer <l> has no variable <n>").
  virtual std::shared_ptr<Dense> get(const std::string& name) const = 0;
  // Type (or its byte family), value range and shape are checked against the declaration; a
  // layout-1 declaration also takes a row-major tensor of the reversed shape. A tensor that
  // is not stored as is becomes a re-tagged view of the same bytes. A refusal changes nothing.
  virtual void set(const std::string& name, const std::shared_ptr<Dense>& value) = 0;
  virtual bool has(const std::string& name) const = 0;
};

struct VariableDecl {
  std::string name;
  TensorType type;
  Shape shape;
  Layout layout = Layout::RowMajor;
};

class VariablesImpl final : public Variables {
 public:
  // `layer`: the layer the set belongs to, if any.
  explicit VariablesImpl(std::string layer_name, const LayerImpl* layer = nullptr)
      : layer_name_(std::move(layer_name)), layer_(layer) {}
  const LayerImpl* layer() const { return layer_; }

  std::vector<std::string> names() const override;
  std::shared_ptr<Dense> get(const std::string& name) const override;
  void set(const std::string& name, const std::shared_ptr<Dense>& value) override;
  bool has(const std::string& name) const override;
  // What get gives when the variable is declared, null otherwise: one look-up for both questions.
  std::shared_ptr<Dense> get_if(const std::string& name) const;

  // Declared by the layer when it is built; a redeclaration drops the stored value.
  void declare(const VariableDecl& decl);
  void clear();
  // Changes (to a value never used before, by any set of variables) with every set, declare,
  // clear and touch: what was computed from the variables at one version is stale at another.
  uint64_t version() const { return version_.load(std::memory_order_acquire); }
  // A new version without a change of values (the layer was built again).
  void touch();
  const VariableDecl* declaration(const std::string& name) const;
  // Whether storage exists for the variable (it appears on first get or set).
  bool materialised(const std::string& name) const;
  // The stored tensor, or a fresh one holding the declared initial value that is not kept
  // (serialising a model leaves it as it was).
  std::shared_ptr<const Dense> stored_or_initial(const std::string& name) const;

 private:
  struct Slot {
    VariableDecl decl;
    mutable std::shared_ptr<Dense> value;
  };
  const Slot* find(const std::string& name) const;  // null when not declared
  const Slot& slot(const std::string& name) const;
  std::string layer_name_;
  const LayerImpl* layer_;
  std::vector<Slot> slots_;
  std::vector<uint64_t> keys_;  // name_key of each slot's name, in slot order
  std::atomic<uint64_t> version_{0};
};

}  // namespace nuvra
