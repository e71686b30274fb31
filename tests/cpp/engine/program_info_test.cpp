#include "engine/program_builder.h"
#include "support/error_text.h"

#include <nuvra/program_info.h>

#include <gtest/gtest.h>

namespace nuvra {
namespace {

using test::build_program;
using test::info_part_size;
using test::ProgramLayout;
using test::RecordLayout;

std::string error_of(const std::vector<uint8_t>& bytes) {
  return test::error_text<std::invalid_argument>([&] { ProgramInfo(bytes.data(), bytes.size()); });
}

// Input, input descriptor, output, data, extra and descriptors memory.
std::vector<uint64_t> queries(const ProgramInfo& i) {
  return {input_memory_required(i),        input_descriptor_memory_required(i), output_memory_required(i),
          program_data_memory_required(i), extra_program_memory_required(i),    program_descriptors_memory_required(i)};
}

// Two passes: the first has an empty track and a record with a 10-word FNP2 filters track,
// the second two skip-DMA stores (one frame of 6 words, three of 9).
ProgramLayout two_pass_layout() {
  ProgramLayout s;
  s.input_dims = std::vector<uint32_t>{5, 5, 3};
  s.output_dims = std::vector<uint32_t>{2, 3, 5};
  s.has_activation = true;
  s.scales = {0.5f, 2.0f, 4.0f, 1.0f, 8.0f};
  s.descriptors_per_pass = 7;
  const RecordLayout fnp2{{{9, 9, 9}}, std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {2, 1, 3, 0}};
  s.passes = {{{RecordLayout{{{1, 2}, {}}}, fnp2}, {}},
              {{RecordLayout{{{4, 5, 6, 7}}}}, {{{1, 1, 2, 0}, 6}, {{1, 1, 2, 1}, 9, 3}}}};
  return s;
}

// The bytes may sit at any address and may change once read: the reader keeps nothing of them.
TEST(ProgramInfo, MemoryQueriesWorkedByHand) {
  ProgramLayout odd = two_pass_layout();
  odd.input_dims = std::vector<uint32_t>{8};
  odd.output_dims = std::vector<uint32_t>{1, 1, 3};
  odd.has_activation = false;
  odd.descriptors_per_pass = 255;
  odd.passes.resize(1);
  ProgramLayout no_frame = two_pass_layout();  // a store that names no frame still writes one
  no_frame.passes[1].stores[1].frames = 0;
  ProgramLayout empty_dims;
  empty_dims.input_dims = std::vector<uint32_t>{};
  empty_dims.output_dims = std::vector<uint32_t>{3, 0};
  // The data memory is the data part with its size prefix, or nothing.
  const std::tuple<ProgramLayout, bool, std::vector<uint64_t>> cases[] = {
      // 75 bytes -> 76; 30 uint8 -> 32; 2 passes; 4 * (10 + 6 + 3 * 9); 32 * 7 * 2.
      {two_pass_layout(), false, {76, 64, 32, 0, 172, 448}},
      {two_pass_layout(), true, {76, 64, 32, 0, 172, 448}},
      {no_frame, false, {76, 64, 32, 0, 100, 448}},
      // 8 bytes stay 8; three int32 outputs; the first pass only: its FNP2 track.
      {odd, false, {8, 32, 12, 0, 40, 32 * 255}},
      {empty_dims, false, {0, 32, 0, 0, 0, 32}},
  };
  for (auto [layout, info_only, expected] : cases) {
    const std::vector<uint8_t> bytes = build_program(layout, info_only);
    expected[3] = info_only ? 0 : bytes.size() - info_part_size(bytes);
    std::vector<uint8_t> shifted(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    const ProgramInfo info(shifted.data() + 1, bytes.size());
    shifted.assign(shifted.size(), 0xEE);
    EXPECT_EQ(queries(info), expected);
  }
}

// Framing that runs past the end or leaves bytes over, and dimensions whose product
// overflows, are refused; every prefix is too (below).
TEST(ProgramInfo, RefusedFramingAndContent) {
  ProgramLayout huge, largest;
  huge.output_dims = std::vector<uint32_t>{2, 2, 1073741824};
  largest.input_dims = std::vector<uint32_t>{65535, 65537};
  std::vector<uint8_t> trailing = build_program(largest);
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{100, 0, 0, 0, 1, 2, 3, 4}, "Invalid program: information part of 100 bytes runs past the end of 8 bytes"},
      {trailing, "Invalid program: data part of " + std::to_string(trailing.size() - info_part_size(trailing) - 8) +
                     " bytes does not end the " + std::to_string(trailing.size()) + "-byte program"},
      {build_program(huge), "Invalid program: output dimensions hold more than 4294967295 elements"},
      {build_program(largest), "<no error>"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(error_of(bytes), message);
}

// Every prefix is refused but the information part alone; flipped bytes give a program or
// invalid_argument, and the queries of an accepted one stay safe.
TEST(ProgramInfo, TruncationsAndFlippedBytesNeverCrash) {
  ProgramLayout layout = two_pass_layout();
  layout.learning = test::LearningLayout{RecordLayout{{{1}}}, RecordLayout{{{2}}},
                                         RecordLayout{{}, std::vector<uint32_t>{7, 8}, {1, 1, 3, 0}}, {1, 1, 3, 0}, 2};
  const std::vector<uint8_t> program = build_program(layout);
  const size_t info_end = info_part_size(program);
  for (size_t n = 0; n < program.size(); ++n)
    EXPECT_EQ(error_of({program.begin(), program.begin() + n}) == "<no error>", n == info_end) << n;
  for (size_t at = 0; at < program.size(); ++at) {
    size_t refused = 0;
    for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
      std::vector<uint8_t> bytes = program;
      bytes[at] ^= mask;
      try {
        (void)queries(ProgramInfo(bytes.data(), bytes.size()));
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Invalid program: ", 0), 0u) << e.what();
        ++refused;
      }
    }
    // The two size words frame the program exactly.
    EXPECT_TRUE(refused == 4 || (at >= 4 && (at < info_end || at >= info_end + 4))) << at;
  }
}

}  // namespace
}  // namespace nuvra
