// The `nn` submodule: the engine's kernels one by one on numpy arrays. Every function takes
// positional arguments only, turns its arrays into tensors from left to right, calls the kernel
// and returns its result as a new array.
#include "python/bind_nn.h"
#include "python/bindings.h"

#include <nuvra/ops.h>

#include <memory>
#include <vector>

namespace py = pybind11;

namespace nuvra {

namespace {

using nn::F32;
using nn::I16;
using nn::I32;
using nn::I8;
using nn::U8;

// The kernels only read their array arguments, so these share the array's bytes where they can.
std::shared_ptr<Dense> i32(const py::handle& a) { return dense_view_from_numpy<int32_t>(a, TensorType::int32); }
std::shared_ptr<Dense> i8(const py::handle& a) { return dense_view_from_numpy<int8_t>(a, TensorType::int8); }
std::shared_ptr<Dense> u8(const py::handle& a) { return dense_view_from_numpy<uint8_t>(a, TensorType::uint8); }
std::shared_ptr<Dense> i16(const py::handle& a) { return dense_view_from_numpy<int16_t>(a, TensorType::int16); }

// (int32 array, int8 array, int) and (int32 array, int32 array) functions differ only by kernel.
template <ops::DensePtr (*Kernel)(const Dense&, const Dense&, int)>
py::array with_int8(const I32& x, const I8& b, int n) {
  const auto t1 = i32(x), t2 = i8(b);
  return result_to_numpy(Kernel(*t1, *t2, n));
}
template <ops::DensePtr (*Kernel)(const Dense&, const Dense&)>
py::array pair(const I32& a, const I32& b) {
  const auto t1 = i32(a), t2 = i32(b);
  return result_to_numpy(Kernel(*t1, *t2));
}

py::array separate_heads(const I32& x, uint32_t heads) { return result_to_numpy(ops::separate_heads(*i32(x), heads)); }

py::array lshift(const I32& x, const U8& shifts, int bits) {
  const auto t1 = i32(x), t2 = u8(shifts);
  return result_to_numpy(ops::lshift(*t1, *t2, bits));
}

py::array matmul(const I32& a, const I32& b, int shift, bool transpose_b) {
  const auto t1 = i32(a), t2 = i32(b);
  return result_to_numpy(ops::matmul(*t1, *t2, shift, transpose_b));
}

// Re-cast positions: an int32 array converted once more by numpy keeps its low 8 bits.
py::array shiftmax(const I32& x, const I32& shifts, int input_shift, int bits) {
  const auto t1 = i32(x), t2 = u8(shifts);
  return result_to_numpy(ops::shiftmax(*t1, *t2, input_shift, bits));
}

py::array stem_conv(const U8& x, const I8& w, int stride) {
  const auto t1 = u8(x), t2 = i8(w);
  return result_to_numpy(ops::stem_conv(*t1, *t2, stride));
}

py::array concatenate(const I32& a, const I32& b) {
  const std::vector<ops::ConstDensePtr> parts{i32(a), i32(b)};
  return result_to_numpy(ops::concatenate_last_dim(parts));
}

py::array sum_abs(const I32& x, int axis) { return result_to_numpy(ops::sum_abs(*i32(x), axis)); }

py::array concat_token(const I32& x, const I8& tokens, const I32& shifts, int count) {
  const auto t1 = i32(x), t2 = i8(tokens), t3 = u8(shifts);
  return result_to_numpy(ops::concat_token(*t1, *t2, *t3, count));
}

py::array add(const I32& a, const I32& b, int shift) {
  const auto t1 = i32(a), t2 = i32(b);
  return result_to_numpy(ops::add(*t1, *t2, shift));
}

py::array scale_out(const I32& x, const I32& scales, const I32& shifts, int bits, int is_signed) {
  const auto t1 = i32(x), t2 = u8(scales), t3 = i8(shifts);
  return result_to_numpy(ops::scale_out(*t1, *t2, *t3, bits, is_signed));
}

// Arguments 2 and 3 reach the kernel's signed parameters with the same bits.
py::array extract_token(const I32& x, uint32_t begin, uint32_t end, uint32_t axis) {
  return result_to_numpy(ops::extract_token(*i32(x), static_cast<int>(begin), static_cast<int>(end), axis));
}

py::array dequantize(const I32& x, const F32& scales) {
  const auto t1 = i32(x), t2 = dense_from_numpy<float>(scales, TensorType::float32);
  return result_to_numpy(ops::dequantize(*t1, *t2));
}

py::array global_average_pooling(const I32& x, int shift) {
  return result_to_numpy(ops::global_average_pooling(i32(x), shift));
}

// The caller's array is not touched: the kernel updates the tensor's own copy.
py::array fifo_op(const I8& fifo, const I8& frame) {
  const auto t1 = dense_from_numpy<int8_t>(fifo, TensorType::int8), t2 = i8(frame);
  ops::fifo_op(t1.get(), *t2);
  return result_to_numpy(t1);
}

py::array stateful_legacy_main_op(const I32& x, const I32& state, const I32& input, const I16& decay,
                                  const I16& gain, const U8& shifts, int shift) {
  const auto t1 = i32(x), t2 = i32(state), t3 = i32(input), t4 = i16(decay), t5 = i16(gain), t6 = u8(shifts);
  auto [first, second] = ops::update_internal_state(*t2, *t3, *t4, *t5, shift);
  const auto sum = ops::add(*t1, *second, shift);
  second.reset();
  const std::vector<ops::ConstDensePtr> parts{ops::rounded_rshift(*sum, *t6, 16), ops::rounded_rshift(*first, *t6, 16)};
  return result_to_numpy(ops::concatenate_last_dim(parts));
}

}  // namespace

void init_nn(py::module_& m) {
  py::module_ nn = m.def_submodule("nn",
                                   "Nuvra Neural Network software internal functions. These are meant for testing, "
                                   "debugging and validation only.");
  nn.def("separate_heads", &separate_heads);
  nn.def("lshift", &lshift);
  nn.def("shift", &with_int8<ops::shift>);
  nn.def("shift_out", &with_int8<ops::shift_out>);
  nn.def("matmul", &matmul);
  nn.def("shiftmax", &shiftmax);
  nn.def("stem_conv", &stem_conv);
  nn.def("sum_abs", &sum_abs);
  nn.def("divide", &pair<ops::divide>);
  nn.def("concat_token", &concat_token);
  nn.def("add", &add);
  nn.def("concatenate", &concatenate);
  nn.def("scale_out", &scale_out);
  nn.def("conv2d", &nn::conv2d);
  nn.def("input_conv2d", &nn::input_conv2d);
  nn.def("extract_token", &extract_token);
  nn.def("conv2d_transpose", &nn::conv2d_transpose);
  nn.def("dequantize", &dequantize);
  nn.def("depthwise_conv2d", &nn::depthwise_conv2d);
  nn.def("relu_activation", &pair<ops::relu_activation>);
  nn.def("look_up", &pair<ops::look_up>);
  nn.def("global_average_pooling", &global_average_pooling);
  nn.def("max_pooling", &nn::max_pooling);
  nn.def("fifo_op", &fifo_op);
  nn.def("depth_conv_like_op", &with_int8<ops::depthwise_like_conv>);
  nn.def("stateful_legacy_main_op", &stateful_legacy_main_op);
}

}  // namespace nuvra
