// The sequences and program bytes of generated models are pinned by digests, one per sequence:
// a change of the map driver, the recorders or the serializer that alters any byte, any cut or
// any memory size fails here, naming the sequence and the first differing program word; every
// hardware sequence must also pass the end-to-end checks. Set NUVRA_PRINT_DIGESTS=1 to print the
// tables for a deliberate format change.
#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "end_to_end_rig.h"
#include "model_generator.h"
#include "rule_testing.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <string>

namespace nuvra::test {
namespace {

struct Pinned {
  uint64_t seed;
  int blocks;
  PinnedMapping pins;
};

void expect_pinned_map(const std::string& table, Model& model, const std::shared_ptr<Device>& device, const Pinned& p) {
  const std::string error = message_of([&] { model.map(device, false, nullptr); });
  for (const auto& s : model.sequences())
    if (s->backend() == BackendType::Hardware) check_hardware_sequence(*s);
  expect_pinned(table, pinned_row(p.seed, p.blocks), model.sequences(), error, p.pins);
}

// Seeds chosen so that the set holds single- and several-pass sequences, lists cut into several
// sequences, layers split over several NPs, and skip connections.
const Pinned kConvolutional[] = {
    {1, 6, {{0xed5b8568471115ca}, ""}},
    {14, 6, {{0x0969c1432daa4843, 0x829de0bd4c6c7051}, ""}},
    {24, 6, {{0x4c2d27c72d5e2d60}, ""}},
    {6, 20, {{0x2af986462c4afdd0, 0x0fb6c6c6e65da5dc}, ""}},
    {19, 20, {{0x8905fb1d7d13aed0}, ""}},
    {24, 20, {{0x487f838f958820ec}, ""}},
    {1, 60, {{0x5814bdea2ae9ba3e}, ""}},
    {8, 60, {{0x0b87eec863f9d0f7, 0xd67150bea455afe7, 0x8c846223cce1cfcb}, ""}},
    {19, 60, {{0xe8aa4e0edc6b8456, 0x3c12c3c9f92caa96, 0x4162527ebea20bbf, 0xe2654586c611b4e7}, ""}},
    {21, 60, {{0x0a9d8d5f4d75c4d2}, ""}},
    {29, 60, {{0x136ef4b1f084c8fb}, ""}},
    {2, 150, {{0xe5cb6e973fd27dd1, 0xc31bd484fb230666, 0x935c844775962f4d, 0x38e0514f1801faca, 0x70e9f7348a3519c5}, ""}},
    {11, 150, {{0xf65bea92f0649719, 0x415ce307590f35c6, 0x3288f17b4802bd5d, 0xc11edf6c378bdd30, 0x24bf8cbe03c2872d,
      0x0431740b9076be62}, ""}},
    {15, 150, {{0x639c58bdb5b67f92, 0xa0b0d163cdb00470, 0x5e32e0602e708710, 0x8e0e2627731a0722, 0x3a5052bb4a2517c3,
      0xe8a6b52b3bca84b3}, ""}},
    {19, 150, {{0x13f94ddc68ce867a, 0x6e89971539da1ec8, 0xc1d35cf6498fad3f, 0xbaef1059c2e54cc8, 0x58157d5821452c77,
      0xe39b1db3e933a867}, ""}},
    {35, 150, {{0xc15a6039c6debca1, 0x108ae00bf3e77813, 0xe7c4fc7c1e57ab6e, 0xe95863b62836c387, 0x733d384392752d92}, ""}},
};

TEST(ProgramDigest, GeneratedModelsMapToThePinnedBytes) {
  for (const auto& p : kConvolutional) expect_pinned_map("convolutional", *generated_model(p.seed, p.blocks), fpga_v2_device(), p);
}

// TNP-B layers of both kinds, split and whole, behind an HRC or plain input, in skip connections.
const Pinned kTemporal[] = {
    {2, 2, {{0x99bcb66ad7d41ba9}, ""}},
    {5, 2, {{0xcfe3723ee5341aab}, ""}},
    {8, 2, {{0xfde35d02defd5f9d}, ""}},
    {17, 4, {{0x80fc67e865121f99}, ""}},
    {21, 4, {{0xed3aa496d422bc1b}, ""}},
    {2, 8, {{0x460b6c02a505aca3}, ""}},
    {5, 8, {{0xc8aeef0f6e6e0de3}, ""}},
    {7, 8, {{0xdc29f3a696505683}, ""}},
    {12, 8, {{0xf95bae82075384db}, ""}},
    {27, 8, {{0xb1fb7ce6598e8816}, ""}},
    {30, 8, {{0xbe89cf4126064522}, ""}},
};

TEST(ProgramDigest, TemporalModelsMapToThePinnedBytes) {
  for (const auto& p : kTemporal) expect_pinned_map("temporal", *temporal_model(p.seed, p.blocks), fpga_v2_device(), p);
}

// A Stem and one to three ViT blocks drawn from the seed (the blocks column is unused),
// extracting tokens and classifying or not.
const Pinned kVit[] = {
    {1, 0, {{0xcc777f21acf81054}, ""}},
    {2, 0, {{0x7214d1c19595e3b3}, ""}},
    {3, 0, {{0x770b3f89b247c3e3}, ""}},
    {8, 0, {{0x41cb449cfefe6511}, ""}},
};

TEST(ProgramDigest, VitModelsMapToThePinnedBytes) {
  const auto device = make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2", true));
  for (const auto& p : kVit) expect_pinned_map("vit", *vit_model(p.seed), device, p);
}

}  // namespace
}  // namespace nuvra::test
