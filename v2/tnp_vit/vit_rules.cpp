#include "v2/tnp_vit/vit_rules.h"

#include "backend/mapping_status.h"

namespace nuvra::v2 {

MappingStatus check_vit_encoder_block_constraints(const Layer&) { return MappingSuccess(); }

}  // namespace nuvra::v2
