// splitmix64 draws for generated test models: the same numbers on every platform, unlike the
// standard distributions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace nuvra::test {

class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  int64_t range(int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1));
  }
  template <class T, size_t N>
  T one_of(const T (&values)[N]) {
    return values[below(static_cast<int>(N))];
  }
  template <class T>
  T one_of(std::initializer_list<T> values) {
    return values.begin()[below(static_cast<int>(values.size()))];
  }

 private:
  uint64_t state_;
};

}  // namespace nuvra::test
