// Parameter sets of layers and of the learning rule.
#pragma once

#include <nuvra/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

// Integer values under string keys, tagged with a layer type. Stores exactly the given keys.
class LayerParams {
 public:
  // Refuses a type outside 0-25 with std::invalid_argument.
  static std::unique_ptr<LayerParams> create(LayerType type, const std::map<std::string, int>& entries);
  std::unique_ptr<LayerParams> clone() const;

  // Keys are looked up as they are given, without a copy.
  using Entries = std::map<std::string, int, std::less<>>;

  LayerParams(const LayerParams& other);
  LayerParams& operator=(const LayerParams& other);

  // A missing key throws std::invalid_argument("Key <k> not found in layer parameters").
  int get(std::string_view key) const;
  bool has(std::string_view key) const;
  // The value of `key`, or null when it is missing.
  const int* find(std::string_view key) const;
  std::vector<std::string> keys() const;
  LayerType layer_type() const { return type_; }
  const Entries& entries() const { return entries_; }

  // Used by the engine when a layer completes its own copy with defaults.
  void set(const std::string& key, int value);

 private:
  LayerParams(LayerType type, Entries entries);
  // Rebuilds `slots_` from `entries_`.
  void index();

  // A key's length and first fifteen bytes, with its entry: a look-up reads this compact list and
  // compares whole keys only where these agree on a longer key.
  struct Slot {
    uint64_t word;  // the length, then bytes 0-6
    uint64_t rest;  // bytes 7-14
    const Entries::value_type* entry;
  };
  LayerType type_;
  Entries entries_;
  std::vector<Slot> slots_;
};

class LearningParams {
 public:
  // Only LearningType::Unsupervised exists; any other type throws std::invalid_argument.
  static std::shared_ptr<LearningParams> create(LearningType type, const std::map<std::string, double>& entries);
  std::shared_ptr<LearningParams> clone() const;

  // A missing key throws std::invalid_argument.
  double get(const std::string& key) const;
  bool has(const std::string& key) const;
  std::vector<std::string> keys() const;
  LearningType learning_type() const { return type_; }

  // Plasticity moves as the layer learns (the other keys are fixed).
  void set(const std::string& key, double value) { entries_[key] = value; }

 private:
  LearningParams(LearningType type, std::map<std::string, double> entries)
      : type_(type), entries_(std::move(entries)) {}
  LearningType type_;
  std::map<std::string, double> entries_;
};

}  // namespace nuvra
