// The program format as loaders read it: what the information part writes (struct layouts are
// pinned byte for byte by the program digests of the v2 tests).
#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>

#include <gtest/gtest.h>

#include <cstring>

namespace nuvra::fb {
namespace {

// Field 7 holds the second word; vectors the format always writes are written even when empty;
// default scalars are not written but read back as 0 (Qrix_v2 is BC.00.00.02).
TEST(ProgramSchema, InformationPartWritesWhatLoadersExpect) {
  flatbuffers::FlatBufferBuilder b;
  const std::vector<uint32_t> in_dims{32, 32, 3}, out_dims{10};
  const std::vector<int32_t> thresholds;
  const std::vector<float> scales{0.5f};
  const std::vector<flatbuffers::Offset<PassSpans>> passes{CreatePassSpansDirect(b)};
  const TrackSpan dummy(100, 2);
  FinishSizePrefixedProgramInfoBuffer(
      b, CreateProgramInfoDirect(b, "2.0.0", CreateDeviceVersion(b, 0xBC, 0, 0, 2), &in_dims, &out_dims,
                                 IoType::Type2, IoType::Type0, true, 0x2222, 0x1111, &thresholds, &scales, 3, nullptr,
                                 &passes, 0, &dummy));
  ASSERT_EQ(b.GetSize() % 4, 0u);
  std::vector<uint32_t> aligned(b.GetSize() / 4);
  std::memcpy(aligned.data(), b.GetBufferPointer(), b.GetSize());
  const auto* p = reinterpret_cast<const uint8_t*>(aligned.data());
  flatbuffers::Verifier verifier(p, b.GetSize());
  ASSERT_TRUE(VerifySizePrefixedProgramInfoBuffer(verifier));
  const ProgramInfo* info = GetSizePrefixedProgramInfo(p);
  EXPECT_EQ(std::make_tuple(info->conv_param_1(), info->conv_param_0()), std::make_tuple(0x2222u, 0x1111u));
  ASSERT_NE(info->thresholds(), nullptr);
  EXPECT_EQ(info->thresholds()->size(), 0u);
  const auto* version = reinterpret_cast<const flatbuffers::Table*>(info->device_version());
  EXPECT_TRUE(version->CheckField(DeviceVersion::VT_VENDOR_ID) && version->CheckField(DeviceVersion::VT_MINOR_REV));
  EXPECT_FALSE(version->CheckField(DeviceVersion::VT_PRODUCT_ID) || version->CheckField(DeviceVersion::VT_MAJOR_REV));
  EXPECT_EQ(info->device_version()->product_id(), 0);
}

}  // namespace
}  // namespace nuvra::fb
