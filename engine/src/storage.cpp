#include <nuvra/tensor.h>

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace nuvra {

namespace {

// Freed buffers of at least kSmallest bytes wait here for a request of at least half their size,
// up to kBlocks buffers and kBytes in all; the oldest go first. Smaller buffers are left to
// malloc, which keeps them without unmapping. Sanitizer builds skip the cache so that every
// use after free is caught.
constexpr size_t kSmallest = size_t{64} << 10;
constexpr size_t kBytes = size_t{64} << 20;
constexpr size_t kBlocks = 16;

struct Block {
  uint8_t* data;
  size_t capacity;
};

// Fixed room, so that a release, which runs in destructors, never allocates: one that ran out of
// memory there would end the process.
struct Cache {
  std::mutex mutex;
  Block blocks[kBlocks + 1] = {};
  size_t count = 0, bytes = 0;

  void remove(size_t i) {
    std::copy(blocks + i + 1, blocks + count, blocks + i);
    --count;
  }
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCaching = false;
#else
constexpr bool kCaching = true;
#endif

// Constant-initialized and trivially destroyed: storages may be released during static
// destruction, and its first use must not allocate either.
constinit Cache the_cache;

// A child forked while a thread of its parent held the cache (a signal handler's fork during a
// run) must not find it locked: the child's run releases its storages as it raises.
[[maybe_unused]] const int fork_handlers = pthread_atfork([] { the_cache.mutex.lock(); },
                                                         [] { the_cache.mutex.unlock(); },
                                                         [] { the_cache.mutex.unlock(); });

uint8_t* take(size_t bytes, size_t& capacity) {
  if (kCaching && bytes >= kSmallest) {
    Cache& c = the_cache;
    std::lock_guard<std::mutex> lock(c.mutex);
    size_t best = c.count;
    for (size_t i = 0; i < c.count; ++i)
      if (c.blocks[i].capacity >= bytes && c.blocks[i].capacity / 2 <= bytes &&
          (best == c.count || c.blocks[i].capacity < c.blocks[best].capacity))
        best = i;
    if (best < c.count) {
      const Block b = c.blocks[best];
      c.remove(best);
      c.bytes -= b.capacity;
      capacity = b.capacity;
      return b.data;
    }
  }
  capacity = bytes;
  return bytes ? static_cast<uint8_t*>(::operator new(bytes)) : nullptr;
}

void give(uint8_t* data, size_t capacity) {
  if (kCaching && capacity >= kSmallest && capacity <= kBytes) {
    Cache& c = the_cache;
    std::lock_guard<std::mutex> lock(c.mutex);
    c.blocks[c.count++] = {data, capacity};
    c.bytes += capacity;
    while (c.bytes > kBytes || c.count > kBlocks) {
      ::operator delete(c.blocks[0].data);
      c.bytes -= c.blocks[0].capacity;
      c.remove(0);
    }
    return;
  }
  ::operator delete(data);
}

}  // namespace

Storage::Storage(size_t bytes, Uninitialized) : size_(bytes) { data_ = take(bytes, capacity_); }

Storage::Storage(size_t bytes) : Storage(bytes, Uninitialized{}) {
  if (bytes) std::memset(data_, 0, bytes);
}

Storage::Storage(const uint8_t* data, size_t bytes) : Storage(bytes, Uninitialized{}) {
  if (bytes) std::memcpy(data_, data, bytes);
}

Storage::~Storage() {
  if (capacity_ != 0) give(data_, capacity_);  // only buffers of its own have a capacity
}

}  // namespace nuvra
