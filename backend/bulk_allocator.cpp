#include "backend/bulk_allocator.h"

#include <cstring>
#include <map>
#include <mutex>
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

constexpr size_t kHugePage = size_t{2} << 20;

// Mappings of a few huge pages or more end on a huge-page boundary and ask for huge pages:
// faulting in a buffer then costs a fraction of what its small pages would, and the end is
// where a downward builder writes.
uint8_t* map_pages(size_t length, bool populate) {
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
  return static_cast<uint8_t*>(m);
}

// The mappings of the buffers given out, and those given back and kept, each by its end.
class Mappings {
 public:
  // A mapping of at least `length` bytes with its pages in place: a kept one (its surplus
  // front unmapped) or a new one.
  uint8_t* take(size_t length) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // The smallest kept mapping that is long enough.
      auto best = kept_.end();
      for (auto it = kept_.begin(); it != kept_.end(); ++it)
        if (it->second >= length && (best == kept_.end() || it->second < best->second)) best = it;
      if (best != kept_.end()) {
        uint8_t* const end = best->first;
        const size_t had = best->second;
        kept_bytes_ -= had;
        kept_.erase(best);
        if (had > length) munmap(end - had, had - length);
        live_[end] = length;
        return end - length;
      }
    }
    uint8_t* const start = map_pages(length, true);
    std::lock_guard<std::mutex> lock(mutex_);
    live_[start + length] = length;
    return start;
  }

  // Takes a fresh mapping without faulting its pages in (for growing into).
  uint8_t* fresh(size_t length) {
    uint8_t* const start = map_pages(length, false);
    std::lock_guard<std::mutex> lock(mutex_);
    live_[start + length] = length;
    return start;
  }

  // The length of the live mapping that ends at `end`.
  size_t length_of(uint8_t* end) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = live_.find(end);
    return it == live_.end() ? 0 : it->second;
  }

  // Forgets the live mapping ending at `end` (its pages now belong to another).
  void forget(uint8_t* end) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(end);
  }

  // Gives back the live mapping ending at `end`: kept while there is room, unmapped otherwise.
  void give_back(uint8_t* end) {
    size_t length = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = live_.find(end);
      if (it == live_.end()) return;
      length = it->second;
      live_.erase(it);
      if (kept_bytes_ + length <= BulkAllocator::kKeptBytes) {
        kept_bytes_ += length;
        kept_[end] = length;
        return;
      }
    }
    munmap(end - length, length);
  }

 private:
  std::mutex mutex_;
  std::map<uint8_t*, size_t> live_;
  std::map<uint8_t*, size_t> kept_;
  size_t kept_bytes_ = 0;
};

Mappings& mappings() {
  // Never destroyed, like the allocator: programs may be freed during exit.
  static Mappings* const m = new Mappings;
  return *m;
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
  return mappings().take(length) + (length - size);
}

void BulkAllocator::deallocate(uint8_t* p, size_t size) {
  if (size < kBulkSize) {
    delete[] p;
    return;
  }
  mappings().give_back(p + size);
}

uint8_t* BulkAllocator::reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size, size_t in_use_back,
                                            size_t in_use_front) {
  if (old_size < kBulkSize || new_size <= old_size)
    return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
  uint8_t* const old_end = old_p + old_size;
  const size_t old_length = mappings().length_of(old_end);
  const size_t new_length = page_rounded(new_size);
  if (old_length == 0 || new_length <= old_length)
    return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
  uint8_t* const fresh = mappings().fresh(new_length);
  uint8_t* const tail = fresh + (new_length - old_length);
  // Move the old pages over the tail of the new mapping; the kernel moves page tables, not bytes.
  if (mremap(old_end - old_length, old_length, old_length, MREMAP_MAYMOVE | MREMAP_FIXED, tail) == MAP_FAILED) {
    mappings().give_back(fresh + new_length);
    return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
  }
  mappings().forget(old_end);
  uint8_t* const new_p = fresh + (new_length - new_size);
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
