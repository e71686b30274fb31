#include "engine/program_builder.h"

#include <nuvra/program_info.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using test::build_program;
using test::build_program_info_only;
using test::info_part_size;
using test::PassSpec;
using test::ProgramSpec;
using test::RecordSpec;

std::string error_of(const std::vector<uint8_t>& bytes) {
  try {
    ProgramInfo info(bytes.data(), bytes.size());
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<accepted>";
}

// Two passes: the first has an empty track and a record with a 10-word FNP2 filters track,
// the second two skip-DMA stores (6 and 9 words) and a load.
ProgramSpec two_pass_spec() {
  ProgramSpec s;
  s.input_dims = std::vector<uint32_t>{5, 5, 3};
  s.output_dims = std::vector<uint32_t>{2, 3, 5};
  s.has_activation = true;
  s.thresholds = {-3, 7};
  s.scales = {0.5f, 2.0f, 4.0f, 1.0f, 8.0f};
  s.descriptors_per_pass = 7;
  RecordSpec fnp2{{{9, 9, 9}}, std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {2, 1, 3, 0}};
  PassSpec first{{RecordSpec{{{1, 2}, {}}}, fnp2}, {}, {}};
  PassSpec second{{RecordSpec{{{4, 5, 6, 7}}}}, {{{1, 1, 2, 0}, 6}, {{1, 1, 2, 1}, 9}}, {{{1, 1, 2, 2}, 0}}};
  s.passes = {first, second};
  return s;
}

TEST(ProgramInfo, DecodesTheInformationPart) {
  const std::vector<uint8_t> program = build_program(two_pass_spec());
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{5, 5, 3}));
  EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{2, 3, 5}));
  EXPECT_EQ(info.input_elements(), 75u);
  EXPECT_EQ(info.output_elements(), 30u);
  EXPECT_TRUE(info.has_activation());
  EXPECT_EQ(info.thresholds(), (std::vector<int32_t>{-3, 7}));
  EXPECT_EQ(info.scales(), (std::vector<float>{0.5f, 2.0f, 4.0f, 1.0f, 8.0f}));
  EXPECT_EQ(info.descriptors_per_pass(), 7);
  ASSERT_EQ(info.passes().size(), 2u);
  EXPECT_EQ(info.passes()[0].records, 2u);
  EXPECT_EQ(info.passes()[0].fnp2_filter_words, 10u);
  EXPECT_EQ(info.passes()[0].skipdma_stores, 0u);
  EXPECT_EQ(info.passes()[1].records, 1u);
  EXPECT_EQ(info.passes()[1].fnp2_filter_words, 0u);
  EXPECT_EQ(info.passes()[1].skipdma_stores, 2u);
  EXPECT_EQ(info.passes()[1].skipdma_store_words, 15u);
  EXPECT_EQ(info.passes()[1].skipdma_loads, 1u);
  EXPECT_FALSE(info.learning());
  EXPECT_TRUE(info.has_data());
  EXPECT_EQ(info.info_size() + 4, info_part_size(program));
  EXPECT_EQ(4 + info.info_size() + 4 + info.data_size(), program.size());
}

TEST(ProgramInfo, MemoryQueriesWorkedByHand) {
  struct Case {
    const char* what;
    ProgramSpec spec;
    bool info_only;
    uint64_t input, input_descriptor, output, extra, descriptors;
  };
  ProgramSpec no_activation = two_pass_spec();
  no_activation.has_activation = false;
  ProgramSpec odd = two_pass_spec();
  odd.input_dims = std::vector<uint32_t>{8};
  odd.output_dims = std::vector<uint32_t>{1, 1, 1};
  odd.descriptors_per_pass = 255;
  odd.passes.resize(1);
  ProgramSpec empty_dims;
  empty_dims.input_dims = std::vector<uint32_t>{};
  empty_dims.output_dims = std::vector<uint32_t>{3, 0};
  const Case cases[] = {
      // 75 bytes -> 76; 30 uint8 -> 32; 2 passes; 4 * (10 + 6 + 9); 32 * 7 * 2.
      {"two passes", two_pass_spec(), false, 76, 64, 32, 100, 448},
      // 30 int32 outputs.
      {"no activation", no_activation, false, 76, 64, 120, 100, 448},
      {"information part alone", two_pass_spec(), true, 76, 64, 32, 100, 448},
      // 8 bytes stay 8; one int32 output; the first pass only: its FNP2 track.
      {"one pass", odd, false, 8, 32, 4, 40, 32 * 255},
      {"no elements", empty_dims, false, 0, 32, 0, 0, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> bytes = c.info_only ? build_program_info_only(c.spec) : build_program(c.spec);
    const ProgramInfo info(bytes.data(), bytes.size());
    EXPECT_EQ(input_memory_required(info), c.input);
    EXPECT_EQ(input_descriptor_memory_required(info), c.input_descriptor);
    EXPECT_EQ(output_memory_required(info), c.output);
    EXPECT_EQ(extra_program_memory_required(info), c.extra);
    EXPECT_EQ(program_descriptors_memory_required(info), c.descriptors);
    // The data part with its size prefix, or nothing.
    EXPECT_EQ(program_data_memory_required(info), c.info_only ? 0 : bytes.size() - info_part_size(bytes));
  }
}

// The learning spans locate the weights inside the data part.
TEST(ProgramInfo, LearningSpans) {
  for (bool fnp2 : {true, false}) {
    SCOPED_TRACE(fnp2 ? "FNP2" : "FNP3");
    ProgramSpec spec;
    test::LearningSpec l;
    l.registers_a = RecordSpec{{{11, 12, 13}}};
    l.registers_b = RecordSpec{{{21, 22}}};
    l.np = {3, 2, 1, 0};
    l.fnp_sram_size = 40;
    if (fnp2)
      l.weights = RecordSpec{{}, std::vector<uint32_t>{0xA1, 0xA2, 0xA3, 0xA4}, {3, 2, 1, 0}};
    else
      l.weights = RecordSpec{{{0x1006, 0x40000, 0xB1, 0xB2, 0xB3}}};
    spec.learning = l;
    const std::vector<uint8_t> program = build_program(spec);
    const ProgramInfo info(program.data(), program.size());
    ASSERT_TRUE(info.learning());
    const ProgramInfo::LearningSpans& s = *info.learning();
    EXPECT_EQ(s.fnp2, fnp2);
    EXPECT_EQ(s.np, (hw::Ident{3, 2, 1, 0}));
    const size_t data_start = info_part_size(program);
    auto word_at = [&](const ProgramInfo::Span& span, uint32_t i) {
      uint32_t w;
      std::memcpy(&w, program.data() + data_start + span.offset + 4 * i, 4);
      return w;
    };
    EXPECT_EQ(s.registers_a.word_count, 3u);
    EXPECT_EQ(word_at(s.registers_a, 2), 13u);
    EXPECT_EQ(s.registers_b.word_count, 2u);
    EXPECT_EQ(word_at(s.registers_b, 0), 21u);
    ASSERT_EQ(s.weights.size(), 1u);
    EXPECT_EQ(s.weights[0].word_count, fnp2 ? 4u : 5u);
    EXPECT_EQ(word_at(s.weights[0], 0), fnp2 ? 0xA1u : 0x1006u);
  }
}

TEST(ProgramInfo, RefusedFramingAndContent) {
  const std::vector<uint8_t> good = build_program(two_pass_spec());
  const size_t info_end = info_part_size(good);
  const std::string data_size = std::to_string(good.size() - info_end - 4);

  auto with_u32 = [](std::vector<uint8_t> b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
    return b;
  };
  auto cut = [](std::vector<uint8_t> b, size_t n) {
    b.resize(n);
    return b;
  };
  std::vector<uint8_t> trailing = good;
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  std::vector<uint8_t> bad_data(good.begin(), good.begin() + info_end);
  bad_data.insert(bad_data.end(), {8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F});

  ProgramSpec no_input;
  no_input.input_dims.reset();
  ProgramSpec no_output;
  no_output.output_dims.reset();
  ProgramSpec no_passes;
  no_passes.write_pass_spans = false;
  ProgramSpec five_dims;
  five_dims.input_dims = std::vector<uint32_t>{1, 1, 1, 1, 1};
  ProgramSpec too_many_inputs;
  too_many_inputs.input_dims = std::vector<uint32_t>{65536, 65536};
  ProgramSpec too_many_outputs;
  too_many_outputs.output_dims = std::vector<uint32_t>{2, 2, 1073741824};

  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{}, "Invalid program: too short to hold its information size"},
      {{4, 0, 0}, "Invalid program: too short to hold its information size"},
      {with_u32(good, 0, 6), "Invalid program: information size 6 is not a multiple of 4"},
      {{100, 0, 0, 0, 1, 2, 3, 4}, "Invalid program: information part of 100 bytes runs past the end of 8 bytes"},
      {cut(good, info_end + 2), "Invalid program: no room for the data size after the information part"},
      {with_u32(good, info_end, 5), "Invalid program: data size 5 is not a multiple of 4"},
      {trailing, "Invalid program: data part of " + data_size + " bytes does not end the " +
                     std::to_string(trailing.size()) + "-byte program"},
      {{4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}, "Invalid program: the information part is malformed"},
      {{0, 0, 0, 0}, "Invalid program: the information part is malformed"},
      {bad_data, "Invalid program: the data part is malformed"},
      {build_program(no_input), "Invalid program: no input dimensions"},
      {build_program(no_output), "Invalid program: no output dimensions"},
      {build_program(no_passes), "Invalid program: no pass spans"},
      {build_program(five_dims), "Invalid program: more than 4 input dimensions"},
      {build_program(too_many_inputs), "Invalid program: input dimensions hold more than 4294967295 elements"},
      {build_program(too_many_outputs), "Invalid program: output dimensions hold more than 4294967295 elements"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(error_of(bytes), message);
  EXPECT_THROW(ProgramInfo(nullptr, 8), std::invalid_argument);

  ProgramSpec largest;
  largest.input_dims = std::vector<uint32_t>{65535, 65537};
  EXPECT_EQ(error_of(build_program(largest)), "<accepted>");
}

// Every prefix is refused, except the information part alone.
TEST(ProgramInfo, EveryTruncationIsRefused) {
  ProgramSpec spec = two_pass_spec();
  spec.learning = test::LearningSpec{RecordSpec{{{1}}}, RecordSpec{{{2}}}, RecordSpec{{{3, 4, 5}}}, {1, 1, 0, 0}, 3};
  const std::vector<uint8_t> program = build_program(spec);
  const size_t info_end = info_part_size(program);
  for (size_t n = 0; n < program.size(); ++n) {
    const std::vector<uint8_t> prefix(program.begin(), program.begin() + n);
    if (n == info_end) {
      EXPECT_EQ(error_of(prefix), "<accepted>");
      continue;
    }
    EXPECT_NE(error_of(prefix), "<accepted>") << n;
  }
}

// Flipped bytes give a program or invalid_argument; the queries of an accepted one are safe.
TEST(ProgramInfo, FlippedBytesNeverCrash) {
  ProgramSpec spec = two_pass_spec();
  spec.learning = test::LearningSpec{RecordSpec{{{1}}}, RecordSpec{{{2}}},
                                     RecordSpec{{}, std::vector<uint32_t>{7, 8}, {1, 1, 3, 0}}, {1, 1, 3, 0}, 2};
  const std::vector<uint8_t> program = build_program(spec);
  const size_t info_end = info_part_size(program);
  size_t refused = 0;
  for (size_t at = 0; at < program.size(); ++at) {
    const size_t refused_before = refused;
    for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
      std::vector<uint8_t> bytes = program;
      bytes[at] ^= mask;
      try {
        const ProgramInfo info(bytes.data(), bytes.size());
        (void)input_memory_required(info);
        (void)input_descriptor_memory_required(info);
        (void)output_memory_required(info);
        (void)program_data_memory_required(info);
        (void)extra_program_memory_required(info);
        (void)program_descriptors_memory_required(info);
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Invalid program: ", 0), 0u) << e.what();
        ++refused;
      }
    }
    // The two size words frame the program exactly.
    if (at < 4 || (at >= info_end && at < info_end + 4)) {
      EXPECT_EQ(refused - refused_before, 4u) << at;
    }
  }
  EXPECT_GT(refused, 0u);
}

// The bytes may sit at any address and may change once read.
TEST(ProgramInfo, KeepsNothingOfTheCallersBytes) {
  const std::vector<uint8_t> program = build_program(two_pass_spec());
  std::vector<uint8_t> shifted(program.size() + 1);
  std::memcpy(shifted.data() + 1, program.data(), program.size());
  const ProgramInfo info(shifted.data() + 1, program.size());
  std::fill(shifted.begin(), shifted.end(), 0xEE);
  shifted.clear();
  shifted.shrink_to_fit();
  EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{5, 5, 3}));
  EXPECT_EQ(info.scales().size(), 5u);
  EXPECT_EQ(extra_program_memory_required(info), 100u);
}

}  // namespace
}  // namespace nuvra
