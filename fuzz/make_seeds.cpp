// Writes the seed corpora of the fuzz targets from real models and the programs they map to:
// <dir>/<target>/<name>. Run by the build, so that no binary seed is kept in the sources.
#include "devices/system_services.h"
#include "fuzz/fuzz_support.h"

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
