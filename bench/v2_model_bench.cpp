// Second-generation models mapped end to end with the generation's own checker, placement,
// recorders and serializer, onto a virtual FPGA_v2 device (the mesh its simulated board
// reports): MobileNet-like models (depthwise / pointwise pairs, a Dense1D head) of 10, 28, 100
// and 128 layers, the last with 58 MB of programs. Reports the whole Model::map against its
// baseline in the same run: the program bytes copied into a new buffer (malloc and memcpy, as a
// caller copying them would), map and copy taking turns, best of several runs; and both once
// more right after the caches were flushed, since between maps a model's weights and program
// pages leave the caches that a copy repeated at once still finds warm. For three models
// also the stages, measured by running the back-end pieces on their own over the same layers:
// check (the whole-list sequence check and every layer check), place (MeshMapper::map_layer per
// layer, as one map call would), record (the layer and I/O recorders over the mapped passes),
// serialise (the records written into the program bytes) and size (the memory sizer over every
// component).
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

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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
// Rounds of maps and copies for models under 16 MB of programs: on a loaded machine a few rounds
// often catch neither at its best.
constexpr int kRounds = 20;

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

struct Block {
  int filters, stride;
};

// An InputConv2D input of `side` x `side` x 3 (stride 2, 32 filters), a depthwise 3x3 /
// pointwise 1x1 pair per block, a global average pooling on the last pointwise layer and a
// Dense1D head: 2 + 2 * blocks layers.
std::unique_ptr<Model> mobilenet_family(int side, const std::vector<Block>& blocks) {
  auto model = Model::create();
  model->add(make(LayerType::InputConv2D,
                  {{"input_width", side}, {"input_height", side}, {"input_channels", 3}, {"filters", 32},
                   {"kernel_size", 3}, {"kernel_stride", 2}},
                  "hrc"));
  for (size_t i = 0; i < blocks.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    model->add(make(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", blocks[i].stride}}, "dw" + n));
    std::map<std::string, int> pw{{"filters", blocks[i].filters}, {"kernel_size", 1}};
    if (i + 1 == blocks.size()) {
      pw["pool_type"] = static_cast<int>(PoolType::Average);
      pw["pool_size"] = -1;
    }
    model->add(make(LayerType::Conv2D, pw, "pw" + n));
  }
  model->add(make(LayerType::Dense1D, {{"units", 10}}, "head"));
  return model;
}

// The MobileNet shape: 224x224x3 down to 7x7x1024 in 13 pairs, 28 layers, 5.7 MB of programs.
std::vector<Block> mobilenet_blocks() {
  return {{64, 1},  {128, 2}, {128, 1}, {256, 2}, {256, 1}, {512, 2},  {512, 1},
          {512, 1}, {512, 1}, {512, 1}, {512, 1}, {1024, 2}, {1024, 1}};
}

// The same with 50 more 1024-channel pairs at 7x7: 128 layers, 58 MB of programs.
std::vector<Block> large_blocks() {
  auto blocks = mobilenet_blocks();
  blocks.insert(blocks.end(), 50, Block{1024, 1});
  return blocks;
}

// 112x112x3 down to 7x7x512 in 4 pairs: 10 layers, 0.9 MB of programs.
std::vector<Block> ten_layer_blocks() { return {{512, 2}, {512, 2}, {512, 2}, {512, 1}}; }

// 112x112x3 down to 14x14x256 in 49 pairs (three strided): 100 layers, 3.4 MB of programs.
std::vector<Block> hundred_layer_blocks() {
  std::vector<Block> blocks(49, Block{256, 1});
  blocks[0].stride = blocks[1].stride = blocks[2].stride = 2;
  return blocks;
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
  double copy_ms = 0, pages_copy_ms = 0;
  double cold_map_ms = 0, cold_copy_ms = 0;  // each right after the caches were flushed
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

// The baseline: the program bytes copied into a new buffer, as a caller copying them takes one.
void copy_into_new_buffer(const std::vector<uint8_t>& bytes) {
  auto* p = static_cast<uint8_t*>(std::malloc(bytes.size()));
  if (p == nullptr) throw std::bad_alloc();
  std::memcpy(p, bytes.data(), bytes.size());
  copy_sink = p[bytes.size() - 1];
  std::free(p);
}

// Writes a buffer larger than the last-level cache, so that what runs next finds none of its
// memory cached.
void flush_caches() {
  static std::vector<uint8_t> sweep(64 << 20);
  for (size_t i = 0; i < sweep.size(); i += 64) sweep[i] = static_cast<uint8_t>(sweep[i] + 1);
  copy_sink = sweep[sweep.size() - 64];
}

// The same into pages the process never touched before.
void copy_into_new_pages(const std::vector<uint8_t>& bytes) {
  void* m = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  std::memcpy(m, bytes.data(), bytes.size());
  copy_sink = static_cast<uint8_t*>(m)[bytes.size() - 1];
  munmap(m, bytes.size());
}

Figures measure(Model& model, bool stages) {
  uint32_t seed = 1;
  for (const auto& layer : model.layers()) fill_v2_variables(*layer, seed++);
  const auto device = fpga_v2_device();
  const auto constraints = std::make_shared<MapConstraints>(device);
  const IpVersionSpecificHardwareBackend backend(*device);
  const Layers list = backend_layers(model);
  Figures f;

  model.map(device, true, constraints);
  std::vector<uint8_t> program;
  for (const auto& s : model.sequences())
    program.insert(program.end(), s->program().data, s->program().data + s->program().size);
  // Maps and copies take turns, a few of each, so that both see the same load on the machine
  // and each copy but the first of a turn finds the memory the one before it gave back.
  const int rounds = program.size() > (16u << 20) ? 2 : kRounds;
  for (int i = 0; i < rounds; ++i) {
    const double map = best_ms(3, [&] { model.map(device, true, constraints); });
    const double copy = best_ms(3, [&] { copy_into_new_buffer(program); });
    const double pages = best_ms(3, [&] { copy_into_new_pages(program); });
    if (i == 0 || map < f.map_ms) f.map_ms = map;
    if (i == 0 || copy < f.copy_ms) f.copy_ms = copy;
    if (i == 0 || pages < f.pages_copy_ms) f.pages_copy_ms = pages;
    // Both again from memory: a map reads weights and writes program pages that the maps and
    // copies in between have pushed out of the caches.
    flush_caches();
    const double cold_map = best_ms(1, [&] { model.map(device, true, constraints); });
    flush_caches();
    const double cold_copy = best_ms(1, [&] { copy_into_new_buffer(program); });
    if (i == 0 || cold_map < f.cold_map_ms) f.cold_map_ms = cold_map;
    if (i == 0 || cold_copy < f.cold_copy_ms) f.cold_copy_ms = cold_copy;
  }
  f.sequences = model.sequences().size();
  for (const auto& s : model.sequences()) {
    f.passes += s->passes().size();
    f.program_bytes += s->program().size;
  }
  if (!stages) return f;

  f.check_ms = best_ms(kRuns, [&] { check_stage(backend, list, device->version()); });
  f.place_ms = best_ms(kRuns, [&] { f.components = place_stage(backend, *constraints, list); });
  for (const auto& s : model.sequences()) {
    PassRecords records;
    f.record_ms += best_ms(kRuns, [&] { records = record_stage(backend, *s); });
    for (const auto& pass : records)
      for (const auto& r : pass.programs) {
        ++f.records;
        for (const auto& t : r.record->tracks()) f.record_words += t.size();
      }
    f.serialise_ms += best_ms(kRuns, [&] { serialise_stage(backend, *s, records); });
    f.size_ms += best_ms(kRuns, [&] { size_stage(backend, *s); });
  }
  return f;
}

struct Summary {
  std::string name;
  size_t layers = 0;
  double goal = 0;  // the most map / copy may be
  Figures f;
};

Summary report(const char* name, Model& model, double goal, bool stages) {
  Summary out{name, model.layers().size(), goal, {}};
  Figures& f = out.f;
  try {
    f = measure(model, stages);
  } catch (const std::exception& e) {
    std::printf("%s: failed: %s\n", name, e.what());
    return out;
  }
  std::printf("%s: %zu layers -> %zu sequence(s), %zu pass(es), %zu program bytes\n", name, out.layers, f.sequences,
              f.passes, f.program_bytes);
  if (stages) {
    // The fixed costs of a layer: its rule checks, its split search and placement, its record.
    const double per_layer = 1e3 / double(out.layers);
    std::printf("  %-10s %10.3f ms  (sequence check and %zu layer checks; %.1f us per layer)\n", "check", f.check_ms,
                out.layers, f.check_ms * per_layer);
    std::printf("  %-10s %10.3f ms  (%zu components placed; %.1f us per layer)\n", "place", f.place_ms, f.components,
                f.place_ms * per_layer);
    std::printf("  %-10s %10.3f ms  (%zu records, %llu words; %.1f us per record, weight images left to serialise)\n",
                "record", f.record_ms, f.records, static_cast<unsigned long long>(f.record_words),
                f.record_ms * 1e3 / double(f.records));
    std::printf("  %-10s %10.3f ms\n", "serialise", f.serialise_ms);
    std::printf("  %-10s %10.3f ms\n", "size", f.size_ms);
  }
  std::printf("  %-10s %10.3f ms  (whole Model::map, hw_only)\n", "map", f.map_ms);
  std::printf("  %-10s %10.3f ms  (the program bytes copied into a new buffer: malloc, memcpy)\n", "copy", f.copy_ms);
  std::printf("  %-10s %10.3f ms  (the same into freshly mapped pages)\n", "page copy", f.pages_copy_ms);
  std::printf("  %-10s %10.3f ms  against %.3f ms for the copy, each right after the caches were flushed\n",
              "cold map", f.cold_map_ms, f.cold_copy_ms);
  return out;
}

}  // namespace

int main() {
  register_system_services_with_engine();
  std::printf("Second-generation models on an FPGA_v2 virtual device, best of several runs:\n");
  std::vector<Summary> rows;
  auto mobilenet = mobilenet_family(224, mobilenet_blocks());
  rows.push_back(report("MobileNet-like", *mobilenet, 3, true));
  auto large = mobilenet_family(224, large_blocks());
  rows.push_back(report("Large", *large, 3, true));
  auto ten = mobilenet_family(112, ten_layer_blocks());
  rows.push_back(report("10-layer", *ten, 6, false));
  auto hundred = mobilenet_family(112, hundred_layer_blocks());
  rows.push_back(report("100-layer", *hundred, 6, true));
  std::printf("\nMap time over the time of copying the program bytes into a new buffer (goal in brackets):\n");
  std::printf("  %-16s %7s %11s %10s %10s %8s %13s %10s\n", "model", "layers", "program MB", "map ms", "copy ms",
              "ratio", "vs page copy", "both cold");
  for (const auto& r : rows) {
    std::printf("  %-16s %7zu %11.2f %10.3f %10.3f %7.1fx %12.1fx %9.1fx  [%.0fx]\n", r.name.c_str(), r.layers,
                double(r.f.program_bytes) / (1 << 20), r.f.map_ms, r.f.copy_ms, r.f.map_ms / r.f.copy_ms,
                r.f.map_ms / r.f.pages_copy_ms, r.f.cold_map_ms / r.f.cold_copy_ms, r.goal);
  }
  return 0;
}
