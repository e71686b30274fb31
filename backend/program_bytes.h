// The bytes of a hardware program, owned where they were written: a byte vector, or the buffer
// the serializer wrote them into. Handing a program on moves it; its bytes are never copied.
#pragma once

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvra {

class ProgramBytes {
 public:
  ProgramBytes() = default;
  ProgramBytes(std::vector<uint8_t> bytes);  // NOLINT: a vector of bytes is a program
  // Bytes [offset, offset + size) of `buffer`, `allocated` bytes from `allocator`, which frees it.
  ProgramBytes(flatbuffers::Allocator& allocator, uint8_t* buffer, size_t allocated, size_t offset, size_t size);
  ProgramBytes(ProgramBytes&& other) noexcept;
  ProgramBytes& operator=(ProgramBytes&& other) noexcept;
  ~ProgramBytes();

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::vector<uint8_t> to_vector() const { return {data_, data_ + size_}; }
  // Takes in the `bytes` bytes of its buffer just before the program (written by the caller).
  void extend_front(size_t bytes);

 private:
  void release();

  std::vector<uint8_t> vector_;
  flatbuffers::Allocator* allocator_ = nullptr;
  uint8_t* buffer_ = nullptr;
  size_t allocated_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace nuvra
