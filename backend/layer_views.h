// The views of a layer that the back end reaches many times per map: its convolution and
// pooling records and its concrete base. The engine's own layer classes are recognised by their
// exact type, which costs a pointer comparison; any other class takes a dynamic_cast, as before.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/variables.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvra {

// Null when the layer has no such record.
const HasConvParams* conv_view(const Layer& layer);
const HasPoolParams* pool_view(const Layer& layer);

// vars.has(name) ? vars.get(name) : null, in one look-up for the engine's own variables.
std::shared_ptr<Dense> variable_if_declared(const Variables& vars, const std::string& name);

// Null when the layer is not built on LayerImpl.
LayerImpl* layer_impl(Layer& layer);

// input_dimensions().front() without a copy of the list; nullopt when the list is empty. Throws
// as input_dimensions() does.
std::optional<Shape> first_input_dimension(const Layer& layer);

// inbound_layers().front() without a copy of the list; null when the layer reads none.
std::shared_ptr<const Layer> first_inbound_of(const Layer& layer);
std::shared_ptr<Layer> first_inbound_of(Layer& layer);

// outbound_layers().front() without a copy of the list; null when nothing reads the layer.
std::shared_ptr<Layer> first_outbound_of(const Layer& layer);

// The inbound or outbound layers of one layer, in their order. A layer has one or two nearly
// always, so a few are held inline: reading them, which the mapper does many times per layer,
// then allocates nothing.
template <class L>
class LayerRefs {
 public:
  using value_type = std::shared_ptr<L>;

  LayerRefs() = default;
  // The list a layer's own query returned.
  explicit LayerRefs(std::vector<value_type>&& asked) : heap_(std::move(asked)), size_(heap_.size()) {}

  void push_back(value_type layer) {
    if (heap_.empty() && size_ < kInline) {
      inline_[size_++] = std::move(layer);
      return;
    }
    if (heap_.empty()) heap_.assign(std::make_move_iterator(inline_.begin()), std::make_move_iterator(inline_.end()));
    heap_.push_back(std::move(layer));
    ++size_;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const value_type* begin() const { return heap_.empty() ? inline_.data() : heap_.data(); }
  const value_type* end() const { return begin() + size_; }
  const value_type& operator[](size_t i) const { return begin()[i]; }
  const value_type& front() const { return begin()[0]; }

 private:
  static constexpr size_t kInline = 4;
  std::array<value_type, kInline> inline_;
  std::vector<value_type> heap_;  // every entry, once there are more than kInline
  size_t size_ = 0;
};

// inbound_layers() and outbound_layers(): the engine's own classes give their lists without a
// copy; any other class is asked through the same query, once.
LayerRefs<Layer> inbounds_of(Layer& layer);
LayerRefs<const Layer> inbounds_of(const Layer& layer);
LayerRefs<Layer> outbounds_of(const Layer& layer);

}  // namespace nuvra
