// Serialising programs of growing size: records of 1 to 64 MB of weight words written by the
// sequence serializer into a program buffer sized for them, as the sequence builder does
// (recording is done beforehand), against a memcpy of the same words into a new program buffer
// in the same run: the one copy serialising cannot avoid.
#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "backend/bulk_allocator.h"
#include "backend/sequence_serializer.h"
#include "backend/strategies.h"
#include "program/record.h"

namespace {

using namespace nuvra;

constexpr size_t kBlockWords = 65533;         // the largest block a track takes
constexpr size_t kRecordWords = 1024 * 1024;  // 4 MB of words per layer record
constexpr size_t kMB = 1024 * 1024;

// The recorders are not asked: the programs are recorded beforehand.
class NoRecorder : public LayerRecorder, public IoRecorder {
 public:
  std::unique_ptr<program::Record> record_layer(const Layer&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                const std::vector<hw::Ident>&, bool, bool) const override {
    return nullptr;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override { return {}; }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}
  std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, Shape, Shape) const override {
    return nullptr;
  }
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                                          bool) const override {
    return nullptr;
  }
  int8_t get_input_type(const Layer&) const override { return 0; }
  int8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

std::unique_ptr<program::Record> weights_record(size_t words, uint32_t seed) {
  auto r = program::new_record(versions::FPGA_v2);
  for (size_t done = 0; done < words;) {
    const size_t n = std::min(kBlockWords, words - done);
    r->add_np_block({2, 1, 0, 0}, dma::Target{1}, 0, n, [&](std::span<uint32_t> out) {
      for (auto& w : out) w = seed++;
    });
    done += n;
  }
  return r;
}

double best_ms(const std::function<void()>& action) {
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    const auto start = std::chrono::steady_clock::now();
    action();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (rep == 0 || ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main() {
  std::printf("%10s %12s %12s %12s %8s\n", "weights MB", "program MB", "serialise ms", "memcpy ms", "ratio");
  for (size_t mb = 1; mb <= 64; mb *= 2) {
    const size_t words = mb * kMB / 4;
    std::vector<PassProgram> passes(1);
    for (size_t done = 0; done < words; done += kRecordWords)
      passes[0].programs.push_back({weights_record(std::min(kRecordWords, words - done), static_cast<uint32_t>(done)),
                                    {}, {}});

    size_t track_bytes = 0;
    for (const auto& p : passes[0].programs)
      for (const auto& t : p.record->tracks()) track_bytes += t.size() * 4;

    NoRecorder recorders;
    size_t program_size = 0;
    const double serialise = best_ms([&] {
      SequenceSerializer ser(recorders, recorders);
      ser.serialize_version(versions::FPGA_v2);
      ser.reserve_program(passes, 1, 0);
      for (const auto& p : passes[0].programs) ser.write(p);
      ser.finalize_pass();
      program_size = ser.finalize("bench", Shape{8, 8, 1}, Shape{1, 1, 10}, 0, 0, true, 0, 0, {}, {}, 2,
                                  {std::make_shared<Sequence::Pass>()})
                         .size();
    });
    const double copy = best_ms([&] {
      BulkAllocator& allocator = BulkAllocator::instance();
      uint8_t* out = allocator.allocate(track_bytes);
      uint8_t* at = out;
      for (const auto& p : passes[0].programs)
        for (const auto& t : p.record->tracks()) {
          std::memcpy(at, t.words().data(), t.size() * 4);
          at += t.size() * 4;
        }
      allocator.deallocate(out, track_bytes);
    });
    std::printf("%10zu %12.2f %12.2f %12.2f %7.2fx\n", mb, double(program_size) / kMB, serialise, copy,
                serialise / copy);
  }
  return 0;
}
