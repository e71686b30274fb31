#include "program/record.h"
#include "support/program_tools.h"

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::program {
namespace {

using test::decode_blocks;
using test::decode_header;
using test::field;

constexpr hw::Ident kNp{1, 2, 3, 0};
constexpr dma::Target T(uint32_t v) { return static_cast<dma::Target>(v); }
constexpr uint32_t kMaxShort = 4095;  // largest block without the extended header

std::vector<uint32_t> words(size_t n, uint32_t first = 1) {
  std::vector<uint32_t> w(n);
  std::iota(w.begin(), w.end(), first);
  return w;
}

std::vector<size_t> track_sizes(const Record& r) {
  std::vector<size_t> s;
  for (const auto& t : r.tracks()) s.push_back(t.size());
  return s;
}

// Copies a record's observable content, to compare before and after a refused block.
struct Snapshot {
  std::vector<std::vector<uint32_t>> tracks;
  bool operator==(const Snapshot&) const = default;
};
Snapshot snapshot(const Record& r) {
  Snapshot s;
  for (const auto& t : r.tracks()) s.tracks.push_back(t.words());
  return s;
}

void expect_error_generating(Record& r, size_t n) {
  try {
    r.add_np_track(kNp, T(6), 0, words(n));
    FAIL() << "no exception for " << n << " words";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error generating NP program");
  }
}

TEST(Record, NewRecordIsEmptyAndKeepsItsVersion) {
  auto r = new_record(versions::FPGA_v2);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->tracks().empty());
  EXPECT_FALSE(r->fnp2_filters_track().has_value());
  EXPECT_EQ(r->version(), versions::FPGA_v2);
}

TEST(Record, HeaderFieldsDecodeAsWritten) {
  struct Case {
    hw::Ident np;
    uint32_t target;
    uint16_t address;
    size_t count;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, 8, 68, 1},          // SCC word
      {{1, 2, 3, 0}, 7, 0, 64},          // register block
      {{255, 254, 15, 15}, 31, 0xFFFF, 0},
      {{5, 1, 0, 2}, 11, 0, kMaxShort},  // largest short block
      {{3, 4, 1, 0}, 23, 2560, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("target " + std::to_string(c.target) + " count " + std::to_string(c.count));
    Record r(versions::FPGA_v2);
    const auto data = words(c.count, 100);
    EXPECT_TRUE(r.add_np_track(c.np, T(c.target), c.address, data));
    ASSERT_EQ(r.tracks().size(), 1u);
    const auto& w = r.tracks()[0].words();
    ASSERT_EQ(w.size(), c.count + 2);
    EXPECT_EQ(field(w[0], 0, 4), c.target);
    EXPECT_EQ(field(w[0], 5, 7), 0u);  // not extended, bits 5-6 unused
    EXPECT_EQ(field(w[0], 8, 11), c.np.id);
    EXPECT_EQ(field(w[0], 12, 15), c.np.channel);
    EXPECT_EQ(field(w[0], 16, 23), c.np.row);
    EXPECT_EQ(field(w[0], 24, 31), c.np.col);
    EXPECT_EQ(field(w[1], 0, 15), c.address);
    EXPECT_EQ(field(w[1], 16, 31), c.count);
    EXPECT_EQ(std::vector<uint32_t>(w.begin() + 2, w.end()), data);
  }
}

TEST(Record, BareBlockIsTwoHeaderWords) {
  Record r(versions::FPGA_v2);
  r.add_np_track(kNp, T(8), 32, {});
  ASSERT_EQ(track_sizes(r), std::vector<size_t>{2});
  const auto h = decode_header(r.tracks()[0].words()[0], r.tracks()[0].words()[1]);
  EXPECT_EQ(h.count, 0u);
  EXPECT_EQ(h.address, 32u);
  EXPECT_EQ(h.target, 8u);
}

TEST(Record, BlocksOfAllNpsShareTheCurrentTrackInCallOrder) {
  Record r(versions::FPGA_v2);
  const hw::Ident a{1, 1, 0, 0}, b{2, 1, 1, 0};
  r.add_np_track(a, T(7), 0, words(64));
  r.add_np_track(a, T(1), 0, words(30));
  r.add_np_track(b, T(7), 0, words(64));
  ASSERT_EQ(r.tracks().size(), 1u);
  const auto blocks = decode_blocks(r.tracks()[0].words());
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].header.ident, a);
  EXPECT_EQ(blocks[1].header.target, 1u);
  EXPECT_EQ(blocks[2].header.ident, b);
  EXPECT_EQ(blocks[2].offset, 66u + 32u);
}

// 15 short blocks of 4095 words fill 61455 words; the last block completes the track.
TEST(Record, TrackTakesExactly65535Words) {
  struct Case {
    size_t last;
    std::vector<size_t> sizes;
  };
  const Case cases[] = {
      {4078, {65535}},              // exactly full
      {4079, {61455, 4081}},        // one word more: new track
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last);
    Record r(versions::FPGA_v2);
    for (int i = 0; i < 15; ++i) r.add_np_track(kNp, T(6), 0, words(kMaxShort));
    EXPECT_TRUE(r.add_np_track(kNp, T(6), 0, words(c.last)));
    EXPECT_EQ(track_sizes(r), c.sizes);
    for (const auto& t : r.tracks()) EXPECT_NO_THROW(decode_blocks(t.words()));
  }
}

TEST(Record, FullTrackSendsEvenABareBlockToANewTrack) {
  Record r(versions::FPGA_v2);
  for (int i = 0; i < 15; ++i) r.add_np_track(kNp, T(6), 0, words(kMaxShort));
  r.add_np_track(kNp, T(6), 0, words(4078));
  r.add_np_track(kNp, T(7), 0, {});
  EXPECT_EQ(track_sizes(r), (std::vector<size_t>{65535, 2}));
}

TEST(Record, FirstExtendedBlockLeavesAnEmptyTrackZero) {
  Record r(versions::FPGA_v2);
  EXPECT_TRUE(r.add_np_track(kNp, T(6), 0, words(kMaxShort + 1)));
  ASSERT_EQ(track_sizes(r), (std::vector<size_t>{0, 4098}));
  const auto& w = r.tracks()[1].words();
  EXPECT_EQ(field(w[0], 7, 7), 1u);
  EXPECT_EQ(field(w[1], 16, 31), kMaxShort + 1);

  // An ordinary block that fits follows it in the same track.
  r.add_np_track(kNp, T(7), 0, words(64));
  ASSERT_EQ(track_sizes(r), (std::vector<size_t>{0, 4098 + 66}));
  const auto blocks = decode_blocks(r.tracks()[1].words());
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(blocks[0].header.xl);
  EXPECT_FALSE(blocks[1].header.xl);
}

TEST(Record, EveryExtendedBlockStartsATrack) {
  Record r(versions::FPGA_v2);
  r.add_np_track(kNp, T(7), 0, words(64));
  r.add_np_track(kNp, T(6), 0, words(5000));
  r.add_np_track(kNp, T(6), 0, words(5000));  // track 1 has room, but it is never revisited
  r.add_np_track(kNp, T(7), 0, words(10));
  EXPECT_EQ(track_sizes(r), (std::vector<size_t>{66, 5002, 5002 + 12}));
}

TEST(Record, LargestExtendedBlockFillsAFreshTrack) {
  Record r(versions::FPGA_v2);
  r.add_np_track(kNp, T(6), 0, words(65533));
  EXPECT_EQ(track_sizes(r), (std::vector<size_t>{0, 65535}));
}

// A refused block throws the packing error and leaves the record exactly as it was
// (no stray empty track is left behind).
TEST(Record, OversizedBlockThrowsAndKeepsTheRecord) {
  {
    Record r(versions::FPGA_v2);
    expect_error_generating(r, 65534);
    EXPECT_TRUE(r.tracks().empty());
  }
  {
    Record r(versions::FPGA_v2);
    r.add_np_track(kNp, T(7), 0, words(64));
    r.add_np_track(kNp, T(6), 0, words(5000));
    const Snapshot before = snapshot(r);
    expect_error_generating(r, 70000);
    EXPECT_EQ(snapshot(r), before);
    // The record stays usable.
    r.add_np_track(kNp, T(7), 0, words(3));
    EXPECT_EQ(track_sizes(r), (std::vector<size_t>{66, 5002 + 5}));
  }
}

// A count near 2^32 must not wrap the size test and get accepted (it would then be read).
TEST(Record, HugeCountIsRefusedWithoutReadingTheWords) {
  const uint32_t one = 7;
  NpTrack t;
  EXPECT_FALSE(t.append(kNp, T(6), 0, &one, 0xFFFFFFFEull, true));
  EXPECT_FALSE(t.append(kNp, T(6), 0, &one, 0xFFFFFFFFull, true));
  EXPECT_TRUE(t.empty());

  Record r(versions::FPGA_v2);
  EXPECT_THROW(r.add_np_track(kNp, T(6), 0, &one, 0xFFFFFFFEull), std::runtime_error);
  EXPECT_TRUE(r.tracks().empty());
}

TEST(Record, RefusedHeaderFieldLeavesTheRecordUnchanged) {
  Record r(versions::FPGA_v2);
  r.add_np_track(kNp, T(7), 0, words(4));
  const Snapshot before = snapshot(r);
  const hw::Ident bad_id{1, 2, 16, 0};
  EXPECT_THROW(r.add_np_track(bad_id, T(7), 0, words(4)), std::runtime_error);
  EXPECT_THROW(r.add_np_track(kNp, T(32), 0, words(4)), std::runtime_error);
  EXPECT_EQ(snapshot(r), before);

  // Also when the block was bound for a new track.
  Record fresh(versions::FPGA_v2);
  EXPECT_THROW(fresh.add_np_track(bad_id, T(6), 0, words(5000)), std::runtime_error);
  EXPECT_TRUE(fresh.tracks().empty());
}

TEST(NpTrack, AppendRefusesWithoutChange) {
  NpTrack t;
  EXPECT_FALSE(t.append(kNp, T(6), 0, words(kMaxShort + 1), false));  // needs xl
  EXPECT_TRUE(t.empty());
  EXPECT_TRUE(t.append(kNp, T(6), 0, words(kMaxShort + 1), true));
  EXPECT_FALSE(t.append(kNp, T(6), 0, words(65535 - 4098 - 1), false));  // one word too many
  EXPECT_EQ(t.size(), 4098u);
  EXPECT_TRUE(t.append(kNp, T(6), 0, words(2), false));
}

TEST(NpTrack, PointerAndVectorFormsWriteTheSameWords) {
  const auto data = words(300, 9);
  NpTrack a, b;
  ASSERT_TRUE(a.append(kNp, T(1), 4, data, false));
  ASSERT_TRUE(b.append(kNp, T(1), 4, data.data(), data.size(), false));
  EXPECT_EQ(a.words(), b.words());
}

TEST(Record, Fnp2FiltersTrackIsReplaced) {
  Record r(versions::Qrix_v2);
  std::vector<uint32_t> first{1, 2, 3};
  r.add_fnp2_filters_track({1, 1, 0, 0}, first);
  EXPECT_EQ(first.size(), 3u);  // copied, not taken
  r.add_fnp2_filters_track({2, 3, 1, 0}, std::vector<uint32_t>{7, 8});
  ASSERT_TRUE(r.fnp2_filters_track().has_value());
  EXPECT_EQ(r.fnp2_filters_track()->np, (hw::Ident{2, 3, 1, 0}));
  EXPECT_EQ(r.fnp2_filters_track()->words, (std::vector<uint32_t>{7, 8}));
  EXPECT_TRUE(r.tracks().empty());  // the filters track is kept apart from the tracks
}

// Records are polymorphic; a derived record logs its destruction.
struct LoggingRecord : Record {
  LoggingRecord(std::vector<std::string>* log, std::string name)
      : Record(versions::Qrix_v1), log_(log), name_(std::move(name)) {}
  ~LoggingRecord() override { log_->push_back(name_); }
  std::vector<std::string>* log_;
  std::string name_;
};

TEST(LearnRecordsPtr, DestroysThirdThenSecondThenFirst) {
  std::vector<std::string> log;
  {
    LearnRecordsPtr p;
    p.registers_a = std::make_unique<LoggingRecord>(&log, "first");
    p.registers_b = std::make_unique<LoggingRecord>(&log, "second");
    p.weights = std::make_unique<LoggingRecord>(&log, "third");
    p.fnp_sram_size = 42;
  }
  EXPECT_EQ(log, (std::vector<std::string>{"third", "second", "first"}));
}

TEST(ProgramTools, DecodeBlocksRejectsBrokenTracks) {
  Record r(versions::FPGA_v2);
  r.add_np_track(kNp, T(7), 0, words(5));
  std::vector<uint32_t> w = r.tracks()[0].words();
  w.pop_back();
  EXPECT_THROW(decode_blocks(w), std::runtime_error);  // count runs past the end
  EXPECT_THROW(decode_blocks(std::vector<uint32_t>{w[0]}), std::runtime_error);
  EXPECT_TRUE(decode_blocks({}).empty());
}

TEST(ProgramTools, ListsARecord) {
  Record r(versions::FPGA_v2);
  r.add_np_track({1, 2, 3, 0}, T(7), 0, {0xA, 0xB, 0xC});
  r.add_np_track({0, 0, 0, 0}, T(8), 68, {});
  r.add_np_track({1, 2, 3, 0}, T(6), 0, words(kMaxShort + 1));
  r.add_fnp2_filters_track({4, 5, 1, 0}, {1, 2});
  test::ListOptions opt;
  opt.max_words = 2;
  EXPECT_EQ(test::list_record(r, opt),
            "record\n"
            "  track 0: 7 words\n"
            "    block np 1,2,3,0 target 7 address 0 xl 0 words 3: 0000000a 0000000b ... (+1)\n"
            "    block np 0,0,0,0 target 8 address 68 xl 0 words 0\n"
            "  track 1: 4098 words\n"
            "    block np 1,2,3,0 target 6 address 0 xl 1 words 4096: 00000001 00000002 ... (+4094)\n"
            "  fnp2 np 4,5,1,0 words 2: 00000001 00000002\n");
}

}  // namespace
}  // namespace nuvra::program
