#include "v2/tnp_vit/vit_rules.h"

#include "backend/mapping_status.h"
#include "v2/layer_input.h"
#include "v2/rule_text.h"
#include "v2/tnp_vit/vit_recorder.h"

#include <nuvra/params.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>

namespace nuvra::v2 {

namespace {

// Register word 1 holds the token count in bits 4-12 and its sixth in bits 16-21, word 10 the
// tokens in 10 bits; word 4 the class count in bits 1-10 and its quarter in bits 16-23. (Word 10's
// 10-bit embedding width cannot be reached: the MLP weights of a width past 255 fill no track.)
constexpr int64_t kMaxTokens = 383;
constexpr int64_t kMaxClasses = 1023;

MappingStatus check_register_limits(const Layer& layer) {
  const int64_t tokens = first_input_shape(layer)[1];
  if (tokens > kMaxTokens)
    return LayerMappingError(layer, limit_message("The maximum number of tokens is ", kMaxTokens, tokens));
  const int64_t classes = layer.params()->get("num_classes");
  if (classes < 0 || classes > kMaxClasses)
    return LayerMappingError(layer, "num_classes must be between 0 and " + std::to_string(kMaxClasses) + " (got " +
                                        std::to_string(classes) + ")");
  return MappingSuccess();
}

}  // namespace

MappingStatus check_vit_encoder_block_constraints(const Layer& layer) {
  if (MappingStatus limits = check_register_limits(layer); !limits.ok()) return limits;
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
