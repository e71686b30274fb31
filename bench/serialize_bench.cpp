// Serialising programs of growing size: records of 1 to 64 MB of weight words through the
// sequence serializer, reported in MB/s of weight words. Recording is done beforehand.
#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

#include "backend/sequence_serializer.h"
#include "backend/strategies.h"
#include "program/record.h"

namespace {

using namespace nuvra;

constexpr size_t kBlockWords = 65533;         // the largest block a track takes
constexpr size_t kRecordWords = 1024 * 1024;  // 4 MB of words per layer record
constexpr size_t kMB = 1024 * 1024;

// Hands out records made beforehand, in order.
class ReplayRecorder : public LayerRecorder {
 public:
  mutable std::deque<std::unique_ptr<program::Record>> records;
  std::unique_ptr<program::Record> record_layer(const Layer&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                const std::vector<hw::Ident>&, bool, bool) const override {
    if (records.empty()) throw std::runtime_error("no record left");
    auto r = std::move(records.front());
    records.pop_front();
    return r;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override { return {}; }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}
};

class SccRecorder : public IoRecorder {
 public:
  std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, Shape, Shape) const override {
    auto r = program::new_record(versions::FPGA_v2);
    r->add_np_track({}, dma::Target{8}, 4, std::vector<uint32_t>{1, 2, 3});
    return r;
  }
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                                          bool) const override {
    return std::make_unique<std::vector<epg::epg_track>>();
  }
  uint8_t get_input_type(const Layer&) const override { return 0; }
  uint8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

std::unique_ptr<program::Record> weights_record(size_t words, uint32_t seed) {
  auto r = program::new_record(versions::FPGA_v2);
  std::vector<uint32_t> block(kBlockWords);
  for (size_t done = 0; done < words;) {
    const size_t n = std::min(kBlockWords, words - done);
    for (size_t i = 0; i < n; ++i) block[i] = seed++;
    r->add_np_track({2, 1, 0, 0}, dma::Target{1}, 0, block.data(), n);
    done += n;
  }
  return r;
}

}  // namespace

int main() {
  auto params =
      LayerParams::create(LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}});
  const auto layer = Layer::create(params.get(), "weights");
  std::printf("%10s %12s %10s %10s\n", "weights MB", "program MB", "ms", "MB/s");
  for (size_t mb = 1; mb <= 64; mb *= 2) {
    const size_t words = mb * kMB / 4;
    double best = 1e30;
    size_t program_size = 0;
    for (int rep = 0; rep < 3; ++rep) {
      ReplayRecorder recorder;
      SccRecorder io;
      size_t records = 0;
      for (size_t done = 0; done < words; done += kRecordWords, ++records)
        recorder.records.push_back(weights_record(std::min(kRecordWords, words - done), static_cast<uint32_t>(done)));

      std::vector<uint8_t> program;
      const auto start = std::chrono::steady_clock::now();
      SequenceSerializer ser(recorder, io);
      ser.serialize_version(versions::FPGA_v2);
      ser.serialize_scc_program(false, true, false, true, true, Shape{8, 8, 1}, Shape{1, 1, 10});
      for (size_t i = 0; i < records; ++i)
        ser.serialize_layer_program(*layer, *layer, nullptr, false, false, {}, false, false);
      ser.finalize_pass();
      ser.finalize("bench", Shape{8, 8, 1}, Shape{1, 1, 10}, 0, 0, true, 0, 0, {}, {}, 2, &program,
                   {std::make_shared<Sequence::Pass>()});
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, s);
      program_size = program.size();
    }
    std::printf("%10zu %12.2f %10.2f %10.0f\n", mb, double(program_size) / kMB, best * 1e3, double(mb) / best);
  }
  return 0;
}
