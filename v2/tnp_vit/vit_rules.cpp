#include "v2/tnp_vit/vit_rules.h"

#include "backend/mapping_status.h"
#include "v2/tnp_vit/vit_recorder.h"

#include <exception>
#include <new>

namespace nuvra::v2 {

MappingStatus check_vit_encoder_block_constraints(const Layer& layer) {
  // Refused here, the layer can still run in software; refused while recording, the map fails.
  try {
    check_vit_encoder_block_variables(layer);
  } catch (const std::bad_alloc&) {
    throw;  // says nothing of the layer
  } catch (const std::exception& e) {
    return LayerMappingError(layer, e.what());
  }
  return MappingSuccess();
}

}  // namespace nuvra::v2
