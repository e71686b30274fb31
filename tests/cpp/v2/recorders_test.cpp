// The second generation's I/O recorder, memory sizer, skip-DMA records and the layer recorder's refusals (the
// sizer against what the recorders write is checked for every mapped model by end_to_end_rig.h).
#include "v2/io_recorder.h"
#include "v2/layer_recorder.h"
#include "v2/memory_sizer.h"
#include "v2/skipdma_records.h"
#include "v2/tnp_vit/tnp_b_recorder.h"

#include "v2_testing.h"
#include "stub_layer.h"

#include <functional>

namespace nuvra::v2 {
namespace {

using hw::Type;
using test::error_of;
using test::Params;
using test::component;
using test::list_of;
using test::StubLayer;

const MemorySizerImpl sizer;
constexpr HwVersion kVersion{0xBC, 0xA2, 0x01, 0x03};

std::vector<std::vector<uint32_t>> tracks(const program::Record& r) {
  std::vector<std::vector<uint32_t>> out;
  for (const auto& t : r.tracks()) out.push_back(t.words());
  return out;
}

hw::Component placed(Type type, NpSpace part = {}, NpSpace window = {}) {
  return component(type, {}, hw::SplitRecord{0, 8, part, window, false});
}

TEST(IoRecorder, SccAndEpgWords) {
  const test::StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const std::tuple<bool, bool, Shape, Shape, uint32_t, uint32_t, uint32_t> scc[] = {
      // input layer, narrow, input, output; words at 4, 64 and 68
      {true, false, {8, 8, 3}, {1, 1, 10}, 0x18, 3, 0},
      {false, true, {8, 8, 3}, {4, 4, 10}, 0x100019, 3, 0x00A00028},
      {true, false, {8, 8, 3}, {2, 2, 2047}, 0x18, 3, 4094 | (2047u << 20)},
      {true, false, {8, 8, 3}, {2, 2, 2048}, 0x18, 3, 4096},  // past the 11-bit channel field: left empty
      {true, false, {8, 8, 3}, {2, 600, 3000}, 0x18, 3, (600u * 3000) & 0xFFFFF},
      {true, false, {8, 8, 0x40001}, {1, 1, 1}, 0x18, 1, 0},
      {true, false, {8, 8, 0x3FFFF}, {1, 1, 1}, 0x18, 0x3FFFF, 0}};
  for (const auto& [input_layer, narrow, in, out, w4, w64, w68] : scc) {
    program::NpTrack expected;
    expected.append({}, dma::Target{8}, 4, std::vector<uint32_t>{w4}, true);
    expected.append({}, dma::Target{8}, 64, std::vector<uint32_t>{w64}, false);
    expected.append({}, dma::Target{8}, 68, std::vector<uint32_t>{w68}, false);
    const auto record = recorder.record_scc(input_layer, true, false, true, narrow, in, out);
    EXPECT_EQ(tracks(*record), std::vector<std::vector<uint32_t>>{expected.words()}) << out.to_string();
  }
  const auto stem = test::make_layer(
      LayerType::Stem,
      {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 16}}, "stem");
  EXPECT_EQ(recorder.record_epg(*stem, 0, 0, 1, false, false, true)->at(0).value, 0x20200u);  // bit 12 clear
  EXPECT_EQ(recorder.record_epg(*stem, 0, 0, 1, true, false, true)->at(0).value, 0x31200u);
  EXPECT_EQ(recorder.record_epg(*stem, 2, 5, 1, true, false, true)->at(2).value, 0x05020001u);  // columns 2 to 5
}

// input (4, 4, 5) -> conv (k3, 8) -> dw (k5) -> tconv (k3, 6) -> tdw (k4) -> dense, placed by the
// mapper with CNP parts at most 2 wide, and non-zero weights, so that no image comes out empty.
TEST(MemorySizer, DocumentedSizes) {
  test::ModelBuilder m;
  const Params conv{{"filters", 4}, {"kernel_size", 3}};
  m.input(8, 8, 3).add(LayerType::Conv2D, conv, "a").add(LayerType::Conv2D, conv, "b");
  m.add(LayerType::Conv2D, conv, "c").add(LayerType::Conv2D, conv, "d").add(LayerType::Add, {}, "e", {"a", "d"});
  m.add(LayerType::Dense1D, {{"units", 10}}, "dense", {"d"});
  // row bytes 7, rounded to 8; 8 x 3 x 8 = 192 bits are 6 words; times 4 rows
  EXPECT_EQ(sizer.get_input_memory_size(m.layer("a"), placed(Type::CNP1, {0, 0, {5, 2, 3}}, {0, 0, {7, 4, 3}}), nullptr),
            24u);
  // a's readers are 1 and 4 levels deeper: 7 frames in one pass, 2 over several; 64 output words,
  // 48 input words for a dual output
  const auto store = placed(Type::SKIP_DMA_STORE);
  EXPECT_EQ(sizer.get_external_memory_size(m.layer("a"), store, false, false), 64u * 7);
  EXPECT_EQ(sizer.get_external_memory_size(m.layer("a"), store, false, true), 64u * 2);
  EXPECT_EQ(sizer.get_external_memory_size(m.layer("a"), store, true, false), 48u * 7);
  // without "fifo_size" a TNP-B input counts one frame (5 -> 8 channels: 18 words, rounded to 64), a store none
  const auto tnp = std::make_shared<StubLayer>(LayerType::BufferTempConv, Params{{"filters", 4}}, Shape{3, 3, 5});
  EXPECT_EQ(sizer.get_input_memory_size(tnp, placed(Type::TNP_B, {0, 0, {3, 3, 5}}, {0, 0, {3, 3, 5}}), nullptr), 64u);
  EXPECT_EQ(sizer.get_external_memory_size(tnp, store, false, false), 0u);
  const auto extract = std::make_shared<StubLayer>(LayerType::ExtractToken, Params{}, Shape{4, 4, 4});
  EXPECT_EQ(error_of([&] { sizer.get_weight_memory_size(extract, placed(Type::CNP1)); }), "Invalid v2 layer type.");
  hw::Component no_split;
  no_split.type = Type::CNP2;
  EXPECT_THROW(sizer.get_input_memory_size(m.layer("a"), no_split, nullptr), std::runtime_error);
  EXPECT_THROW(sizer.get_weight_memory_size(nullptr, no_split), std::invalid_argument);
  EXPECT_THROW(sizer.get_input_memory_size(m.layer("dense"), placed(Type::FNP3), nullptr), std::invalid_argument);
}

// Skip-DMA blocks of a layer's store and load channels, from hand-made mappings on engine layers.
using Words = std::vector<uint32_t>;
using Blocks = std::vector<std::tuple<hw::Ident, uint16_t, Words>>;  // ident, address, words

const hw::Ident kStore0{1, 1, 3, 0}, kLoad1{1, 1, 3, 1}, kStore2{1, 1, 3, 2}, kStore3{1, 1, 3, 3};

hw::Component np_part(hw::Ident ident) {
  const NpSpace whole{0, 0, Shape{8, 8, 4}};
  return test::part_of(ident, whole, 0, 4);
}

// input (8, 8, 4) -> `type` layer "l" (8-bit output of 8 x 8 x 4: 2 words a row; FIFO 5 for a TNP-B)
// on NP (3, 2, 1).
struct Mapped {
  test::ModelBuilder b;
  std::shared_ptr<LayerMapping> m = std::make_shared<LayerMapping>();
  explicit Mapped(LayerType type = LayerType::Conv2D) {
    b.input(8, 8, 4).add(type, {{"filters", 4}, {"kernel_size", 3}, {"fifo_size", 5}}, "l");
    m->id = 4;
    m->nps = list_of({np_part({3, 2, 1, 0})});
    test::attach(b.layer("l"), m);
  }
  void store(hw::Ident ident, uint8_t route) {
    m->skipdma_stores = {component(hw::Type::SKIP_DMA_STORE, ident)};
    m->next_id = 7;
    m->skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{1, route, 0});
  }
  void load(std::vector<hw::Component> nps) {
    m->nps = list_of(std::move(nps));
    m->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, kLoad1)};
    m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{9, 1, 0, 0x1234});
  }
  Blocks record() const {
    program::Record r(versions::FPGA_v2);
    record_skipdma(&r, *b.layer("l"));
    Blocks out;
    for (const test::Block& block : test::blocks_of(r)) {
      EXPECT_EQ(block.header.target, 11u);
      out.emplace_back(block.header.ident, block.header.address, test::words_of(block));
    }
    return out;
  }
};

TEST(SkipDmaRecords, NpSetWordsAndChannelBases) {
  EXPECT_EQ(skipdma_np_set_word({np_part({4, 1, 0, 0}), np_part({2, 1, 0, 0}), np_part({5, 1, 1, 0})}), 0x05020001u);
  EXPECT_EQ(error_of([] { skipdma_np_set_word({}); }),
            "A skip DMA channel needs at least one NP to exchange data with");
  // one NP: column, row, one-hot id in bits 4-7 (id 4 has no bit there)
  EXPECT_EQ(skipdma_np_set_word({np_part({4, 1, 3, 0})}), 0x04010082u);
  EXPECT_EQ(skipdma_np_set_word({np_part({4, 1, 4, 0})}), 0x04010002u);
  EXPECT_EQ(skipdma_channel_base(239), 0xFF00);  // 240 is refused below
}

TEST(SkipDmaRecords, Channels) {
  Mapped dual;  // a plain and a dual-output store, normal first
  dual.store(kStore0, 0);
  dual.m->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, kStore3));
  dual.m->merge_info = std::make_unique<MergeLayerMapInfo>();
  dual.m->merge_info->dual_output = true;
  dual.m->merge_info->dual_output_channel = 0x33;
  EXPECT_EQ(std::get<0>(dual.record().front()), kStore0);
  EXPECT_EQ(dual.record().back(), (std::tuple{kStore3, uint16_t{0x1326}, Words{0x3300}}));
  Mapped tnp(LayerType::BufferTempConv);  // the load preamble, the FIFO store with the sources' NPs, the load
  tnp.load({np_part({2, 1, 0, 0})});
  tnp.m->prev_components = {list_of({np_part({2, 1, 0, 0})})};
  tnp.m->skipdma_stores = {component(hw::Type::SKIP_DMA_STORE, kStore0)};
  tnp.m->stores_are_inputs = true;
  tnp.m->skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{5, 1, 0});
  tnp.m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{7, 5, 0, 0});
  const Blocks fifo = tnp.record();
  EXPECT_EQ(fifo.at(3), (std::tuple{kStore0, uint16_t{0x22}, Words{2, 6}}));
  EXPECT_EQ(fifo.at(4), (std::tuple{kStore0, uint16_t{0x3C}, Words{5, 1, 8}}));
  EXPECT_EQ(fifo.at(8), (std::tuple{kLoad1, uint16_t{0x103}, Words{0x00050002}}));
  EXPECT_TRUE(Mapped().record().empty());
}

TEST(SkipDmaRecords, RefusalsLeaveTheRecordUnchanged) {
  const std::pair<std::function<void(Mapped&)>, std::string> cases[] = {
      {[](Mapped& c) { c.load({np_part({2, 1, 0, 0}), component(hw::Type::CNP1, {3, 1, 0, 0})}); },
       "Merging layer has no CNPs."},
      {[](Mapped& c) { c.load({np_part({2, 1, 0, 0})}); c.m->skipdma_load_link.reset(); },
       "The layer l has a skip DMA load without its link record"},
      {[](Mapped& c) { c.m->skipdma_store_info.reset(); }, "The layer l has a skip DMA store without its store record"},
      {[](Mapped& c) { c.store({1, 1, 3, 240}, 1); }, "Skip DMA channel 240 has no register address"},
      {[](Mapped& c) { c.store(kStore2, 1); c.m->nps.reset(); }, "The skip DMA store of layer l has no NP to send to"},
  };
  for (const auto& [change, message] : cases) {
    Mapped conv;
    conv.store(kStore0, 0);  // a valid store comes first, so a late refusal would leave it behind
    change(conv);
    program::Record r(versions::FPGA_v2);
    r.add_np_track({9, 9, 0, 0}, dma::Target{7}, 0, Words{1, 2, 3});
    EXPECT_EQ(error_of([&] { record_skipdma(&r, *conv.b.layer("l")); }), message);
    EXPECT_EQ(test::blocks_of(r).size(), 1u) << message;
  }
}

// Types without a recorder, learning, and a TNP-B recorder handed the other TNP-B kind or a mapped Conv2D.
TEST(LayerRecorder, Refusals) {
  const test::StubDevice device(kVersion);
  const LayerRecorderImpl recorder(&device, nullptr);
  const StubLayer extract(LayerType::ExtractToken, {}, {4, 4, 4});
  const StubLayer recurrent(LayerType::StatefulRecurrentLegacy, {}, {4, 4, 4});
  const Mapped conv, tnp(LayerType::BufferTempConv), dw(LayerType::DepthwiseBufferTempConv);
  const auto record = [&](const Layer& l) { recorder.record_layer(l, l, nullptr, false, false, {}, false, false); };
  const auto tnp_b = [&](bool depthwise, const Mapped& m) {
    (depthwise ? record_program_depthwise_buffer_temp_conv_layer : record_program_buffer_temp_conv_layer)(
        device, *m.b.layer("l"), nullptr, false, false, {}, false, false);
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { record(extract); }, "Unsupported layer type: 18"},
      {[&] { record(recurrent); }, "Unsupported layer type: 23"},
      {[&] { recorder.record_learning_layer(extract, false); }, "Learning not implemented on v2."},
      {[&] { recorder.sync_learning_vars(conv.b.layer("l")); }, "Learning not implemented on v2."},
      {[&] { tnp_b(false, dw); }, "Invalid layer type for TNP-B recording."},
      {[&] { tnp_b(true, tnp); }, "Invalid layer type for TNP-B recording."},
      {[&] { tnp_b(false, conv); }, "Invalid layer type for TNP-B recording."},
  };
  for (const auto& [run, message] : cases) EXPECT_EQ(error_of(run), message);
}

}  // namespace
}  // namespace nuvra::v2
