#include "backend/mapping_status.h"

#include <nuvra/layer.h>

namespace nuvra {

MappingStatus MappingSuccess() { return {0, "Success"}; }

MappingStatus MappingFailure(const std::string& message) { return {1, message}; }

std::string quoted_name(const Layer& layer) { return "'" + layer.get_name() + "'"; }

MappingStatus LayerMappingError(const Layer& layer, const std::string& message) {
  return {1, "Error when mapping layer " + quoted_name(layer) + ": " + message};
}

SequenceRefusal::SequenceRefusal(const Layer& layer, const std::string& message)
    : std::runtime_error(LayerMappingError(layer, message).message), layer_(&layer) {}

MappingStatus NpsMappingError(const std::string& what, size_t needed, size_t available) {
  return {1, what + " : not enough NPs available. " + std::to_string(needed) + " are needed but only " +
                 std::to_string(available) + " are available."};
}

}  // namespace nuvra
