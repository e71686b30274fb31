// The three ways a mapping step reports its result.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
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

}  // namespace nuvra
