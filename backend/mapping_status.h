// The three ways a mapping step reports its result.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace nuvra {

class Layer;

// {0, "Success"}
MappingStatus MappingSuccess();
// {1, message}
MappingStatus MappingFailure(const std::string& message);
// "'<name>'": how a refusal names a layer.
std::string quoted_name(const Layer& layer);
// {1, "Error when mapping layer '<name>': <message>"}
MappingStatus LayerMappingError(const Layer& layer, const std::string& message);
// {1, "<what> : not enough NPs available. <needed> are needed but only <available> are available."}
MappingStatus NpsMappingError(const std::string& what, size_t needed, size_t available);

// A limit that only the sequence being built shows, not the checker's look at one layer: the
// numbers of a pass's layers, the NP counts that an alternate pair or a partial reconfiguration
// records. The sequence cannot hold `layer`; the map driver treats this as a checker's refusal of
// the layer (a shorter sequence, else the refusal's status). what() is that status's message,
// "Error when mapping layer '<name>': <message>".
class SequenceRefusal : public std::runtime_error {
 public:
  SequenceRefusal(const Layer& layer, const std::string& message);
  const Layer& layer() const { return *layer_; }
  MappingStatus status() const { return MappingFailure(what()); }

 private:
  const Layer* layer_;
};

}  // namespace nuvra
