#include "backend/program_bytes.h"

#include <stdexcept>
#include <utility>

namespace nuvra {

ProgramBytes::ProgramBytes(std::vector<uint8_t> bytes)
    : vector_(std::move(bytes)), data_(vector_.data()), size_(vector_.size()) {}

ProgramBytes::ProgramBytes(flatbuffers::Allocator& allocator, uint8_t* buffer, size_t allocated, size_t offset,
                           size_t size)
    : allocator_(&allocator), buffer_(buffer), allocated_(allocated), data_(buffer + offset), size_(size) {}

ProgramBytes::ProgramBytes(ProgramBytes&& other) noexcept { *this = std::move(other); }

ProgramBytes& ProgramBytes::operator=(ProgramBytes&& other) noexcept {
  if (this == &other) return *this;
  release();
  // A moved vector keeps its storage, so the data pointer stays valid.
  vector_ = std::move(other.vector_);
  allocator_ = std::exchange(other.allocator_, nullptr);
  buffer_ = std::exchange(other.buffer_, nullptr);
  allocated_ = std::exchange(other.allocated_, 0);
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  other.vector_.clear();
  return *this;
}

ProgramBytes::~ProgramBytes() { release(); }

void ProgramBytes::extend_front(size_t bytes) {
  if (buffer_ == nullptr || static_cast<size_t>(data_ - buffer_) < bytes)
    throw std::logic_error("No room in front of the program.");
  data_ -= bytes;
  size_ += bytes;
}

void ProgramBytes::release() {
  if (buffer_ != nullptr) allocator_->deallocate(buffer_, allocated_);
  buffer_ = nullptr;
  allocator_ = nullptr;
  allocated_ = 0;
  vector_.clear();
  data_ = nullptr;
  size_ = 0;
}

}  // namespace nuvra
