#include "v2/tnp_vit/vit_recorder.h"

#include "backend/layer_mapping.h"
#include "v2/layer_input.h"
#include "v2/np_registers.h"
#include "v2/tnp_vit/vit_formatters.h"

#include <nuvra/host_hooks.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {

namespace {

constexpr dma::Target kRegisters{7};
constexpr uint16_t kBlockWordsAddress = 1, kRoutingAddress = 44, kWord59Address = 59;

// The packer of a parameter block.
enum class Pack : uint8_t { shifts, output_shifts, shifted_values, skip_connection, post_op, post_op_max,
                            mad_norm_beta, batch_norm, weights, qkv };

// A parameter block: where it goes, its packer and the variables the packer takes, in order.
struct BlockKind {
  uint32_t target;
  uint16_t address;
  Pack pack;
  std::array<const char*, 6> variables;
};

// The units' parameter memories in record order: the normalisation before the attention (12);
// the query, key and value projections (13); the shiftmax (14); the attention output (15); the
// shiftmax again; the first skip connection (17); the normalisation before the MLP (18); the
// MLP's first dense (19, its post-operation 20) and second dense (21, scaled by the first's
// output scales and shift); the second skip connection (22). The second dense's input shift
// has no block.
const BlockKind kBlocks[] = {
    {12, 0, Pack::shifted_values, {"norm_mha_gamma", "norm_mha_gamma_shift"}},
    {12, 1024, Pack::shifts, {"norm_mha_input_shift"}},
    {12, 2048, Pack::mad_norm_beta,
     {"norm_mha_input_shift", "norm_mha_beta", "norm_mha_beta_shift", "norm_mha_output_scales",
      "norm_mha_output_shift"}},
    {13, 0, Pack::qkv, {"query_weights", "key_weights", "value_weights"}},
    {13, 1024, Pack::shifts, {"query_input_shift"}},
    {13, 2048, Pack::post_op, {"query_bias", "query_bias_shift", "query_output_scales", "query_output_shift"}},
    {13, 1280, Pack::shifts, {"key_input_shift"}},
    {13, 2304, Pack::post_op, {"key_bias", "key_bias_shift", "key_output_scales", "key_output_shift"}},
    {13, 1536, Pack::shifts, {"value_input_shift"}},
    {13, 2560, Pack::post_op, {"value_bias", "value_bias_shift", "value_output_scales", "value_output_shift"}},
    {14, 0, Pack::shifts, {"attention_shiftmax_input_shift"}},
    {15, 0, Pack::output_shifts, {"attention_output_shift"}},
    {15, 1024, Pack::shifts, {"attention_value_shift"}},
    {14, 0, Pack::shifts, {"attention_shiftmax_input_shift"}},
    {17, 0, Pack::skip_connection,
     {"skip_connection_1_a_shift", "skip_connection_1_b_shift", "skip_connection_1_output_shift"}},
    {18, 0, Pack::shifted_values, {"norm_mlp_gamma", "norm_mlp_gamma_shift"}},
    {18, 1024, Pack::shifts, {"norm_mlp_input_shift"}},
    {18, 2048, Pack::mad_norm_beta,
     {"norm_mlp_input_shift", "norm_mlp_beta", "norm_mlp_beta_shift", "norm_mlp_output_scales",
      "norm_mlp_output_shift"}},
    {19, 0, Pack::weights, {"mlp_1_weights"}},
    {19, 1024, Pack::shifted_values, {"mlp_1_bias", "mlp_1_bias_shift"}},
    {19, 2048, Pack::shifts, {"mlp_1_input_shift"}},
    {20, 0, Pack::post_op_max, {"mlp_1_max_value", "mlp_1_max_value_shift", "mlp_1_output_scales", "mlp_1_output_shift"}},
    {21, 0, Pack::weights, {"mlp_2_weights"}},
    {21, 1024, Pack::post_op, {"mlp_2_bias", "mlp_2_bias_shift", "mlp_1_output_scales", "mlp_1_output_shift"}},
    {22, 0, Pack::skip_connection,
     {"skip_connection_2_a_shift", "skip_connection_2_b_shift", "skip_connection_2_output_shift"}},
};

// The closing batch normalisation, recorded when one or two tokens are extracted.
const BlockKind kBatchNorm{23,
                           0,
                           Pack::batch_norm,
                           {"batch_norm_input_shift", "batch_norm_a", "batch_norm_b", "batch_norm_b_shift",
                            "batch_norm_output_scales", "batch_norm_output_shift"}};

using Tensors = std::array<std::shared_ptr<const Dense>, 6>;

// Size functions check; packers write. Both take the variables in the block's order.
uint32_t packed_size(Pack pack, const Tensors& t) {
  switch (pack) {
    case Pack::shifts: return shifts_32b_size(*t[0]);
    case Pack::output_shifts: return output_shifts_32b_size(*t[0]);
    case Pack::shifted_values: return shifted_values_32b_size(*t[0], *t[1]);
    case Pack::skip_connection: return skip_connection_shifts_32b_size(*t[0], *t[1], *t[2]);
    case Pack::post_op: return post_op_variables_32b_size(*t[0], *t[1], *t[2], *t[3]);
    case Pack::post_op_max: return post_op_max_variables_32b_size(*t[0], *t[1], *t[2], *t[3]);
    case Pack::mad_norm_beta: return mad_norm_beta_32b_size(*t[0], *t[1], *t[2], *t[3], *t[4]);
    case Pack::batch_norm: return batch_norm_32b_size(*t[0], *t[1], *t[2], *t[3], *t[4], *t[5]);
    case Pack::weights: return weights_32b_size(*t[0]);
    case Pack::qkv: return qkv_weights_32b_size(*t[0], *t[1], *t[2]);
  }
  throw std::logic_error("unknown parameter packer");
}

void pack_block(Pack pack, std::span<uint32_t> out, const Tensors& t) {
  switch (pack) {
    case Pack::shifts: return format_shifts(out, *t[0]);
    case Pack::output_shifts: return format_output_shifts(out, *t[0]);
    case Pack::shifted_values: return format_shifted_values(out, *t[0], *t[1]);
    case Pack::skip_connection: return format_skip_connection_shifts(out, *t[0], *t[1], *t[2]);
    case Pack::post_op: return format_post_op_variables(out, *t[0], *t[1], *t[2], *t[3]);
    case Pack::post_op_max: return format_post_op_max_variables(out, *t[0], *t[1], *t[2], *t[3]);
    case Pack::mad_norm_beta: return format_mad_norm_beta(out, *t[0], *t[1], *t[2], *t[3], *t[4]);
    case Pack::batch_norm: return format_batch_norm(out, *t[0], *t[1], *t[2], *t[3], *t[4], *t[5]);
    case Pack::weights: return format_weights(out, *t[0]);
    case Pack::qkv: return format_qkv_weights(out, *t[0], *t[1], *t[2]);
  }
}

struct PlannedBlock {
  const BlockKind* kind;
  Tensors tensors;
  uint32_t words;
};

bool extracts_tokens(int tokens_to_extract) { return tokens_to_extract == 1 || tokens_to_extract == 2; }

// Every parameter block with its variables and size, checked in record order.
std::vector<PlannedBlock> plan_blocks(const Layer& layer) {
  const Variables* vars = layer.variables();
  if (vars == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no variables");
  std::vector<const BlockKind*> kinds;
  for (const BlockKind& kind : kBlocks) kinds.push_back(&kind);
  if (extracts_tokens(layer.params()->get("tokens_to_extract"))) kinds.push_back(&kBatchNorm);

  std::vector<PlannedBlock> plan;
  for (const BlockKind* kind : kinds) {
    PlannedBlock block{kind, {}, 0};
    for (size_t i = 0; i < kind->variables.size() && kind->variables[i]; ++i)
      block.tensors[i] = vars->get(kind->variables[i]);
    block.words = packed_size(kind->pack, block.tensors);
    if (block.words > program::NpTrack::kMaxBlockWords) throw std::runtime_error("Error generating NP program");
    plan.push_back(std::move(block));
  }
  return plan;
}

// What the block's routing words need of its mapping.
struct Routing {
  hw::Ident block;
  uint8_t id = 0, next_id = 0;
  std::vector<hw::Component> previous, next;
};

Routing routing_of(const Layer& layer) {
  const auto mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  if (!mapping->nps || mapping->nps->empty()) throw std::out_of_range("The layer " + layer.get_name() + " has no ViT block");
  Routing r{mapping->nps->front().ident, mapping->id, mapping->next_id, mapping->get_prev_component(),
            mapping->get_next_components()};
  if (r.previous.empty()) throw std::runtime_error("The layer " + layer.get_name() + " has no input source");
  if (r.next.empty()) throw std::runtime_error("The layer " + layer.get_name() + " has no output destination");
  return r;
}

// Words 1 to 10: token count and embedding width, extraction and class flags, the layer number.
// The checker refuses the counts these fields cannot hold (check_vit_encoder_block_constraints).
std::vector<uint32_t> block_words(const Layer& layer, uint8_t layer_id) {
  const Shape input = first_input_shape(layer);
  const uint32_t tokens = input[1], width = input[2];
  const LayerParams& params = *layer.params();
  const int tokens_to_extract = params.get("tokens_to_extract");
  const int classes = params.get("num_classes");
  if (classes < 0) panic("%d cannot fit in a %d bits unsigned integer", classes, 10);
  const bool extract = extracts_tokens(tokens_to_extract);
  // Without extraction the block runs two class tokens when the count says so (patches + 2).
  const bool two_tokens = extract ? tokens_to_extract == 2 : tokens == 102 || tokens == 198 || tokens == 258;

  std::vector<uint32_t> w(10, 0);
  set_field(w[0], 4, 12, tokens, "ViT block word 1");
  set_field(w[0], 16, 21, tokens / 6, "ViT block word 1");
  w[0] |= uint32_t{!extract} << 28 | uint32_t{two_tokens} << 29 | uint32_t{extract} << 31;
  w[1] = 0x9FFF0000;
  w[2] = layer_id;
  w[3] = uint32_t{extract && classes != 0};
  set_field(w[3], 1, 10, static_cast<uint32_t>(classes), "ViT block word 4");
  set_field(w[3], 16, 23, static_cast<uint32_t>(classes) >> 2, "ViT block word 4");
  w[4] = 0x00130103;
  w[5] = 0x04080000;
  w[6] = 0x00000101;
  set_field(w[9], 0, 9, tokens, "ViT block word 10");
  set_field(w[9], 16, 25, width, "ViT block word 10");
  return w;
}

// Words 44 to 46: where the output goes (the first next component), where the input comes from.
std::vector<uint32_t> routing_words(const Routing& r) {
  const hw::Ident& to = r.next.front().ident;
  const ColumnRange from = column_range(r.previous);
  return {0x10080000u,
          uint32_t{to.row} | uint32_t{to.col} << 8 | one_hot_id(to.id) << 20 | uint32_t{r.next_id} << 24,
          uint32_t{from.low} | uint32_t{from.high} << 8 | one_hot_id(r.previous.front().ident.id) << 20};
}

}  // namespace

hw::Ident vit_block_ident(const Layer& layer) { return routing_of(layer).block; }

void check_vit_encoder_block_variables(const Layer& layer) { plan_blocks(layer); }

std::unique_ptr<program::Record> record_program_vit_encoder_block_layer(const Device& device, const Layer& layer) {
  const Routing routing = routing_of(layer);
  const std::vector<uint32_t> words = block_words(layer, routing.id);
  const std::vector<uint32_t> routes = routing_words(routing);
  const std::vector<PlannedBlock> plan = plan_blocks(layer);

  auto record = program::new_record(device.version());
  record->add_np_track(routing.block, kRegisters, kBlockWordsAddress, words);
  record->add_np_track(routing.block, kRegisters, kRoutingAddress, routes);
  record->add_np_track(routing.block, kRegisters, kWord59Address, std::vector<uint32_t>{0});
  for (const PlannedBlock& b : plan)
    record->add_np_block(routing.block, dma::Target{b.kind->target}, b.kind->address, b.words,
                         [&](std::span<uint32_t> out) { pack_block(b.kind->pack, out, b.tensors); });
  return record;
}

}  // namespace nuvra::v2
