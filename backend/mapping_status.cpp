#include "backend/mapping_status.h"

#include <nuvra/layer.h>

namespace nuvra {

MappingStatus MappingSuccess() { return {0, "Success"}; }

MappingStatus MappingFailure(const std::string& message) { return {1, message}; }

MappingStatus LayerMappingError(const Layer& layer, const std::string& message) {
  return {1, "Error when mapping layer '" + layer.get_name() + "': " + message};
}

SequenceRefusal::SequenceRefusal(const Layer& layer, const std::string& message)
    : std::runtime_error(LayerMappingError(layer, message).message), layer_(&layer) {}

MappingStatus NpsMappingError(const std::string& what, size_t needed, size_t available) {
  return {1, what + " : not enough NPs available. " + std::to_string(needed) + " are needed but only " +
                 std::to_string(available) + " are available."};
}

}  // namespace nuvra
