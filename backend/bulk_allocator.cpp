#include "backend/bulk_allocator.h"

#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define NUVRA_BULK_MAPPING 1
#endif

namespace nuvra {

#if NUVRA_BULK_MAPPING

namespace {

size_t page_size() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

size_t page_rounded(size_t size) { return (size + page_size() - 1) & ~(page_size() - 1); }

// A mapped buffer ends where its mapping ends, so that the bytes a downward builder has in use
// (at the back) sit at the same distance from the mapping's end before and after it grows.
uint8_t* mapping_of(uint8_t* p, size_t size) { return p + size - page_rounded(size); }

constexpr size_t kHugePage = size_t{2} << 20;

// Mappings of a few huge pages or more end on a huge-page boundary and ask for huge pages:
// faulting in a buffer then costs a fraction of what its small pages would, and the end is
// where a downward builder writes.
void* map_pages(size_t length, bool populate) {
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(MADV_HUGEPAGE)
  if (length >= kHugePage) {
    const size_t spare = kHugePage;
    void* m = mmap(nullptr, length + spare, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    auto* const begin = static_cast<uint8_t*>(m);
    auto* const end = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(begin + length + spare) & ~(kHugePage - 1));
    uint8_t* const start = end - length;
    if (start > begin) munmap(begin, static_cast<size_t>(start - begin));
    if (begin + length + spare > end) munmap(end, static_cast<size_t>(begin + length + spare - end));
    (void)madvise(start, length, MADV_HUGEPAGE);  // a hint: without it the pages are small
    if (populate) prefault(start, length);
    return start;
  }
#endif
  void* m = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags | (populate ? MAP_POPULATE : 0), -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  return m;
}

}  // namespace

void prefault(void* p, size_t size) {
#if defined(MADV_POPULATE_WRITE)
  const auto begin = (reinterpret_cast<uintptr_t>(p) + page_size() - 1) & ~(page_size() - 1);
  const auto end = (reinterpret_cast<uintptr_t>(p) + size) & ~(page_size() - 1);
  // Older kernels refuse the advice; the pages then fault in one by one.
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)size;
#endif
}

uint8_t* BulkAllocator::allocate(size_t size) {
  if (size < kBulkSize) return new uint8_t[size];
  const size_t length = page_rounded(size);
  return static_cast<uint8_t*>(map_pages(length, true)) + (length - size);
}

void BulkAllocator::deallocate(uint8_t* p, size_t size) {
  if (size < kBulkSize) {
    delete[] p;
    return;
  }
  munmap(mapping_of(p, size), page_rounded(size));
}

uint8_t* BulkAllocator::reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size, size_t in_use_back,
                                            size_t in_use_front) {
  if (old_size < kBulkSize || new_size <= old_size)
    return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
  const size_t old_length = page_rounded(old_size);
  const size_t new_length = page_rounded(new_size);
  auto* fresh = static_cast<uint8_t*>(map_pages(new_length, false));
  uint8_t* tail = fresh + (new_length - old_length);
  // Move the old pages over the tail of the new mapping; the kernel moves page tables, not bytes.
  if (mremap(mapping_of(old_p, old_size), old_length, old_length, MREMAP_MAYMOVE | MREMAP_FIXED, tail) == MAP_FAILED) {
    munmap(fresh, new_length);
    return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
  }
  uint8_t* new_p = fresh + (new_length - new_size);
  prefault(fresh, new_length - old_length);
  // The front (the builder's scratch) must start the new buffer; the back is already in place.
  std::memmove(new_p, tail + (old_length - old_size), in_use_front);
  return new_p;
}

#else  // no page mapping: the heap and the builder's own copying

void prefault(void*, size_t) {}

uint8_t* BulkAllocator::allocate(size_t size) { return new uint8_t[size]; }
void BulkAllocator::deallocate(uint8_t* p, size_t) { delete[] p; }
uint8_t* BulkAllocator::reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size, size_t in_use_back,
                                            size_t in_use_front) {
  return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
}

#endif

BulkAllocator& BulkAllocator::instance() {
  // Never destroyed: programs it gave out may be freed during exit, after function statics go.
  static BulkAllocator* const allocator = new BulkAllocator;
  return *allocator;
}

}  // namespace nuvra
