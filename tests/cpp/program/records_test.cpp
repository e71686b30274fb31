// How records pack DMA blocks into tracks, and what they refuse.
#include "program/record.h"
#include "support/error_text.h"

#include <gtest/gtest.h>

#include <numeric>

namespace nuvra::program {
namespace {

constexpr hw::Ident kNp{1, 2, 3, 0};

std::vector<uint32_t> words(size_t n) {
  std::vector<uint32_t> w(n);
  std::iota(w.begin(), w.end(), 1);
  return w;
}

std::vector<std::vector<uint32_t>> contents(const Record& r) {
  std::vector<std::vector<uint32_t>> out;
  for (const auto& t : r.tracks()) out.push_back(t.words());
  return out;
}

// Header word 0: target in bits 0-4, the extended flag in bit 7, id 8-11, channel 12-15,
// row 16-23, column 24-31; word 1: address in bits 0-15, then the count.
TEST(Record, HeaderWordsFieldByField) {
  const std::tuple<hw::Ident, uint32_t, uint16_t, size_t, uint32_t, uint32_t> rows[] = {
      {{255, 254, 15, 15}, 31, 0xFFFF, 0, 0xFFFEFF1F, 0x0000FFFF},
      {{5, 1, 0, 2}, 11, 68, 4095, 0x0501200B, 0x0FFF0044},  // the largest short block
      {{5, 1, 0, 2}, 11, 68, 4096, 0x0501208B, 0x10000044},  // the smallest extended one
  };
  for (const auto& [np, target, address, count, w0, w1] : rows) {
    Record r(versions::FPGA_v2);
    EXPECT_TRUE(r.add_np_track(np, dma::Target{target}, address, words(count)));
    const auto& w = r.tracks().back().words();
    ASSERT_EQ(w.size(), count + 2);
    EXPECT_EQ(std::make_tuple(w[0], w[1]), std::make_tuple(w0, w1)) << count;
    EXPECT_EQ(std::vector<uint32_t>(w.begin() + 2, w.end()), words(count));
  }
}

// Blocks of all NPs share the current track until 65535 words; a block that needs the
// extended header (over 4095 words) always starts a track, leaving an empty first track.
TEST(Record, PackingRules) {
  auto full = [](std::vector<size_t> last) {
    std::vector<size_t> blocks(15, 4095);  // 61455 words with their headers
    blocks.insert(blocks.end(), last.begin(), last.end());
    return blocks;
  };
  const std::pair<std::vector<size_t>, std::vector<size_t>> cases[] = {
      {full({4078}), {65535}},
      {full({4079}), {61455, 4081}},
      {full({4078, 0}), {65535, 2}},  // even a bare block goes to a new track
      {{4096, 64}, {0, 4098 + 66}},
      {{64, 5000, 5000, 10}, {66, 5002, 5002 + 12}},  // a track is never revisited
      {{65533}, {0, 65535}},
  };
  for (const auto& [blocks, tracks] : cases) {
    for (const bool planned : {false, true}) {  // planning only gives the tracks their room
      Record r(versions::FPGA_v2);
      if (planned) r.plan_blocks(blocks);
      for (size_t i = 0; i < blocks.size(); ++i)
        EXPECT_TRUE(r.add_np_track({1, 1, static_cast<uint8_t>(i % 4), 0}, dma::Target{6}, 0, words(blocks[i])));
      std::vector<size_t> sizes;
      for (const auto& t : r.tracks()) sizes.push_back(t.size());
      EXPECT_EQ(sizes, tracks) << blocks.size() << (planned ? " planned" : "");
    }
  }
}

// A refused block throws the packing error and leaves the record exactly as it was (no stray
// empty track); a count near 2^32 must not wrap the size test and get its words read.
TEST(Record, RefusedBlocksLeaveTheRecordUnchanged) {
  const uint32_t one = 7;
  const std::vector<uint32_t> too_many = words(65534), xl = words(5000);
  const std::tuple<hw::Ident, uint32_t, const uint32_t*, size_t, const char*> cases[] = {
      {kNp, 6, too_many.data(), too_many.size(), "Error generating NP program"},
      {kNp, 6, &one, 0xFFFFFFFEull, "Error generating NP program"},
      {{1, 2, 16, 0}, 6, xl.data(), xl.size(), "16 cannot fit in a 4 bits unsigned integer"},  // bound for a new track
      {kNp, 32, &one, 1, "32 cannot fit in a 5 bits unsigned integer"},
  };
  for (const std::vector<size_t>& earlier : {std::vector<size_t>{}, std::vector<size_t>{64, 5000}}) {
    Record r(versions::FPGA_v2);
    for (size_t n : earlier) r.add_np_track(kNp, dma::Target{6}, 0, words(n));
    const auto before = contents(r);
    for (const auto& [np, target, data, count, error] : cases) {
      EXPECT_EQ(test::error_text([&] { r.add_np_track(np, dma::Target{target}, 0, data, count); }), error);
      EXPECT_EQ(contents(r), before);
    }
  }
  NpTrack t;
  EXPECT_FALSE(t.append(kNp, dma::Target{6}, 0, &one, 0xFFFFFFFFull, true));
  EXPECT_FALSE(t.append(kNp, dma::Target{6}, 0, words(4096), false));  // needs the extended header
  EXPECT_TRUE(t.empty());
}

// Blocks filled in place pack like copied ones; a fill that throws leaves no trace, even when
// its block had opened a new track.
TEST(Record, BlocksFilledInPlace) {
  for (size_t count : {size_t{3}, size_t{5000}}) {
    Record copied(versions::FPGA_v2), filled(versions::FPGA_v2);
    copied.add_np_track(kNp, dma::Target{6}, 0, words(10));
    copied.add_np_track(kNp, dma::Target{6}, 4, words(count));
    filled.add_np_track(kNp, dma::Target{6}, 0, words(10));
    const auto before = contents(filled);
    EXPECT_THROW(filled.add_np_block(kNp, dma::Target{6}, 4, count,
                                     [](std::span<uint32_t>) { throw std::runtime_error("fill"); }),
                 std::runtime_error);
    EXPECT_EQ(contents(filled), before);
    filled.add_np_block(kNp, dma::Target{6}, 4, count, [&](std::span<uint32_t> out) {
      ASSERT_EQ(out.size(), count);
      std::iota(out.begin(), out.end(), 1);
    });
    EXPECT_EQ(contents(filled), contents(copied));
  }
}

// Deferred blocks pack as copied ones do, and their words, read or written out, are their
// fill's; a refused one leaves the record as it was and its fill unused.
TEST(Record, DeferredBlocksPackAndWriteAsCopiedOnes) {
  const std::vector<std::vector<size_t>> cases = {{10, 3, 64}, {64, 5000, 10, 5000}, {4095, 4095, 4095, 4095, 4095, 4095,
                                                   4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4079, 7}};
  for (const auto& blocks : cases) {
    Record copied(versions::FPGA_v2), deferred(versions::FPGA_v2);
    std::vector<Record::PlannedBlock> plan;
    for (size_t i = 0; i < blocks.size(); ++i) plan.push_back({blocks[i], i % 2 == 1});
    deferred.plan_blocks(plan);
    for (size_t i = 0; i < blocks.size(); ++i) {
      const std::vector<uint32_t> data = words(blocks[i]);
      copied.add_np_track(kNp, dma::Target{6}, static_cast<uint16_t>(i), data);
      if (i % 2 == 0)
        deferred.add_np_track(kNp, dma::Target{6}, static_cast<uint16_t>(i), data);
      else
        deferred.add_deferred_np_block(kNp, dma::Target{6}, static_cast<uint16_t>(i), data.size(),
                                       [data](std::span<uint32_t> out) { std::copy(data.begin(), data.end(), out.begin()); });
    }
    ASSERT_EQ(contents(deferred), contents(copied)) << blocks.size();
    for (size_t t = 0; t < copied.tracks().size(); ++t) {
      std::vector<uint32_t> out(deferred.tracks()[t].size());
      deferred.tracks()[t].write_to(out);
      EXPECT_EQ(out, contents(copied)[t]) << t;
    }
  }

  Record r(versions::FPGA_v2);
  r.add_deferred_np_block(kNp, dma::Target{6}, 0, 3, [](std::span<uint32_t> out) { std::fill(out.begin(), out.end(), 9); });
  const auto before = contents(r);
  bool used = false;
  const auto fill = [&used](std::span<uint32_t>) { used = true; };
  EXPECT_EQ(test::error_text([&] { r.add_deferred_np_block(kNp, dma::Target{6}, 0, 65534, fill); }),
            "Error generating NP program");
  EXPECT_EQ(test::error_text([&] { r.add_deferred_np_block(kNp, dma::Target{32}, 0, 1, fill); }),
            "32 cannot fit in a 5 bits unsigned integer");
  EXPECT_EQ(contents(r), before);
  std::vector<uint32_t> out(r.tracks()[0].size());
  r.tracks()[0].write_to(out);
  EXPECT_EQ(out, before[0]);
  EXPECT_FALSE(used);
  EXPECT_THROW(r.tracks()[0].write_to(std::span<uint32_t>(out).first(2)), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra::program
