#include <nuvra/dma.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

TEST(DmaHeader, NeedsXlAbove4095Words) {
  EXPECT_FALSE(dma::config_block_size_needs_xl(0));
  EXPECT_FALSE(dma::config_block_size_needs_xl(4095));
  EXPECT_TRUE(dma::config_block_size_needs_xl(4096));
  EXPECT_TRUE(dma::config_block_size_needs_xl(65536));
}

TEST(DmaHeader, WordsFieldByField) {
  struct Row {
    hw::Ident ident;  // col, row, id, channel
    uint32_t target, n;
    uint16_t address;
    bool xl;
    uint32_t w0, w1;
  };
  const Row rows[] = {
      {{0, 0, 0, 0}, 0, 0, 0, false, 0x00000000, 0x00000000},
      {{0, 0, 0, 0}, 8, 1, 0, false, 0x00000008, 0x00010000},
      {{0xAB, 0, 0, 0}, 0, 0, 0, false, 0xAB000000, 0},     // col 24-31
      {{0, 0xCD, 0, 0}, 0, 0, 0, false, 0x00CD0000, 0},     // row 16-23
      {{0, 0, 0xF, 0}, 0, 0, 0, false, 0x00000F00, 0},      // id 8-11
      {{0, 0, 0, 0xF}, 0, 0, 0, false, 0x0000F000, 0},      // channel 12-15
      {{0, 0, 0, 0}, 31, 0, 0, false, 0x0000001F, 0},       // target 0-4
      {{0, 0, 0, 0}, 0, 4095, 0xFFFF, false, 0, 0x0FFFFFFF},
      {{0, 0, 0, 0}, 0, 0, 0, true, 0x00000080, 0},          // xl 7
      {{0, 0, 0, 0}, 0, 65535, 0x1234, true, 0x00000080, 0xFFFF1234},
      {{0, 0, 0, 0}, 0, 4096, 0, true, 0x00000080, 0x10000000},
      {{3, 2, 1, 0}, 5, 10, 0x40, false, 0x03020105, 0x000A0040},
      {{0xFF, 0xFF, 0xF, 0xF}, 31, 100, 7, true, 0xFFFFFF9F, 0x00640007},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.w0) + "/" + std::to_string(r.w1));
    uint32_t words[3] = {0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF};
    dma::format_config_header(words, r.ident, dma::Target{r.target}, r.n, r.address, r.xl);
    EXPECT_EQ(words[0], r.w0);
    EXPECT_EQ(words[1], r.w1);
    EXPECT_EQ(words[2], 0xDEADBEEF);  // exactly two words written
  }
}

TEST(DmaHeader, FieldsThatDoNotFitPanicAndWriteNothing) {
  struct Row {
    hw::Ident ident;
    uint32_t target, n;
    bool xl;
    const char* text;
  };
  const Row rows[] = {
      {{0, 0, 0, 0}, 32, 0, false, "32 cannot fit in a 5 bits unsigned integer"},
      {{0, 0, 16, 0}, 0, 0, false, "16 cannot fit in a 4 bits unsigned integer"},
      {{0, 0, 0, 16}, 0, 0, false, "16 cannot fit in a 4 bits unsigned integer"},
      {{0, 0, 0, 0}, 0, 4096, false, "4096 cannot fit in a 12 bits unsigned integer"},
      {{0, 0, 0, 0}, 0, 65536, true, "65536 cannot fit in a 16 bits unsigned integer"},
      {{0, 0, 0, 0}, 0, 0xFFFFFFFF, true, "4294967295 cannot fit in a 16 bits unsigned integer"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    uint32_t words[2] = {1, 2};
    try {
      dma::format_config_header(words, r.ident, dma::Target{r.target}, r.n, 0, r.xl);
      ADD_FAILURE() << "no panic";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), r.text);
    }
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 2u);
  }
}

}  // namespace
}  // namespace nuvra
