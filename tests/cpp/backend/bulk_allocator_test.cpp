// Program buffers keep their pages: a buffer given back serves the next one that fits, and a
// buffer that grows keeps the bytes a downward builder has at its back and front.
#include "backend/bulk_allocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace nuvra {
namespace {

// Sizes no other test takes, so that what this one gave back is what it gets.
constexpr size_t kOdd = (size_t{3} << 20) + 12345;

TEST(BulkAllocator, BuffersGivenBackServeTheNextOnes) {
  BulkAllocator& a = BulkAllocator::instance();
  uint8_t* first = a.allocate(kOdd);
  std::memset(first, 7, kOdd);
  uint8_t* const end = first + kOdd;
  a.deallocate(first, kOdd);
  // The same size, then a smaller one: both end where the first did, on its pages.
  for (const size_t size : {kOdd, kOdd - (size_t{1} << 20)}) {
    uint8_t* again = a.allocate(size);
    EXPECT_EQ(again + size, end) << size;
    EXPECT_EQ(again[0], 7) << size;
    a.deallocate(again, size);
  }
  // Heap-sized buffers come and go as usual.
  uint8_t* small = a.allocate(100);
  small[99] = 1;
  a.deallocate(small, 100);
}

TEST(BulkAllocator, GrowingKeepsBackAndFront) {
  BulkAllocator& a = BulkAllocator::instance();
  const size_t old_size = kOdd + 4096, new_size = 2 * old_size, back = 5000, front = 300;
  uint8_t* p = a.allocate(old_size);
  for (size_t i = 0; i < back; ++i) p[old_size - back + i] = static_cast<uint8_t>(i * 3);
  for (size_t i = 0; i < front; ++i) p[i] = static_cast<uint8_t>(i * 5);
  uint8_t* q = a.reallocate_downward(p, old_size, new_size, back, front);
  size_t wrong = 0;
  for (size_t i = 0; i < back; ++i) wrong += q[new_size - back + i] != static_cast<uint8_t>(i * 3);
  for (size_t i = 0; i < front; ++i) wrong += q[i] != static_cast<uint8_t>(i * 5);
  EXPECT_EQ(wrong, 0u);
  a.deallocate(q, new_size);
}

}  // namespace
}  // namespace nuvra
