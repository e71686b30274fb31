// Value types shared by the engine and the system. Header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Symbols the engine (or the process hosting it) binds to by name.
#define NUVRA_EXPORT __attribute__((visibility("default")))

namespace nuvra {

// Every enumeration is an enum class with an explicit underlying type so that the
// Python bindings compare members strictly (a member never equals a plain int).

enum class TensorType : int32_t {
  int32 = 0, float32 = 1, uint8 = 2, int16 = 3, int8 = 4,
  int4 = 5, int2 = 6, uint4 = 7, uint2 = 8, bit = 9,
};

inline const char* type_name(TensorType t) {
  switch (t) {
    case TensorType::int32: return "int32";
    case TensorType::float32: return "float32";
    case TensorType::uint8: return "uint8";
    case TensorType::int16: return "int16";
    case TensorType::int8: return "int8";
    case TensorType::int4: return "int4";
    case TensorType::int2: return "int2";
    case TensorType::uint4: return "uint4";
    case TensorType::uint2: return "uint2";
    case TensorType::bit: return "bit";
  }
  return "unknown";
}

// Bytes per stored element; sub-byte types are held one value per byte.
inline size_t element_size(TensorType t) {
  switch (t) {
    case TensorType::int32:
    case TensorType::float32: return 4;
    case TensorType::int16: return 2;
    default: return 1;
  }
}

enum class Layout : int32_t { RowMajor = 0, Reversed = 1 };

enum class LayerType : int32_t {
  Unknown = 0, InputData = 1, InputConvolutional = 2, FullyConnected = 3, Convolutional = 4,
  SeparableConvolutional = 5, Add = 6, Dense2D = 7, Shiftmax = 8, Attention = 9, Stem = 10,
  MadNorm = 11, Concatenate = 12, BatchNormalization = 13, Conv2D = 14, InputConv2D = 15,
  DepthwiseConv2D = 16, Conv2DTranspose = 17, ExtractToken = 18, Dequantizer = 19,
  DepthwiseConv2DTranspose = 20, BufferTempConv = 21, DepthwiseBufferTempConv = 22,
  StatefulRecurrentLegacy = 23, VitEncoderBlock = 24, Dense1D = 25,
};
inline constexpr int32_t kLayerTypeCount = 26;

enum class Padding : int32_t { Valid = 0, Same = 1 };
enum class PoolType : int32_t { NoPooling = 0, Max = 1, Average = 2 };
enum class ActivationType : int32_t { NoActivation = 0, ReLU = 1, LUT = 2 };
enum class BackendType : int32_t { Software = 0, Hardware = 1, Hybrid = 2 };
enum class IpVersion : uint32_t { none = 0, v1 = 1, v2 = 2 };
enum class LearningType : int32_t { Unsupervised = 0 };

namespace soc {
enum class ClockMode : int32_t { Performance = 300000000, Economy = 100000000, LowPower = 5000000 };
}  // namespace soc

// Up to four dimensions; positions past `count` hold 0.
struct Shape {
  uint32_t dims[4] = {0, 0, 0, 0};
  uint64_t count = 0;

  Shape() = default;
  Shape(std::initializer_list<uint32_t> d) {
    if (d.size() > 4) throw std::invalid_argument("A shape has at most 4 dimensions");
    for (uint32_t v : d) dims[count++] = v;
  }
  size_t size() const { return static_cast<size_t>(count); }
  uint32_t operator[](size_t i) const { return i < 4 ? dims[i] : 0; }
  uint32_t& operator[](size_t i) { return dims[i & 3]; }
  // Product of the dimensions in use; 0 for a shape without dimensions.
  uint64_t elements() const {
    if (count == 0) return 0;
    uint64_t n = 1;
    for (size_t i = 0; i < count && i < 4; ++i) n *= dims[i];
    return n;
  }
  void push_back(uint32_t v) {
    if (count >= 4) throw std::invalid_argument("A shape has at most 4 dimensions");
    dims[count++] = v;
  }
  bool operator==(const Shape& o) const {
    if (count != o.count) return false;
    for (int i = 0; i < 4; ++i)
      if (dims[i] != o.dims[i]) return false;
    return true;
  }
  std::string to_string() const {
    std::string s = "(";
    for (size_t i = 0; i < count; ++i) {
      if (i) s += ", ";
      s += std::to_string(dims[i]);
    }
    return s + ")";
  }
};

struct HwVersion {
  uint8_t vendor_id = 0;
  uint8_t product_id = 0;
  uint8_t major_rev = 0;
  uint8_t minor_rev = 0;
  bool operator==(const HwVersion&) const = default;
  // The four fields in decimal joined by "."; defined with the device classes.
  std::string to_string() const;
};

namespace versions {
inline constexpr HwVersion Qrix_v1{0xBC, 0x00, 0x00, 0x01};
inline constexpr HwVersion Qrix_v2{0xBC, 0x00, 0x00, 0x02};
inline constexpr HwVersion TwoNodesIP_v1{0xBC, 0xA1, 0x03, 0x06};
inline constexpr HwVersion VLQ7300_v1{0xBC, 0xA1, 0x03, 0x09};
inline constexpr HwVersion FPGA_v2{0xBC, 0xA2, 0x01, 0x00};
}  // namespace versions

// Product identifier 0xA2 marks the second IP generation.
inline IpVersion ip_version_of(const HwVersion& v) {
  return v.product_id == 0xA2 ? IpVersion::v2 : IpVersion::v1;
}

struct PaddingParams {
  uint32_t top = 0, bottom = 0, left = 0, right = 0;
  bool operator==(const PaddingParams&) const = default;
};

struct MappingStatus {
  uint32_t code = 0;
  std::string message;
  bool ok() const { return code == 0; }
};

// The window of a layer's input that one NP handles.
struct NpSpace {
  uint32_t x = 0, y = 0;
  Shape shape;
  bool operator==(const NpSpace& o) const { return x == o.x && y == o.y && shape == o.shape; }
};

// Sizes in bytes.
struct MemoryInfo {
  uint32_t input_size = 0, weight_size = 0, external_size = 0;
  bool operator==(const MemoryInfo&) const = default;
};

namespace hw {

enum class Type : uint32_t {
  HRC = 1, CNP1 = 2, CNP2 = 3, FNP2 = 4, FNP3 = 5, VIT_BLOCK = 6, SKIP_DMA_STORE = 7,
  TNP_B = 8, TNP_R = 9, SKIP_DMA_LOAD = 10, DMA_EVENT = 11,
};

struct Ident {
  uint8_t col = 0, row = 0, id = 0, channel = 0;
  bool operator==(const Ident&) const = default;
  bool operator<(const Ident& o) const {
    if (col != o.col) return col < o.col;
    if (row != o.row) return row < o.row;
    if (id != o.id) return id < o.id;
    return channel < o.channel;
  }
  std::string to_string() const {
    std::string s = "(";
    s += std::to_string(col);
    s += ", ";
    s += std::to_string(row);
    s += ", ";
    s += std::to_string(id);
    s += ")";
    return s;
  }
};

// How a split layer's share is laid out on one NP.
struct SplitRecord {
  uint32_t start_neuron = 0;
  uint32_t filters = 0;
  NpSpace spatial_partition;
  NpSpace bordered_partition;
  bool single_buffer = false;
  bool operator==(const SplitRecord&) const = default;
};

// One NP or skip-DMA engine assigned to a layer.
struct Component {
  Type type = Type::HRC;
  Ident ident;
  std::optional<SplitRecord> split;
  MemoryInfo mem_info;
  bool operator==(const Component&) const = default;
};

}  // namespace hw

namespace dma {
// Destination code of a DMA configuration block; values are given by the callers.
enum class Target : uint32_t {};
}  // namespace dma

namespace epg {
struct epg_track {
  uint32_t offset = 0;
  uint32_t value = 0;
  bool operator==(const epg_track&) const = default;
};
}  // namespace epg

}  // namespace nuvra
