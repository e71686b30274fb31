// Second-generation models mapped end to end with the generation's own checker, placement,
// recorders and serializer, onto a virtual FPGA_v2 device (the mesh its simulated board
// reports): a MobileNet-like model (224x224x3 input, depthwise/pointwise pairs, a Dense1D head)
// and a 100-layer model. Reports the whole Model::map and, measured by running the back-end
// pieces on their own over the same layers, its stages: check (the whole-list sequence check and
// every layer check), place (MeshMapper::map_layer per layer, as one map call would), record
// (the layer and I/O recorders over the mapped passes), serialise (the records written into the
// program bytes) and size (the memory sizer over every component). Best of several runs. The
// baseline, in the same run: a memcpy of the same program bytes into a new buffer taken the way
// program buffers are, and into memory already in use; the map should cost at most a few such
// copies.
#include "backend/bulk_allocator.h"
#include "backend/hardware_constraints.h"
#include "backend/ip_backend.h"
#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "backend/sequence_serializer.h"
#include "bench/v2_variables.h"
#include "devices/system_services.h"
#include "devices/virtual_device.h"
#include "program/record.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>
#include <nuvra/version.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

using Clock = std::chrono::steady_clock;
using Layers = std::vector<std::shared_ptr<Layer>>;

constexpr int kRuns = 5;

// Best wall time of `runs` calls, in milliseconds.
double best_ms(int runs, const std::function<void()>& action) {
  double best = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    action();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (i == 0 || ms < best) best = ms;
  }
  return best;
}

std::shared_ptr<Device> fpga_v2_device() {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  auto hardware = HardwareDevice::create(board.get());
  return make_virtual_device(versions::FPGA_v2, *Mesh::discover(hardware.get()));
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// InputConv2D 224x224x3 stride 2, 13 depthwise 3x3 / pointwise 1x1 pairs down to 7x7x1024, a
// global average pooling on the last pointwise layer, a Dense1D head: 28 layers.
std::unique_ptr<Model> mobilenet_like() {
  auto model = Model::create();
  model->add(make(LayerType::InputConv2D,
                  {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 32},
                   {"kernel_size", 3}, {"kernel_stride", 2}},
                  "hrc"));
  const int strides[] = {1, 2, 1, 2, 1, 2, 1, 1, 1, 1, 1, 2, 1};
  const int filters[] = {64, 128, 128, 256, 256, 512, 512, 512, 512, 512, 512, 1024, 1024};
  for (int i = 0; i < 13; ++i) {
    const std::string n = std::to_string(i + 1);
    model->add(make(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", strides[i]}}, "dw" + n));
    std::map<std::string, int> pw{{"filters", filters[i]}, {"kernel_size", 1}};
    if (i == 12) {
      pw["pool_type"] = static_cast<int>(PoolType::Average);
      pw["pool_size"] = -1;
    }
    model->add(make(LayerType::Conv2D, pw, "pw" + n));
  }
  model->add(make(LayerType::Dense1D, {{"units", 10}}, "head"));
  return model;
}

// InputConv2D 64x64x3 stride 2, 49 depthwise 3x3 / pointwise 1x1 pairs of 32 channels (two
// strided, down to 8x8), a global average pooling on the last, a Dense1D head: 100 layers.
std::unique_ptr<Model> hundred_layers() {
  auto model = Model::create();
  model->add(make(LayerType::InputConv2D,
                  {{"input_width", 64}, {"input_height", 64}, {"input_channels", 3}, {"filters", 32},
                   {"kernel_size", 3}, {"kernel_stride", 2}},
                  "hrc"));
  for (int i = 1; i <= 49; ++i) {
    const std::string n = std::to_string(i);
    const int stride = i == 20 || i == 40 ? 2 : 1;
    model->add(make(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", stride}}, "dw" + n));
    std::map<std::string, int> pw{{"filters", 32}, {"kernel_size", 1}};
    if (i == 49) {
      pw["pool_type"] = static_cast<int>(PoolType::Average);
      pw["pool_size"] = -1;
    }
    model->add(make(LayerType::Conv2D, pw, "pw" + n));
  }
  model->add(make(LayerType::Dense1D, {{"units", 10}}, "head"));
  return model;
}

// What the map driver hands the back end: every layer but InputData (these models have none).
Layers backend_layers(const Model& model) {
  Layers out;
  for (const auto& l : model.layers())
    if (l->params()->layer_type() != LayerType::InputData) out.push_back(l);
  return out;
}

struct Figures {
  size_t sequences = 0, passes = 0, program_bytes = 0, components = 0, records = 0;
  uint64_t record_words = 0;
  double map_ms = 0, check_ms = 0, place_ms = 0, record_ms = 0, serialise_ms = 0, size_ms = 0;
  double fresh_copy_ms = 0, warm_copy_ms = 0;
};

// The whole-list check, then every layer against the one before it.
void check_stage(const IpVersionSpecificHardwareBackend& backend, const Layers& list, HwVersion version) {
  const CompatibilityChecker& checker = backend.checker();
  MappingStatus status = checker.check_layer_sequence(list.begin(), list.end(), list, version);
  if (!status.ok()) throw std::runtime_error("sequence check: " + status.message);
  std::shared_ptr<Layer> previous;
  for (const auto& layer : list) {
    status = checker.check_layer_compatibility(*layer, previous, version);
    if (!status.ok()) throw std::runtime_error("layer check: " + status.message);
    previous = layer;
  }
}

// Every layer the map driver would hand to the mapper, in order, over one NP table; a full
// mesh frees the table and opens another pass, as in one map call.
size_t place_stage(const IpVersionSpecificHardwareBackend& backend, const MapConstraints& constraints,
                   const Layers& list) {
  MeshMapper mapper(backend.checker(), constraints);
  mapper.reset();
  size_t components = 0;
  bool pass_full = false;
  for (const auto& layer : list) {
    if (layer->is_kind(1) || layer->is_kind(5) || layer->params()->layer_type() == LayerType::Dequantizer) continue;
    auto [placed, status] = mapper.map_layer(layer, {}, false, &pass_full, list);
    if (!status.ok()) throw std::runtime_error("placement: " + status.message);
    components += placed.size();
  }
  return components;
}

using PassRecords = std::vector<PassProgram>;

// The records the sequence builder asks for, with the arguments it passes: the SCC program,
// then every layer of every pass (idle-NP programs left out).
PassRecords record_stage(const IpVersionSpecificHardwareBackend& backend, const Sequence& sequence) {
  const auto& passes = sequence.passes();
  const LayerRecorder& recorder = backend.layer_recorder();
  const IoRecorder& io = backend.io_recorder();
  const Layer& first = *passes.front()->layers.front();
  const Layer& last = *passes.back()->layers.back();
  const auto seq_first = first_mappable_layer(passes.front()->layers);
  PassRecords out(passes.size());
  out[0].programs.push_back({io.record_scc(first.is_kind(1), true, false, true, false,
                                           first.input_dimensions().front(), last.output_dimensions()),
                             {}, {}});
  for (size_t p = 0; p < passes.size(); ++p) {
    const auto& layers = passes[p]->layers;
    const auto next_first = p + 1 < passes.size() ? first_mappable_layer(passes[p + 1]->layers) : nullptr;
    const auto p_first = first_mappable_layer(layers);
    const auto p_last = last_mappable_layer(layers);
    for (const auto& layer : layers)
      out[p].programs.push_back({recorder.record_layer(*layer, *seq_first, next_first, layer == p_first && p != 0,
                                                       layer == p_last && p + 1 != passes.size(), {}, false, false),
                                 {}, {}});
  }
  io.record_epg(first, 1, 4, 1, false, passes.size() > 1, true);
  return out;
}

// The records written pass by pass into a program buffer sized for them, then both parts
// finished.
size_t serialise_stage(const IpVersionSpecificHardwareBackend& backend, const Sequence& sequence,
                       const PassRecords& records) {
  SequenceSerializer ser(backend.layer_recorder(), backend.io_recorder());
  ser.serialize_version(versions::FPGA_v2);
  const auto& passes = sequence.passes();
  size_t layers = 0;
  for (const auto& pass : passes) layers += pass->layers.size();
  ser.reserve_program(records, layers, 0);
  for (const auto& pass : records) {
    for (const auto& program : pass.programs) ser.write(program);
    ser.finalize_pass();
  }
  const Layer& first = *passes.front()->layers.front();
  const Layer& last = *passes.back()->layers.back();
  return ser
      .finalize(nuvra::version(), first.input_dimensions().front(), last.output_dimensions(), 0, 0,
                last.has_activation(), 0, 0, {}, {}, 64, passes)
      .size();
}

// Keeps the sizes the size stage computes from being optimised away.
volatile uint64_t size_sink = 0;

// Every component's three memory sizes, as the map driver fills them.
void size_stage(const IpVersionSpecificHardwareBackend& backend, const Sequence& sequence) {
  const MemorySizer& sizer = backend.memory_sizer();
  const auto& passes = sequence.passes();
  const auto first = passes.front()->layers.front();
  const bool multi_pass = passes.size() > 1;
  uint64_t sum = 0;
  for (const auto& pass : passes) {
    for (const auto& layer : pass->layers) {
      const auto m = get_layer_mapping(*layer);
      if (!m || !m->nps) continue;
      for (const auto& c : *m->nps)
        sum += sizer.get_input_memory_size(layer, c, first) + sizer.get_weight_memory_size(layer, c) +
               sizer.get_external_memory_size(layer, c, false, multi_pass);
    }
  }
  size_sink = sum;
}

volatile uint8_t copy_sink = 0;

// The bytes copied into a new buffer taken as program buffers are, then given back.
void copy_into_fresh_memory(const std::vector<uint8_t>& bytes) {
  BulkAllocator& allocator = BulkAllocator::instance();
  uint8_t* p = allocator.allocate(bytes.size());
  std::memcpy(p, bytes.data(), bytes.size());
  copy_sink = p[bytes.size() - 1];
  allocator.deallocate(p, bytes.size());
}

Figures measure(Model& model) {
  uint32_t seed = 1;
  for (const auto& layer : model.layers()) fill_v2_variables(*layer, seed++);
  const auto device = fpga_v2_device();
  const auto constraints = std::make_shared<MapConstraints>(device);
  const IpVersionSpecificHardwareBackend backend(*device);
  const Layers list = backend_layers(model);
  Figures f;

  f.check_ms = best_ms(kRuns, [&] { check_stage(backend, list, device->version()); });
  f.place_ms = best_ms(kRuns, [&] { f.components = place_stage(backend, *constraints, list); });
  f.map_ms = best_ms(kRuns, [&] { model.map(device, true, constraints); });

  f.sequences = model.sequences().size();
  std::vector<uint8_t> program;
  for (const auto& s : model.sequences())
    program.insert(program.end(), s->program().data, s->program().data + s->program().size);
  f.fresh_copy_ms = best_ms(kRuns, [&] { copy_into_fresh_memory(program); });
  std::vector<uint8_t> warm(program.size(), 1);
  f.warm_copy_ms = best_ms(kRuns, [&] {
    std::memcpy(warm.data(), program.data(), program.size());
    copy_sink = warm.back();
  });
  for (const auto& s : model.sequences()) {
    f.passes += s->passes().size();
    f.program_bytes += s->program().size;
    PassRecords records;
    f.record_ms += best_ms(kRuns, [&] { records = record_stage(backend, *s); });
    for (const auto& pass : records)
      for (const auto& r : pass.programs) {
        ++f.records;
        for (const auto& t : r.record->tracks()) f.record_words += t.words().size();
      }
    f.serialise_ms += best_ms(kRuns, [&] { serialise_stage(backend, *s, records); });
    f.size_ms += best_ms(kRuns, [&] { size_stage(backend, *s); });
  }
  return f;
}

void report(const char* name, Model& model) {
  const size_t layers = model.layers().size();
  Figures f;
  try {
    f = measure(model);
  } catch (const std::exception& e) {
    std::printf("%s: failed: %s\n", name, e.what());
    return;
  }
  std::printf("%s: %zu layers -> %zu sequence(s), %zu pass(es), %zu program bytes\n", name, layers, f.sequences,
              f.passes, f.program_bytes);
  std::printf("  %-10s %10.2f ms  (sequence check and %zu layer checks)\n", "check", f.check_ms, layers);
  std::printf("  %-10s %10.2f ms  (%zu components placed)\n", "place", f.place_ms, f.components);
  std::printf("  %-10s %10.2f ms  (%zu records, %llu words)\n", "record", f.record_ms, f.records,
              static_cast<unsigned long long>(f.record_words));
  std::printf("  %-10s %10.2f ms\n", "serialise", f.serialise_ms);
  std::printf("  %-10s %10.2f ms\n", "size", f.size_ms);
  std::printf("  %-10s %10.2f ms  (whole Model::map, hw_only)\n", "map", f.map_ms);
  std::printf("  %-10s %10.2f ms  (memcpy of the program bytes into a new program buffer)\n", "copy", f.fresh_copy_ms);
  std::printf("  %-10s %10.2f ms  (the same into memory already in use)\n", "warm copy", f.warm_copy_ms);
  // Below a megabyte the copies take too little time to compare with.
  if (f.program_bytes >= (1u << 20))
    std::printf("  map / copy %.1fx, map / warm copy %.1fx\n", f.map_ms / f.fresh_copy_ms, f.map_ms / f.warm_copy_ms);
}

}  // namespace

int main() {
  register_system_services_with_engine();
  std::printf("Second-generation models on an FPGA_v2 virtual device, best of %d runs:\n", kRuns);
  auto mobilenet = mobilenet_like();
  report("MobileNet-like", *mobilenet);
  auto hundred = hundred_layers();
  report("100-layer", *hundred);
  return 0;
}
