#include "v2/skipdma_records.h"

#include "backend/layer_mapping.h"
#include "v2/layer_input.h"
#include "v2/np_registers.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint16_t kSharedEnableAddress = 0x1001;
constexpr uint8_t kLastChannel = 239;

// The blocks of one channel, all for the channel's own ident.
struct ChannelBlocks {
  hw::Ident ident;
  SkipDmaRegs regs;
};

uint16_t lower_base(uint8_t channel) {
  skipdma_channel_base(channel);  // same range as the upper block
  return static_cast<uint16_t>(channel * 256u);
}

std::shared_ptr<const LayerMapping> mapping_of(const Layer& layer) {
  auto mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  return mapping;
}

std::vector<hw::Component> own_nps(const LayerMapping& mapping) {
  return mapping.nps ? *mapping.nps : std::vector<hw::Component>{};
}

uint32_t tnp_b_fifo_size(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no parameters");
  return static_cast<uint32_t>(params->get("fifo_size"));
}

void emit(program::Record* record, const ChannelBlocks& channel) {
  for (const auto& [address, words] : channel.regs) record->add_np_track(channel.ident, kSkipDmaTarget, address, words);
}

// The store channel's blocks; nullopt when the mapping has no such store.
std::optional<ChannelBlocks> plan_store(const Layer& layer, const LayerMapping& mapping, bool dual_output, bool tnp_b,
                                        uint32_t fifo) {
  const std::optional<hw::Component> store =
      dual_output ? mapping.skipdma_store_dual_output() : mapping.skipdma_store();
  if (!store) return std::nullopt;
  const uint8_t c = store->ident.channel;

  uint8_t nxt = 0;
  uint8_t route = 0;
  if (tnp_b) {
    nxt = static_cast<uint8_t>(mapping.id - 1);
  } else if (dual_output) {
    // The dual-output index exists only with a merge record.
    nxt = mapping.merge_info->dual_output_channel;
  } else {
    nxt = mapping.next_id;
  }
  if (!dual_output) {
    if (!mapping.skipdma_store_info)
      throw std::runtime_error("The layer " + layer.get_name() + " has a skip DMA store without its store record");
    route = mapping.skipdma_store_info->flag;
  }

  ChannelBlocks out{store->ident, {}};
  const uint16_t upper = skipdma_channel_base(c);
  const uint16_t lower = lower_base(c);
  out.regs.emplace(kSharedEnableAddress, std::vector<uint32_t>{0});
  out.regs.emplace(upper + 0x26, std::vector<uint32_t>{((uint32_t{nxt} << 8) & 0xFFFF) | (route | uint32_t{tnp_b})});
  if (route != 0) {
    const std::vector<hw::Component> partners = tnp_b ? mapping.get_prev_component() : own_nps(mapping);
    if (partners.empty())
      throw std::runtime_error("The skip DMA store of layer " + layer.get_name() + " has no NP to send to");
    out.regs.emplace(upper + 0x24, std::vector<uint32_t>{skipdma_np_set_word(partners)});
  }
  out.regs.emplace(lower + 0x22, std::vector<uint32_t>{2, tnp_b ? ((fifo + 1) & 0xFFF) : 2u});
  out.regs.emplace(lower + 0x1C, std::vector<uint32_t>{0x20});

  const SkipDmaStoreExtent kept = skipdma_store_extent(layer, dual_output, tnp_b);
  std::vector<uint32_t> extent(3, 0);
  set_field(extent[0], 0, 3, fifo, "skip-DMA store register 0x3C word 0");
  set_field(extent[1], 0, 8, kept.row_words, "skip-DMA store register 0x3C word 1");
  set_field(extent[2], 0, 20, kept.rows * kept.row_words, "skip-DMA store register 0x3C word 2");
  out.regs.emplace(lower + 0x3C, std::move(extent));
  return out;
}

std::optional<ChannelBlocks> plan_load(const Layer& layer, const LayerMapping& mapping, bool tnp_b, uint32_t fifo) {
  const std::optional<hw::Component> load = mapping.skipdma_load();
  if (!load) return std::nullopt;
  const std::vector<hw::Component> nps = own_nps(mapping);
  if (nps.empty() || std::any_of(nps.begin(), nps.end(), [](const hw::Component& c) { return !c.split; }))
    throw std::invalid_argument("Merging layer has no CNPs.");
  if (!mapping.skipdma_load_link)
    throw std::runtime_error("The layer " + layer.get_name() + " has a skip DMA load without its link record");
  const SkipDmaLoadLinkInfo& link = *mapping.skipdma_load_link;
  const uint32_t v = mapping.merge_info ? (mapping.merge_info->merge_channel & 0xFF) : mapping.id;

  const uint8_t c = load->ident.channel;
  const uint16_t upper = skipdma_channel_base(c);
  const uint16_t lower = lower_base(c);
  ChannelBlocks out{load->ident, {}};
  out.regs.emplace(kSharedEnableAddress, std::vector<uint32_t>{0});
  out.regs.emplace(upper + 4, std::vector<uint32_t>{skipdma_np_set_word(nps), v << 8,
                                                    (v << 24) | (v << 16) | (uint32_t{link.channel} << 8) | 1, 0});
  uint32_t offset = 0;
  set_field(offset, 0, 11, link.sram_offset, "skip-DMA load register 0x2B");
  out.regs.emplace(upper + 0x2B, std::vector<uint32_t>{offset});
  if (tnp_b) {
    out.regs.emplace(lower + 3, std::vector<uint32_t>{((fifo & 0xFF) << 16) | 2});
  } else {
    out.regs.emplace(lower + 0x28, std::vector<uint32_t>{2});
    out.regs.emplace(lower + 3, std::vector<uint32_t>{0x00020002});
  }
  return out;
}

void check_record(const program::Record* record) {
  if (record == nullptr) throw std::invalid_argument("No record to add the skip DMA blocks to");
}

}  // namespace

SkipDmaStoreExtent skipdma_store_extent(const Layer& layer, bool dual_output, bool tnp_b) {
  // What the channel keeps: the layer's input for a dual output or a TNP-B FIFO, else its output.
  const bool keeps_input = dual_output || tnp_b;
  const Shape shape = keeps_input ? first_input_shape(layer) : layer.output_dimensions();
  const uint64_t bits = keeps_input ? layer.input_bits() : layer.output_bits();
  if (tnp_b) return {(uint64_t{shape[2]} * bits + 31) >> 5, shape[0]};  // words per pixel, pixels per row
  return {(uint64_t{shape[0]} * bits + 31) >> 5, shape[1]};           // words per row, rows
}

uint16_t skipdma_channel_base(uint8_t channel) {
  if (channel > kLastChannel)
    throw std::runtime_error("Skip DMA channel " + std::to_string(channel) + " has no register address");
  return static_cast<uint16_t>((channel + 16u) * 256u);
}

uint32_t skipdma_np_set_word(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::runtime_error("A skip DMA channel needs at least one NP to exchange data with");
  if (components.size() == 1) {
    const hw::Ident& np = components.front().ident;
    // The one-hot id sits in bits 4-7; ids above 3 leave it empty.
    const uint32_t one_hot = np.id < 4 ? (0x10u << np.id) : 0u;
    return uint32_t{np.col} << 24 | uint32_t{np.row} << 16 | one_hot | 2;
  }
  const auto [lo, hi] =
      std::minmax_element(components.begin(), components.end(),
                          [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return uint32_t{hi->ident.col} << 24 | uint32_t{lo->ident.col} << 16 | 1;
}

void record_skipdma_store(program::Record* record, const Layer& layer, bool dual_output, bool tnp_b,
                          uint32_t fifo_size) {
  check_record(record);
  const auto mapping = mapping_of(layer);
  if (auto blocks = plan_store(layer, *mapping, dual_output, tnp_b, fifo_size)) emit(record, *blocks);
}

void record_skipdma(program::Record* record, const Layer& layer) {
  check_record(record);
  const auto mapping = mapping_of(layer);
  const bool tnp_b = layer.is_kind(kind_code::kTnpB);
  if (mapping->skipdma_stores.empty() && mapping->skipdma_loads.empty()) return;
  const uint32_t fifo = tnp_b ? tnp_b_fifo_size(layer) : 0;

  // Everything is planned before the first block is added.
  std::optional<ChannelBlocks> preamble;
  if (tnp_b) {
    const std::optional<hw::Component> load = mapping->skipdma_load();
    if (!load) throw std::runtime_error("The TNP-B layer " + layer.get_name() + " has no skip DMA load");
    preamble = ChannelBlocks{load->ident, {}};
    preamble->regs.emplace(lower_base(load->ident.channel), std::vector<uint32_t>{0x83000601});
  }
  const auto store = plan_store(layer, *mapping, false, tnp_b, fifo);
  const auto dual_store = plan_store(layer, *mapping, true, tnp_b, fifo);
  const auto load = plan_load(layer, *mapping, tnp_b, fifo);

  if (preamble) {
    // The preamble goes out twice, as two identical blocks.
    emit(record, *preamble);
    emit(record, *preamble);
  }
  if (store) emit(record, *store);
  if (dual_store) emit(record, *dual_store);
  if (load) emit(record, *load);
}

}  // namespace nuvra::v2
