// The register fields a first-generation CNP layer fills in its NPs' blocks (v1/np_registers.h
// has the defaults and the routing, spikes and partial-reconfiguration formatters):
//   1       4-7 mode 6, 20-21 cleared, 22 single buffer
//   3       0-1 input bits, 2 separable, 3 4-bit weights (standard), 4-5 and 8-9 weight bits
//           (separable), 12-13 act bits, 15 activation, 16-23 NP count, 24-31 layer number
//   4       0-17 input SRAM words, 31 set
//   8-10    the NP's window: part size and its offsets, bordered window and stride phases
//   11      0-7 part width rounded to 4, 12-21 weight words per channel / 4 (standard)
//   20-22   stride 2, kernel, filter counts by kernel and weight bits, pointwise slots and
//           depthwise size (separable)
//   24-26   first output, output counts, first filter and filter count
//   27      pooling size, stride, flag and border padding flags
//   28-29   words and bytes of an input row, filter groups of 8
//   36      28 cleared (no on-chip learning)
#pragma once

#include "v1/np_registers.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>

namespace nuvra::v1 {

// The pooling an NP applies: none (size and stride 1) without pooling, size 1 for global average
// pooling, else the layer's pooling size with the engine's computed stride, padding and flag.
struct CnpPooling {
  uint8_t size = 1;
  uint8_t stride = 1;
  PaddingParams padding;
  bool flag = false;
};

// The convolution and pooling records of a built Convolutional or SeparableConvolutional layer;
// std::runtime_error "The layer <name> is not built" before the engine has built it.
struct CnpRecords {
  const ConvParams* conv = nullptr;
  CnpPooling pooling;
};
CnpRecords cnp_records(const Layer& layer);

// The fields shared by standard and separable layers for the NP `np` (which must have a split
// record) of a layer of `np_count` NPs. Split offsets outside -8..7 panic "%d cannot fit in a
// %d bits signed integer" before any write.
void format_cnp_conv_regs(RegisterBlock* block, const Layer& layer, const CnpRecords& records, const hw::Component& np,
                          uint8_t layer_number, uint32_t np_count);

// Word 27: pooling size, stride, flag, and which padded input borders the NP's part touches.
void np_border_padding_flags(RegisterBlock* block, const Shape& input, const NpSpace& part, const CnpPooling& pooling);

}  // namespace nuvra::v1
