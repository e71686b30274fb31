#include <nuvra/params.h>

#include <stdexcept>

namespace nuvra {

std::unique_ptr<LayerParams> LayerParams::create(LayerType type, const std::map<std::string, int>& entries) {
  const auto v = static_cast<int32_t>(type);
  if (v < 0 || v >= kLayerTypeCount) throw std::invalid_argument("Unknown layer type " + std::to_string(v));
  return std::unique_ptr<LayerParams>(new LayerParams(type, entries));
}

std::unique_ptr<LayerParams> LayerParams::clone() const {
  return std::unique_ptr<LayerParams>(new LayerParams(type_, entries_));
}

int LayerParams::get(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) throw std::invalid_argument("Key " + key + " not found in layer parameters");
  return it->second;
}

bool LayerParams::has(const std::string& key) const { return entries_.count(key) != 0; }

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
