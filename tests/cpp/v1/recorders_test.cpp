// The first generation's I/O recorder: packet types, SCC and event-generator set-up; the layer
// recorder's and memory sizer's refusals. The layer recorder's dispatch and the memory sizer's
// CNP weight and external figures are checked in end_to_end_test, its FNP figures in fnp_test.
#include "v1/io_recorder.h"
#include "v1/layer_recorder.h"
#include "v1/memory_sizer.h"

#include "support/error_text.h"
#include "v1_layers.h"
#include "v2/stub_layer.h"
#include "v2/v2_testing.h"

#include <type_traits>
#include <utility>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;

const StubDevice kVlq(versions::VLQ7300_v1), kQrix2(versions::Qrix_v2);

// Packet types are signed bytes, as the program information's IoType.
static_assert(std::is_same_v<decltype(std::declval<const IoRecorderImpl&>().get_input_type(std::declval<const Layer&>())), int8_t>);
static_assert(std::is_same_v<decltype(std::declval<const IoRecorderImpl&>().get_output_type(std::declval<const Layer&>(), 0)),
                             int8_t>);

TEST(V1Recorders, PacketTypes) {
  const IoRecorderImpl vlq(&kVlq), qrix(&kQrix2);
  OneLayer dense(LayerType::FullyConnected, {{"units", 10}}, {1, 1, 300000});  // flat, not after a CNP
  OneLayer wide(LayerType::FullyConnected, {{"units", 2048}}, {2, 1, 300000});
  OneLayer conv(LayerType::Convolutional, kConv3);
  OneLayer quiet(LayerType::Convolutional, with(kConv3, {{"activation", 0}}));
  OneLayer hrc(LayerType::InputConvolutional, kHrc3);
  StubLayer dense1d(LayerType::Dense1D, {{"units", 4}}, {4, 4, 4});

  // Off Qrix_v2 an input of fewer than 2^18 channels is type 0 whatever the layer.
  using Types = std::vector<int>;
  EXPECT_EQ((Types{vlq.get_input_type(dense1d), vlq.get_input_type(*dense), vlq.get_input_type(*wide),
                   qrix.get_input_type(*conv), qrix.get_input_type(*hrc), qrix.get_input_type(*dense)}),
            (Types{0, 1, 2, 2, 0, 1}));
  // Output types: 2048 channels (wide) are not framed, a layer without activation (quiet) neither.
  EXPECT_EQ((Types{vlq.get_output_type(*dense, 0), vlq.get_output_type(*dense, 1), vlq.get_output_type(*wide, 0),
                   vlq.get_output_type(*conv, 0), vlq.get_output_type(*quiet, 0), qrix.get_output_type(*dense, 0),
                   qrix.get_output_type(*conv, 0), vlq.get_output_type(*hrc, 0), qrix.get_output_type(*hrc, 0)}),
            (Types{0, 1, 1, 0, 2, 1, 2, 3, 3}));
  EXPECT_EQ(message_of([&] { qrix.get_input_type(dense1d); }), "Unsupported layer type");
  EXPECT_EQ(message_of([&] { vlq.get_output_type(dense1d, 0); }), "Unsupported layer type");
}

TEST(V1Recorders, SccAndEventGenerator) {
  const IoRecorderImpl io(&kVlq);
  const auto scc = [&](bool f1, bool f2, bool f3, bool f4, Shape out) {
    std::vector<std::pair<uint16_t, uint32_t>> regs;
    const auto record = io.record_scc(f1, f2, f3, f4, true, {8, 8, 0x4FFFF}, out);
    EXPECT_EQ(record->version(), versions::VLQ7300_v1);
    for (const Block& b : blocks_of(*record)) {
      EXPECT_EQ(b.header.target, 8u);
      EXPECT_EQ(b.header.ident, (hw::Ident{0, 0, 0, 0}));
      EXPECT_EQ(b.data.size(), 1u);
      regs.emplace_back(b.header.address, b.data[0]);
    }
    return regs;
  };
  using Regs = std::vector<std::pair<uint16_t, uint32_t>>;
  EXPECT_EQ(scc(true, false, false, false, {4, 4, 16}), (Regs{{4, 0}}));
  EXPECT_EQ(scc(false, true, true, true, {4, 4, 16}), (Regs{{4, 0x119}, {64, 0x0FFFF}, {68, 64 | 16 << 20}}));
  EXPECT_EQ(scc(true, false, false, true, {1, 1, 100}), (Regs{{4, 8}, {68, 0}}));
  EXPECT_EQ(scc(true, false, false, true, {3, 5, 0x900}),
            (Regs{{4, 8}, {68, 5 * 0x900 | 0x100u << 20}}));  // channels keep 11 bits

  OneLayer dense(LayerType::FullyConnected, {{"units", 10}}, {1, 1, 64});
  OneLayer conv(LayerType::Convolutional, kConv3);
  using Epg = std::vector<epg::epg_track>;
  EXPECT_EQ(*io.record_epg(*dense, 2, 5, 1, false, true, true),
            (Epg{{0, 0x21202}, {12, 0x012C0010}, {16, 0x05020001}, {20, 0x100}, {24, 0x01FE0001}, {28, 0x027FFFFF}}));
  EXPECT_EQ(*io.record_epg(*conv, 1, 3, 3, true, false, false),
            (Epg{{0, 0x20200}, {12, 0x10}, {16, 0x03010001}, {20, 0x300}, {24, 0x03FE0001}, {28, 0x027FFFFF}}));
}

// A second-generation layer reaches neither the recorders nor the sizer.
TEST(V1Recorders, SecondGenerationLayersAreRefused) {
  const LayerRecorderImpl recorder(&kVlq, nullptr);
  const MemorySizerImpl sizer;
  const auto conv =
      std::make_shared<StubLayer>(LayerType::Conv2D, Params{{"filters", 4}, {"kernel_size", 3}}, Shape{8, 8, 4});
  const hw::Component cnp{hw::Type::CNP1, {2, 1, 0, 0}, hw::SplitRecord{}, {}};
  EXPECT_EQ(message_of([&] { recorder.record_layer(*conv, *conv, nullptr, false, false, {}, false, false); }),
            "Unsupported layer type: 14");
  EXPECT_EQ(error_text<std::invalid_argument>([&] { sizer.get_input_memory_size(conv, cnp, nullptr); }),
            "Invalid v1 layer type.");
  EXPECT_EQ(error_text<std::invalid_argument>([&] { sizer.get_weight_memory_size(conv, cnp); }),
            "Invalid v1 layer type.");
}

}  // namespace
}  // namespace nuvra::v1
