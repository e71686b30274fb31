#include "backend/bulk_allocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace nuvra {
namespace {

void fill(uint8_t* p, size_t n, uint8_t seed) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
}
bool holds(const uint8_t* p, size_t n, uint8_t seed) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != static_cast<uint8_t>(seed + i * 7)) return false;
  return true;
}

TEST(BulkAllocatorTest, GrowingDownwardKeepsBothEnds) {
  auto& a = BulkAllocator::instance();
  constexpr size_t kBulk = BulkAllocator::kBulkSize;
  // Heap to heap, heap to mapped, mapped to mapped (page-aligned and not).
  const std::vector<std::pair<size_t, size_t>> growths = {
      {1000, 5000}, {kBulk - 8, kBulk + 8}, {kBulk, 3 * kBulk}, {kBulk + 12345, 2 * kBulk + 777}};
  for (const auto& [from, to] : growths) {
    SCOPED_TRACE(from);
    const size_t back = from / 3, front = from / 5;
    uint8_t* p = a.allocate(from);
    fill(p + from - back, back, 1);
    fill(p, front, 99);
    uint8_t* q = a.reallocate_downward(p, from, to, back, front);
    EXPECT_TRUE(holds(q + to - back, back, 1));
    EXPECT_TRUE(holds(q, front, 99));
    std::memset(q, 0xEE, to);  // the whole new buffer is writable
    a.deallocate(q, to);
  }
}

TEST(BulkAllocatorTest, BuilderOverTheAllocatorWritesLargeVectors) {
  flatbuffers::FlatBufferBuilder b(1024, &BulkAllocator::instance());
  std::vector<flatbuffers::Offset<flatbuffers::Vector<uint32_t>>> vectors;
  std::vector<uint32_t> words(300000);
  for (uint32_t k = 0; k < 12; ++k) {
    std::iota(words.begin(), words.end(), k * 1000000);
    vectors.push_back(b.CreateVector(words));
  }
  b.Finish(b.CreateVector(vectors));
  const auto* root = flatbuffers::GetRoot<flatbuffers::Vector<flatbuffers::Offset<flatbuffers::Vector<uint32_t>>>>(
      b.GetBufferPointer());
  ASSERT_EQ(root->size(), 12u);
  for (uint32_t k = 0; k < 12; ++k) {
    const auto* v = root->Get(k);
    ASSERT_EQ(v->size(), words.size());
    EXPECT_EQ(v->Get(0), k * 1000000);
    EXPECT_EQ(v->Get(299999), k * 1000000 + 299999);
  }
}

}  // namespace
}  // namespace nuvra
