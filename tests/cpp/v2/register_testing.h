// Shared tools of the NP register-block tests: which bits a formatter writes, a split with
// chosen geometry words, and a next layer with chosen answers.
#pragma once

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "v2/np_registers.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::test {

struct WordMask {
  size_t word;
  uint32_t mask;
};

using Formatter = std::function<void(v2::RegisterBlock*)>;

// Runs `format` on an all-zeros and an all-ones block. A bit the formatter writes flips in exactly
// one of the two, so the union of the flips is exactly the set of bits it writes: it must equal
// `written`, word by word.
inline void expect_writes_exactly(const std::string& what, const Formatter& format,
                                  const std::vector<WordMask>& written) {
  std::array<uint32_t, v2::kNpRegisterWords> expected{};
  for (const WordMask& m : written) expected.at(m.word) |= m.mask;
  std::array<uint32_t, v2::kNpRegisterWords> flipped{};
  for (uint32_t fill : {0u, ~0u}) {
    v2::RegisterBlock block(v2::kNpRegisterWords, fill);
    format(&block);
    ASSERT_EQ(block.size(), v2::kNpRegisterWords) << what;
    for (size_t w = 0; w < block.size(); ++w) flipped[w] |= block[w] ^ fill;
  }
  for (size_t w = 0; w < flipped.size(); ++w)
    EXPECT_EQ(flipped[w], expected[w]) << what << ": word " << w << std::hex << " written 0x" << flipped[w]
                                       << " expected 0x" << expected[w];
}

inline hw::Component component(hw::Type type, uint8_t col, uint8_t row, uint8_t id = 0) {
  hw::Component c;
  c.type = type;
  c.ident = {col, row, id, 0};
  return c;
}

inline hw::Component np(uint8_t col, uint8_t row, uint8_t id = 0) { return component(hw::Type::CNP2, col, row, id); }

// Geometry words 1 to 15 and the container width as given.
class FixedSplit final : public NpSplitInterface {
 public:
  FixedSplit(std::array<uint32_t, kWords> words, uint32_t icont) : icont_(icont) { words_ = words; }
  void set(size_t n, uint32_t value) { words_.at(n - 1) = value; }
  uint32_t icont_size() const override { return icont_; }

 private:
  uint32_t icont_;
};

// A layer whose answers the test chooses, as the next layer on the same NP.
class FakeLayer final : public Layer {
 public:
  int kind = 2;
  uint8_t bits = 8;
  std::vector<Shape> inputs{Shape{8, 8, 8}};
  bool per_channel = false;
  bool activation = true;
  bool max_pool = false;
  std::shared_ptr<const Layer> inbound;
  std::shared_ptr<Mapping> layer_mapping;

  const std::string& get_name() const override { return name_; }
  LayerType type() const override { return LayerType::Conv2D; }
  std::vector<Shape> input_dimensions() const override { return inputs; }
  Shape output_dimensions() const override { return inputs.empty() ? Shape{} : inputs.front(); }
  uint8_t input_bits() const override { return bits; }
  uint8_t output_bits() const override { return 8; }
  bool output_signed() const override { return false; }
  int input_type_code() const override { return 0; }
  bool is_input_layer() const override { return false; }
  bool splittable() const override { return true; }
  bool channelwise() const override { return per_channel; }
  bool is_kind(int code) const override { return code == kind; }
  bool has_activation() const override { return activation; }
  bool has_activation_type(ActivationType t) const override { return activation && t == ActivationType::ReLU; }
  bool has_pool_type(PoolType t) const override { return max_pool ? t == PoolType::Max : t == PoolType::NoPooling; }
  std::shared_ptr<LearningParams> learning() const override { return nullptr; }
  bool can_learn() const override { return false; }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override {
    if (!inbound) return {};
    return {inbound};
  }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return {}; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return {}; }
  const LayerParams* params() const override { return nullptr; }
  const Variables* variables() const override { return nullptr; }
  Variables* variables() override { return nullptr; }
  std::shared_ptr<const Mapping> mapping() const override { return layer_mapping; }
  std::shared_ptr<Mapping> mapping() override { return layer_mapping; }

 private:
  std::string name_ = "next";
};

}  // namespace nuvra::test
