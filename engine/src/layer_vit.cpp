// Vision-transformer layers: the Stem patch embedding and the encoder block.
#include "layer_build.h"

#include <nuvra/image_patches.h>

#include <string>

namespace nuvra::detail {

BuildResult build_stem(const LayerParams& p, const std::vector<Shape>& in) {
  const uint32_t x = in[0][0], y = in[0][1], c = in[0][2];
  const uint32_t k = positive_param(p, "kernel_size");
  const uint64_t d = positive_param(p, "filters");
  const int extra = p.get("num_non_patch_tokens");
  if (extra < 0) refuse("parameter 'num_non_patch_tokens' must not be negative (got " + std::to_string(extra) + ")");
  // Position embeddings are loaded four values a word.
  if (d % 4 != 0) refuse("parameter 'filters' must be a multiple of 4 (got " + std::to_string(d) + ")");
  if (k > 127) refuse("parameter 'kernel_size' must be at most 127 (got " + std::to_string(k) + ")");
  if (x < k || y < k)
    refuse("the " + std::to_string(x) + "x" + std::to_string(y) + " input is smaller than the " + std::to_string(k) +
           "x" + std::to_string(k) + " patch");
  // Non-overlapping k x k patches.
  const ImagePatches patches(static_cast<int>(k), static_cast<int>(k), static_cast<int>(k), static_cast<int>(k),
                             Padding::Valid, Shape{x, y});
  const uint64_t tokens = uint64_t{patches.out_width} * patches.out_height + static_cast<uint64_t>(extra);
  const uint64_t token_rows = extra > 0 ? static_cast<uint64_t>(extra) : 1;

  BuildResult r;
  r.output = checked_shape("output", {1, tokens, d});
  r.conv = ConvParams{patches.out_width, patches.out_height, PaddingParams{}};
  declare(r, "weights", TensorType::int8, {k, k, c, d});
  declare(r, "tokens", TensorType::int8, {token_rows, d});
  declare(r, "tokens_shift", TensorType::uint8, {token_rows, d});
  declare(r, "pos_embedding", TensorType::int8, {tokens, d});
  declare(r, "pos_embs_shift", TensorType::uint8, {d});
  declare(r, "output_scales", TensorType::uint8, {d});
  declare(r, "bias_shift", TensorType::uint8, {d});
  declare(r, "output_shift", TensorType::int8, {d});
  declare(r, "bias", TensorType::int8, {d});
  if (has_relu(p)) {
    declare(r, "max_value_shift", TensorType::uint8, {d});
    declare(r, "max_value", TensorType::uint8, {d});
  }
  return r;
}

namespace {

// The normalisation ahead of the attention ("norm_mha") or of the MLP ("norm_mlp").
void normalisation(BuildResult& r, const std::string& prefix, uint64_t d) {
  const auto n = [&](const char* s) { return prefix + s; };
  declare(r, n("_input_shift").c_str(), TensorType::uint8, {d});
  declare(r, n("_gamma").c_str(), TensorType::int8, {d});
  declare(r, n("_gamma_shift").c_str(), TensorType::uint8, {d});
  declare(r, n("_beta").c_str(), TensorType::int8, {d});
  declare(r, n("_beta_shift").c_str(), TensorType::uint8, {d});
  declare(r, n("_output_scales").c_str(), TensorType::uint8, {d});
  declare(r, n("_output_shift").c_str(), TensorType::int8, {d});
}

void projection(BuildResult& r, const std::string& prefix, uint64_t d) {
  const auto n = [&](const char* s) { return prefix + s; };
  declare(r, n("_input_shift").c_str(), TensorType::uint8, {d});
  declare(r, n("_bias").c_str(), TensorType::int8, {d});
  declare(r, n("_bias_shift").c_str(), TensorType::uint8, {d});
  declare(r, n("_output_scales").c_str(), TensorType::uint8, {d});
  declare(r, n("_output_shift").c_str(), TensorType::int8, {d});
}

void skip_connection(BuildResult& r, const std::string& prefix, uint64_t d) {
  declare(r, (prefix + "_a_shift").c_str(), TensorType::uint8, {d});
  declare(r, (prefix + "_b_shift").c_str(), TensorType::uint8, {d});
  declare(r, (prefix + "_output_shift").c_str(), TensorType::int8, {d});
}

}  // namespace

// Input (1, T, D); the MLP is 4 D wide. Extracting 1 or 2 tokens gives (1, tokens, D).
BuildResult build_vit_block(const LayerParams& p, const std::vector<Shape>& in) {
  const Shape& s = in[0];
  if (s[0] != 1) refuse("the input must have the shape (1, tokens, width) (got " + s.to_string() + ")");
  const uint64_t t = s[1], d = s[2], hidden = 4 * d;
  // The query, key and value weights are interleaved in groups of 24 columns.
  if (d % 24 != 0) refuse("the embedding width must be a multiple of 24 (got " + std::to_string(d) + ")");
  const int extract = p.get("tokens_to_extract");
  const bool extracting = extract == 1 || extract == 2;
  if (extracting && static_cast<uint64_t>(extract) > t)
    refuse("cannot extract " + std::to_string(extract) + " tokens from " + std::to_string(t));

  BuildResult r;
  r.output = checked_shape("output", {1, extracting ? static_cast<uint64_t>(extract) : t, d});
  normalisation(r, "norm_mha", d);
  declare(r, "query_weights", TensorType::int8, {d, d});
  declare(r, "key_weights", TensorType::int8, {d, d});
  declare(r, "value_weights", TensorType::int8, {d, d});
  projection(r, "query", d);
  projection(r, "key", d);
  projection(r, "value", d);
  declare(r, "attention_shiftmax_input_shift", TensorType::uint8, {t});
  declare(r, "attention_output_shift", TensorType::int8, {d});
  declare(r, "attention_value_shift", TensorType::uint8, {d});
  skip_connection(r, "skip_connection_1", d);
  normalisation(r, "norm_mlp", d);
  declare(r, "mlp_1_weights", TensorType::int8, {d, hidden});
  declare(r, "mlp_1_bias", TensorType::int8, {hidden});
  declare(r, "mlp_1_bias_shift", TensorType::uint8, {hidden});
  declare(r, "mlp_1_input_shift", TensorType::uint8, {d});
  declare(r, "mlp_1_max_value", TensorType::uint8, {hidden});
  declare(r, "mlp_1_max_value_shift", TensorType::uint8, {hidden});
  declare(r, "mlp_1_output_scales", TensorType::uint8, {hidden});
  declare(r, "mlp_1_output_shift", TensorType::int8, {hidden});
  declare(r, "mlp_2_weights", TensorType::int8, {hidden, d});
  declare(r, "mlp_2_input_shift", TensorType::uint8, {hidden});
  declare(r, "mlp_2_bias", TensorType::int8, {d});
  declare(r, "mlp_2_bias_shift", TensorType::uint8, {d});
  skip_connection(r, "skip_connection_2", d);
  declare(r, "batch_norm_input_shift", TensorType::uint8, {d});
  declare(r, "batch_norm_a", TensorType::int8, {d});
  declare(r, "batch_norm_b", TensorType::int8, {d});
  declare(r, "batch_norm_b_shift", TensorType::uint8, {d});
  declare(r, "batch_norm_output_scales", TensorType::uint8, {d});
  declare(r, "batch_norm_output_shift", TensorType::int8, {d});
  return r;
}

}  // namespace nuvra::detail
