// Software inference results are pinned: every layer's output of generated models of both
// generations, through every layer type the engine runs. A change of the arithmetic that alters
// any value fails here, naming the first layer it reaches; the baseline routes must give what the
// AVX2 ones give, and each sample alone what it gives in a batch. Set NUVRA_PRINT_DIGESTS=1 to
// print the table for a deliberate change.
#include "forward_models.h"

#include "ops/simd.h"

#include <nuvra/layers.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace nuvra::test {
namespace {

struct Pinned {
  const char* recipe;
  uint64_t seed;
  std::vector<uint32_t> layers;  // a digest of each layer's output, in model order
};

// Two seeds of each recipe: odd and even kernels, strides 1 and 2, shifts of both signs, steps
// that do not divide, signed 8- and 16-bit inputs, products past 2^32, batches of 2 to 6.
const Pinned kPinned[] = {
    {"v2_chain", 1, {0x9201b3b0, 0x62c7bce6, 0xe07697f2, 0xcb2d58d0, 0x1169da9f, 0x09b4501b, 0x09b4501b}},
    {"v2_chain", 2, {0x819261ab, 0x17b67987, 0x25dd52a4, 0xcc37e2a3, 0xa52ad1bf, 0x2e9e63c0, 0xb38d2e2e}},
    {"v2_transposed", 1, {0x10650c21, 0xd5141a4a, 0x5a7398c9, 0x3fb1e7f0, 0x248d04cf}},
    {"v2_transposed", 2, {0x9a794192, 0x7aceaa81, 0x9cd691db, 0xbbe8cecc, 0xd37ce18b}},
    {"v2_merge", 1, {0xb9279709, 0x5563434f, 0xb775a6af, 0x549c7bad, 0x3b35f82f, 0x6946d7ad, 0x511e3a60,
        0xcae1ba7d, 0x79d59bdd, 0x682be1c8, 0x4f293b7a, 0x74e942a5, 0x7a865f9e}},
    {"v2_merge", 2, {0x52e97397, 0xc8dd33b1, 0xdff4a1cf, 0x26d7aee7, 0x65d00876, 0xc5f55d45, 0x7250fcc5,
        0xac2609a9, 0x51e1fd75, 0x62b9c77a, 0xe89081b6, 0x78ee3b2c, 0x578478da}},
    {"v2_temporal", 1, {0xa6c97db0, 0x5e55e3ee, 0x003819d1, 0xc7d9a170, 0xef3241ba}},
    {"v2_temporal", 2, {0x329a47c4, 0x3ab05d2f, 0xf24a4f5b, 0x16f7cfe0, 0xc983830a}},
    {"v2_stem", 1, {0xbc23e3e0, 0xbb5324a3, 0xd303b317}},
    {"v2_stem", 2, {0xb55f4274, 0xbb119571, 0x0201e860}},
    {"v2_wide", 1, {0x01860ad4, 0x133ae55b, 0xe48898a2, 0x102ae43e}},
    {"v2_wide", 2, {0x4f05ec3d, 0x5deb38f2, 0x4af628bc, 0x0ccbf160}},
    {"v1_hrc", 1, {0x292875c6, 0x5b9f5482, 0xcf6d7f67, 0xa98dd5ad, 0xe6733522}},
    {"v1_hrc", 2, {0xec7deddd, 0x3c10cc8e, 0x15d22ba1, 0x7f6bf9c8, 0x0b5ac557}},
    {"v1_data", 1, {0x31187a22, 0x883e2639, 0x3be5a639, 0x162cb41c}},
    {"v1_data", 2, {0x20f77a6d, 0x56c7c385, 0x7752246e, 0xd2e96d91}},
};

uint32_t folded(uint64_t digest) { return static_cast<uint32_t>(digest ^ (digest >> 32)); }

std::shared_ptr<Dense> run(Model& m, const std::shared_ptr<Dense>& inputs) {
  return std::const_pointer_cast<Dense>(Tensor::ensure_dense(m.forward(inputs)));
}

// The samples run one at a time, their outputs joined as the batch's would be.
std::vector<uint8_t> one_by_one(Model& m, const Dense& inputs) {
  const Shape s = inputs.shape();
  const size_t n = s[0], bytes = inputs.byte_size() / n;
  std::vector<uint8_t> joined;
  for (size_t i = 0; i < n; ++i) {
    Shape one = s;
    one[0] = 1;
    const auto y = run(m, std::shared_ptr<Dense>(
        Dense::copy(reinterpret_cast<const char*>(inputs.storage().data()) + i * bytes, bytes, inputs.type(), one)));
    joined.insert(joined.end(), y->storage().data(), y->storage().data() + y->byte_size());
  }
  return joined;
}

bool carries_state(const Model& m) {
  for (const auto& l : m.layers())
    if (l->type() == LayerType::BufferTempConv || l->type() == LayerType::DepthwiseBufferTempConv) return true;
  return false;
}

// Each layer's output: the model's, then that of the model without its last layer, and so on.
std::vector<uint32_t> layer_digests(Model& m, const std::shared_ptr<Dense>& inputs, const std::string& label) {
  std::vector<uint32_t> digests(m.layer_count());
  for (size_t i = m.layer_count(); i-- > 0;) {
    const auto y = run(m, inputs);
    const std::string where = label + ", layer " + m.get_layer(i)->get_name();
    if (ops::detail::has_avx2()) {
      ops::detail::avx2_turned_off = true;
      const auto base = run(m, inputs);
      ops::detail::avx2_turned_off = false;
      EXPECT_EQ(tensor_digest(*base), tensor_digest(*y)) << where << ": the baseline routes differ from AVX2";
    }
    if (!carries_state(m)) {
      const std::vector<uint8_t> bytes(y->storage().data(), y->storage().data() + y->byte_size());
      EXPECT_EQ(one_by_one(m, *inputs), bytes) << where << ": samples alone differ from the batch";
    }
    digests[i] = folded(tensor_digest(*y));
    // An output of a single value would pin little.
    const auto* bytes = y->storage().data();
    const size_t size = element_size(y->type());
    bool varied = false;
    for (size_t k = size; k < y->byte_size() && !varied; k += size) varied = std::memcmp(bytes, bytes + k, size) != 0;
    EXPECT_TRUE(varied) << where << ": every output value is the same";
    if (i > 0) m.pop_layer();
  }
  return digests;
}

TEST(ForwardDigest, GeneratedModelsGiveThePinnedOutputs) {
  const bool print = std::getenv("NUVRA_PRINT_DIGESTS") != nullptr;
  std::set<LayerType> covered;
  for (const auto& p : kPinned) {
    auto [model, inputs] = forward_model(p.recipe, p.seed);
    std::vector<std::string> names;
    for (const auto& l : model->layers()) {
      names.push_back(l->get_name() + " (" + layer_type_name(l->type()) + ")");
      covered.insert(l->type());
    }
    const std::string label = std::string(p.recipe) + " seed " + std::to_string(p.seed);
    const auto digests = layer_digests(*model, inputs, label);
    if (print) {
      std::printf("    {\"%s\", %" PRIu64 ", {", p.recipe, p.seed);
      for (size_t i = 0; i < digests.size(); ++i)
        std::printf("%s0x%08" PRIx32, i == 0 ? "" : i % 7 ? ", " : ",\n        ", digests[i]);
      std::printf("}},\n");
    }
    EXPECT_EQ(digests.size(), p.layers.size()) << label << ": the model has another number of layers";
    for (size_t i = 0; i < std::min(digests.size(), p.layers.size()); ++i)
      if (digests[i] != p.layers[i]) {
        ADD_FAILURE() << label << ": the first changed output is that of layer " << names[i] << ": digest 0x"
                      << std::hex << digests[i] << ", pinned 0x" << p.layers[i];
        break;
      }
  }
  // Every layer type with software arithmetic is pinned.
  for (const LayerType t :
       {LayerType::InputData, LayerType::InputConvolutional, LayerType::Convolutional,
        LayerType::SeparableConvolutional, LayerType::FullyConnected, LayerType::InputConv2D, LayerType::Conv2D,
        LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose,
        LayerType::Dense1D, LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv, LayerType::Stem,
        LayerType::Add, LayerType::Concatenate, LayerType::Dequantizer})
    EXPECT_TRUE(covered.count(t)) << layer_type_name(t) << " is in no pinned model";
}

}  // namespace
}  // namespace nuvra::test
