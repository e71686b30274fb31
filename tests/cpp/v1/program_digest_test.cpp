// The sequences and program bytes of generated first-generation models are pinned by digests,
// one per sequence, as the second generation's are: a change that alters any byte, cut or memory
// size fails here, naming the sequence and the first differing program word. Set
// NUVRA_PRINT_DIGESTS=1 to print the table for a deliberate format change.
#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "support/program_digest.h"
#include "v1_model_generator.h"
#include "v2/rule_testing.h"

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

// Seeds chosen so that the set holds HRC and plain inputs, split layers, several passes, strides
// of 2, pooling, heads without activation and learning heads.
const Pinned kPinned[] = {
    {1, 2, {{0xbe56e0664c09caf4}, ""}},
    {5, 2, {{0xcd640ef66cdb480c}, ""}},
    {13, 2, {{0xf49ffc3c926d4a1b}, ""}},
    {16, 2, {{0xbd799dedfa167eaa}, ""}},
    {19, 2, {{0xd50acfaaea521428, 0x0b29ae560f76ca99}, ""}},
    {20, 2, {{0x780a479b9a98779b}, ""}},
    {25, 2, {{0x56ab4d293eb9a623}, ""}},
    {3, 5, {{0x0daa8e44d80dc27a}, ""}},
    {9, 5, {{0x85b92723d09a3965}, ""}},
    {12, 5, {{0xa18ffdbfb39f31fd}, ""}},
    {22, 5, {{0x7b07c574c6a60f4c}, ""}},
    {1, 12, {{0x671004f2fc8b5125}, ""}},
    {23, 12, {{0x3ed411b6d097198f}, ""}},
    {1, 30, {{0xfa71baf638819ad3}, ""}},
    {7, 30, {{0xc3e302d916ce9e78}, ""}},
    {19, 30, {{0x5c01ce57110c1c32}, ""}},
    {20, 30, {{0x480a63e6788e540c}, ""}},
};

TEST(V1ProgramDigest, GeneratedModelsMapToThePinnedBytes) {
  const auto device = make_virtual_device(versions::VLQ7300_v1, discovered_mesh("vlq7300_v1"));
  for (const auto& p : kPinned) {
    auto model = generated_v1_model(p.seed, p.blocks);
    const std::string error = message_of([&] { model->map(device, false, nullptr); });
    expect_pinned("v1", pinned_row(p.seed, p.blocks), model->sequences(), error, p.pins);
  }
}

}  // namespace
}  // namespace nuvra::test
