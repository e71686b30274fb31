// Memory for program buffers of many megabytes. Page allocation costs more than writing the
// bytes, so large buffers are mapped with their pages in place, and pages are faulted in only
// once: a buffer given back keeps its pages for the next one (up to kKeptBytes in all), and a
// buffer that grows keeps its pages too: they are moved to the end of the larger mapping (a
// builder grows downwards) instead of being copied into new ones.
#pragma once

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>

namespace nuvra {

class BulkAllocator final : public flatbuffers::Allocator {
 public:
  // A buffer of `size` bytes ends where its mapping ends, so that the bytes a downward builder
  // has in use (at the back) keep their distance from the end when it grows.
  uint8_t* allocate(size_t size) override;
  void deallocate(uint8_t* p, size_t size) override;
  uint8_t* reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size, size_t in_use_back,
                               size_t in_use_front) override;

  // Buffers from this size on are mapped rather than taken from the heap.
  static constexpr size_t kBulkSize = size_t{1} << 20;
  // The most that mappings given back may keep for later buffers (as much as the heap may keep
  // unused at its top).
  static constexpr size_t kKeptBytes = size_t{64} << 20;

  // One instance serves every builder, from any thread.
  static BulkAllocator& instance();
};

// Faults in the whole pages of [p, p + size) in one go, ahead of writing them; a hint only.
void prefault(void* p, size_t size);

}  // namespace nuvra
