#include <nuvra/params.h>

#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace nuvra {

std::unique_ptr<LayerParams> LayerParams::create(LayerType type, const std::map<std::string, int>& entries) {
  const auto v = static_cast<int32_t>(type);
  if (v < 0 || v >= kLayerTypeCount) throw std::invalid_argument("Unknown layer type " + std::to_string(v));
  return std::unique_ptr<LayerParams>(new LayerParams(type, Entries(entries.begin(), entries.end())));
}

std::unique_ptr<LayerParams> LayerParams::clone() const {
  return std::unique_ptr<LayerParams>(new LayerParams(type_, entries_));
}

namespace {

// Keys of up to this many bytes are told apart by their two words alone.
constexpr size_t kWordKeyBytes = 15;

uint64_t key_word(std::string_view key) {
  uint64_t word = std::min<size_t>(key.size(), 0xFF);
  const size_t n = std::min<size_t>(key.size(), 7);
  for (size_t i = 0; i < n; ++i) word |= uint64_t{static_cast<uint8_t>(key[i])} << (8 * (i + 1));
  return word;
}

uint64_t key_rest(std::string_view key) {
  uint64_t rest = 0;
  for (size_t i = 7; i < std::min(key.size(), kWordKeyBytes); ++i)
    rest |= uint64_t{static_cast<uint8_t>(key[i])} << (8 * (i - 7));
  return rest;
}

}  // namespace

LayerParams::LayerParams(LayerType type, Entries entries) : type_(type), entries_(std::move(entries)) { index(); }

LayerParams::LayerParams(const LayerParams& other) : type_(other.type_), entries_(other.entries_) { index(); }

LayerParams& LayerParams::operator=(const LayerParams& other) {
  if (this != &other) {
    LayerParams copy(other);
    type_ = copy.type_;
    entries_.swap(copy.entries_);
    slots_.swap(copy.slots_);
  }
  return *this;
}

void LayerParams::index() {
  slots_.clear();
  slots_.reserve(entries_.size());
  for (const auto& entry : entries_) slots_.push_back({key_word(entry.first), key_rest(entry.first), &entry});
}

const int* LayerParams::find(std::string_view key) const {
  const uint64_t word = key_word(key);
  const uint64_t rest = key_rest(key);
  const bool whole = key.size() <= kWordKeyBytes;
  for (const Slot& s : slots_)
    if (s.word == word && s.rest == rest && (whole || s.entry->first == key)) return &s.entry->second;
  return nullptr;
}

void LayerParams::set(const std::string& key, int value) {
  slots_.reserve(slots_.size() + 1);
  const auto [it, added] = entries_.insert_or_assign(key, value);
  if (added) slots_.push_back({key_word(key), key_rest(key), &*it});
}

int LayerParams::get(std::string_view key) const {
  const int* value = find(key);
  if (value == nullptr) throw std::invalid_argument("Key " + std::string(key) + " not found in layer parameters");
  return *value;
}

bool LayerParams::has(std::string_view key) const { return find(key) != nullptr; }

std::vector<std::string> LayerParams::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& [k, v] : entries_) out.push_back(k);
  return out;
}

std::shared_ptr<LearningParams> LearningParams::create(LearningType type,
                                                       const std::map<std::string, double>& entries) {
  if (type != LearningType::Unsupervised)
    throw std::invalid_argument("Unknown learning type " + std::to_string(static_cast<int32_t>(type)));
  for (const auto& [key, value] : entries)
    if (!detail::valid_utf8(key)) throw std::invalid_argument("Learning parameter keys must be valid UTF-8");
  // Rates and fractions of the learning rule: a NaN, an infinity or a negative value would
  // poison every later step.
  for (const char* key : {"initial_plasticity", "learning_competition", "min_plasticity", "plasticity_decay"}) {
    const auto it = entries.find(key);
    if (it == entries.end() || (std::isfinite(it->second) && it->second >= 0)) continue;
    char got[32];
    std::snprintf(got, sizeof got, "%g", it->second);
    throw std::invalid_argument(std::string("Learning parameter ") + key + " must be a finite number of at least 0 (got " +
                                got + ")");
  }
  return std::shared_ptr<LearningParams>(new LearningParams(type, entries));
}

std::shared_ptr<LearningParams> LearningParams::clone() const {
  return std::shared_ptr<LearningParams>(new LearningParams(type_, entries_));
}

double LearningParams::get(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) throw std::invalid_argument("Key " + key + " not found in learning parameters");
  return it->second;
}

bool LearningParams::has(const std::string& key) const { return entries_.count(key) != 0; }

std::vector<std::string> LearningParams::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& [k, v] : entries_) out.push_back(k);
  return out;
}

}  // namespace nuvra
