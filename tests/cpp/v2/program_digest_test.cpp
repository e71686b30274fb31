// The sequences and program bytes of generated models are pinned by digests: a change of the
// map driver, the recorders or the serializer that alters any byte, any cut or any memory size
// fails here; every hardware sequence must also pass the end-to-end checks. Set
// NUVRA_PRINT_DIGESTS=1 to print the table for a deliberate format change.
#include "end_to_end_rig.h"
#include "model_generator.h"
#include "rule_testing.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nuvra::test {
namespace {

struct Pinned {
  uint64_t seed;
  int blocks;
  uint64_t digest;
};

// Seeds chosen so that the set holds single- and several-pass sequences, lists cut into several
// sequences, layers split over several NPs, and skip connections.
constexpr Pinned kPinned[] = {
    {1, 6, 0x63997a30c208063e},    {14, 6, 0xb9545ae60b1e819d},  {24, 6, 0xcee7f77217071a20},
    {6, 20, 0xff231aadc28825d3},   {19, 20, 0xe8d8831b88720b70}, {24, 20, 0xb8cd78fb164ff104},
    {1, 60, 0x94f8f2e6eb27775a},   {8, 60, 0x11cf276974fe6eb5},  {19, 60, 0x7cf0b1ca898b3b3f},
    {21, 60, 0x7f7c0af09f1d70d6},  {29, 60, 0x8a52c55bb1a18281}, {2, 150, 0x8124df52eb20dce1},
    {11, 150, 0x1e99e5a6bce0d3e3},  // refused: too many layers for skip-DMA channel numbers
    {15, 150, 0x57f457f07d769dc1}, {19, 150, 0x4daa9343a95041aa}, {35, 150, 0x7ab0b3cb1c8aa07f},
};

TEST(ProgramDigest, GeneratedModelsMapToThePinnedBytes) {
  const bool print = std::getenv("NUVRA_PRINT_DIGESTS") != nullptr;
  for (const auto& p : kPinned) {
    auto model = generated_model(p.seed, p.blocks);
    const std::string error = message_of([&] { model->map(fpga_v2_device(), false, nullptr); });
    for (const auto& s : model->sequences())
      if (s->backend() == BackendType::Hardware) check_hardware_sequence(*s);
    const uint64_t digest = mapping_digest(model->sequences(), error);
    if (print)
      std::printf("    {%" PRIu64 ", %d, 0x%016" PRIx64 "},  // %zu sequence(s)%s\n", p.seed, p.blocks, digest,
                  model->sequences().size(), error.empty() ? "" : (", " + error).c_str());
    EXPECT_EQ(digest, p.digest) << "seed " << p.seed << ", " << p.blocks << " blocks";
  }
}

}  // namespace
}  // namespace nuvra::test
