// The roads between numpy arrays and engine tensors: copies, except where a tensor is only read
// (views of arrays) or a result is handed over whole. Whatever cannot be allocated here raises
// MemoryError.
#pragma once

#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace nuvra {

// A row-major dense tensor of `type` holding a copy of `source` force-cast to T.
// Instances: int32_t, float, int8_t, uint8_t, int16_t; `type` must be of T's family
// (int8_t also serves int4, int2 and bit; uint8_t serves uint4 and uint2).
template <class T>
std::shared_ptr<Dense> dense_from_numpy(pybind11::handle source, TensorType type);

// The same tensor as dense_from_numpy gives, after the same checks, but sharing the array's bytes
// when they already have type T and are row-major and aligned: for arguments that a call only
// reads, released before the call returns (with the interpreter lock held).
template <class T>
std::shared_ptr<Dense> dense_view_from_numpy(pybind11::handle source, TensorType type);

extern template std::shared_ptr<Dense> dense_from_numpy<int32_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_view_from_numpy<int32_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<float>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_view_from_numpy<float>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<int8_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_view_from_numpy<int8_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_view_from_numpy<uint8_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<int16_t>(pybind11::handle, TensorType);
extern template std::shared_ptr<Dense> dense_view_from_numpy<int16_t>(pybind11::handle, TensorType);

// A new, writable numpy array owning a copy of the tensor's values. Sub-byte types come
// out one value per byte; a tensor of layout 1 comes out with its axes reversed.
pybind11::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor);

// The same array for a kernel's fresh result: when nothing else holds the tensor or its bytes,
// the array takes them over instead of copying them (a large result is then written once).
pybind11::array result_to_numpy(std::shared_ptr<Dense> result);

// New bytes holding a copy of `size` bytes at `data` (programs, model buffers, memory images).
pybind11::bytes bytes_copy(const void* data, size_t size);

}  // namespace nuvra
