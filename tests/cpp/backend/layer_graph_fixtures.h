// Small hand-built layer graphs for the layer-graph and layer-mapping tests.
#pragma once

#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

using LayerList = std::vector<std::shared_ptr<Layer>>;

// A model built layer by layer, addressed by name. The first layer is an HRC input layer
// ("in", 8x8x3 -> 8x8x4); Conv2D layers keep the 8x8 size so that any two can be added.
class Graph {
 public:
  explicit Graph(int input_filters = 4) {
    b_.add(LayerType::InputConv2D,
           {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", input_filters},
            {"kernel_size", 3}},
           "in");
  }
  Graph& conv(const std::string& name, const std::string& from, int filters = 4) {
    b_.add(LayerType::Conv2D, {{"filters", filters}, {"kernel_size", 3}}, name, {from});
    return *this;
  }
  Graph& tnpb(const std::string& name, const std::string& from, int fifo_size = 3) {
    b_.add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", fifo_size}}, name, {from});
    return *this;
  }
  Graph& add(const std::string& name, const std::string& a, const std::string& b) {
    b_.add(LayerType::Add, {}, name, {a, b});
    return *this;
  }
  Graph& cat(const std::string& name, const std::string& a, const std::string& b) {
    b_.add(LayerType::Concatenate, {}, name, {a, b});
    return *this;
  }
  Graph& dequantizer(const std::string& name, const std::string& from) {
    b_.add(LayerType::Dequantizer, {}, name, {from});
    return *this;
  }

  std::shared_ptr<Layer> operator()(const std::string& name) const {
    auto l = b_.layer(name);
    if (!l) throw std::invalid_argument("no layer " + name);
    return l;
  }
  LayerList list(const std::vector<std::string>& names) const {
    LayerList out;
    for (const auto& n : names) out.push_back((*this)(n));
    return out;
  }
  // Every layer of the model, in the order added.
  LayerList all() const { return b_.model().layers(); }

 private:
  mutable ModelBuilder b_;
};

// in -> c1 -> c2 -> c3 -> c4
inline Graph chain() { return std::move(Graph().conv("c1", "in").conv("c2", "c1").conv("c3", "c2").conv("c4", "c3")); }

// A residual block: in -> c1 -> c2 -> c3; add = Add(c1, c3) -> c4 -> c5. c1 (depth 2) is the
// skip layer, c3 (depth 4) the deeper input.
inline Graph residual() {
  return std::move(
      Graph().conv("c1", "in").conv("c2", "c1").conv("c3", "c2").add("add", "c1", "c3").conv("c4", "add").conv("c5", "c4"));
}

// Two chained residual blocks whose first merge also feeds the second one:
// in -> c1 -> c2 -> c3; add1 = Add(c1, c3) -> c4 -> c5; add2 = Add(add1, c5) -> c6.
// c4 reads add1 and must also store it for add2 (a dual output).
inline Graph dual_residual() {
  return std::move(Graph()
                       .conv("c1", "in")
                       .conv("c2", "c1")
                       .conv("c3", "c2")
                       .add("add1", "c1", "c3")
                       .conv("c4", "add1")
                       .conv("c5", "c4")
                       .add("add2", "add1", "c5")
                       .conv("c6", "add2"));
}

// A fork into two branches of different length, joined by a Concatenate whose second input is
// the deeper one: in -> c1 -> {a, b1 -> b2}; cat = Concatenate(a, b2) -> c5.
// a has 4 channels, b2 has 6.
inline Graph concat_fork() {
  return std::move(
      Graph().conv("c1", "in").conv("a", "c1", 4).conv("b1", "c1").conv("b2", "b1", 6).cat("cat", "a", "b2").conv("c5", "cat"));
}

}  // namespace nuvra::test
