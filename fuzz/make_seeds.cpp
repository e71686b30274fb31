// Writes the seed corpora of the fuzz targets from real models and the programs they map to:
// <dir>/<target>/<name>. Run by the build, so that no binary seed is kept in the sources.
#include "devices/system_services.h"
#include "fuzz/fuzz_support.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"

#include <nuvra/functions.h>
#include <nuvra/variables.h>

#include <nuvra/backend.h>
#include <nuvra/model.h>

#include <snappy.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace nuvra;
namespace fs = std::filesystem;

namespace {

void write(const fs::path& dir, const std::string& name, const void* data, size_t size) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  register_system_services_with_engine();
  const fs::path root = argv[1];
  auto models = fuzz::seed_models();
  models.emplace_back("empty", Model::create());
  size_t programs = 0;
  for (auto& [name, model] : models) {
    const std::vector<uint8_t> bytes = model->to_buffer();
    write(root / "model_bytes", name, bytes.data(), bytes.size());
    write(root / "load_map", name, bytes.data(), bytes.size());
    std::string compressed;
    snappy::Compress(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &compressed);
    write(root / "model_file", name + ".fbz", compressed.data(), compressed.size());
    if (model->layer_count() == 0) continue;
    try {
      model->map(fuzz::device_for(*model), false, nullptr);
    } catch (const std::exception& e) {  // a kind this back end does not record yet
      std::printf("seeds: %s gives no program: %s\n", name.c_str(), e.what());
      continue;
    }
    for (size_t i = 0; i < model->sequences().size(); ++i) {
      const ByteView p = model->sequences()[i]->program();
      if (!p.data) continue;  // run in software
      write(root / "program", name + "-" + std::to_string(i), p.data, p.size);
      ++programs;
    }
  }
  {  // learning memories: the learning layer's image as an FNP2 holds it, and behind an FNP3's two words
    const auto model = fuzz::learning_model();
    const Variables& vars = *model->layers().back()->variables();
    const auto weights = vars.get("weights");
    const v1::FnpLearningFields fields{*vars.get("threshold_learning"), *vars.get("thswap"), 2, 8};
    std::vector<uint32_t> image(v1::fnp_sram_size(weights->shape(), 1));
    v1::format_fnp_ram(image, *weights, *vars.get("threshold"), *get_threshold_t16_from_act_steps(*vars.get("act_step")),
                       1, true, &fields);
    for (const bool fnp3 : {false, true}) {
      std::vector<uint8_t> seed{static_cast<uint8_t>(fnp3)};
      if (fnp3) seed.resize(9, 0);
      const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
      seed.insert(seed.end(), bytes, bytes + image.size() * 4);
      write(root / "learning", fnp3 ? "fnp3" : "fnp2", seed.data(), seed.size());
    }
  }
  const char* boards[] = {"fpga_v2", "vlq7300_v1+soc+flash", "qrix_v2+fail_forward=1,twonodes_v1+clock_busy=3",
                          "qrix_v1+bad_np_word+fail_create=2", ""};
  for (size_t i = 0; i < std::size(boards); ++i)
    write(root / "sim_boards", "boards-" + std::to_string(i), boards[i], std::char_traits<char>::length(boards[i]));
  std::printf("seeds: %zu models, %zu programs in %s\n", models.size(), programs, root.c_str());
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}
