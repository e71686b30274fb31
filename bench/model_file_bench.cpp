// Saving and loading a model file: the engine's model bytes compressed into a new file that
// replaces the old one, and read back. Baselines in the same run: snappy compression of the
// same bytes plus writing them to a file (with the same flush to disk), and reading that file
// plus decompressing it. Best of several runs.
#include "python/model_file.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <snappy.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

constexpr int kRuns = 7;

double best_ms(const std::function<void()>& action) {
  double best = 0;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    action();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (i == 0 || ms < best) best = ms;
  }
  return best;
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// Weights as trained weights look to a compressor: small values without a pattern.
void fill_weights(Layer& layer, uint64_t seed) {
  Variables* vars = layer.variables();
  if (!vars->has("weights")) return;
  const auto old = vars->get("weights");
  auto t = Dense::create(old->type(), old->shape(), old->layout());
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < t->size(); ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    t->data<int8_t>()[i] = static_cast<int8_t>(static_cast<int>(x % 15) - 7);
  }
  vars->set("weights", t);
}

// An input layer, then depthwise / pointwise pairs growing to 1024 channels: about 4 MB of
// weights.
std::unique_ptr<Model> model_of_some_megabytes() {
  auto model = Model::create();
  model->add(make(LayerType::InputConv2D,
                  {{"input_width", 64}, {"input_height", 64}, {"input_channels", 3}, {"filters", 32},
                   {"kernel_size", 3}, {"kernel_stride", 2}},
                  "in"));
  const int filters[] = {64, 128, 256, 512, 512, 1024, 1024, 1024};
  for (int i = 0; i < 8; ++i) {
    const std::string n = std::to_string(i);
    model->add(make(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw" + n));
    model->add(make(LayerType::Conv2D, {{"filters", filters[i]}, {"kernel_size", 1}}, "pw" + n));
  }
  uint64_t seed = 1;
  for (const auto& layer : model->layers()) fill_weights(*layer, seed++);
  return model;
}

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put <= 0) throw std::runtime_error("write failed");
    data += put, size -= static_cast<size_t>(put);
  }
}

}  // namespace

int main() {
  const auto model = model_of_some_megabytes();
  const std::vector<uint8_t> bytes = model->to_buffer();
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("nuvra_model_file_bench_" + std::to_string(::getpid()) + ".nvm")).string();
  const std::string plain = path + ".plain";

  // Save: the model's bytes made, compressed and written to a file that replaces the old one.
  const double save = best_ms([&] { save_model_file(*model, path); });
  size_t compressed_size = 0;
  const double compress_and_write = best_ms([&] {
    std::unique_ptr<char[]> out(new char[snappy::MaxCompressedLength(bytes.size())]);
    snappy::RawCompress(reinterpret_cast<const char*>(bytes.data()), bytes.size(), out.get(), &compressed_size);
    const int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + plain);
    write_all(fd, out.get(), compressed_size);
    ::fsync(fd);
    ::close(fd);
  });

  // Load: the file read, decompressed and rebuilt into a model.
  const double load = best_ms([&] {
    if (!load_model_file(path)) throw std::runtime_error("no model");
  });
  const double read_and_uncompress = best_ms([&] {
    const int fd = ::open(plain.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    ::fstat(fd, &st);
    std::unique_ptr<char[]> in(new char[static_cast<size_t>(st.st_size)]);
    if (::read(fd, in.get(), static_cast<size_t>(st.st_size)) != st.st_size) throw std::runtime_error("short read");
    ::close(fd);
    size_t n = 0;
    snappy::GetUncompressedLength(in.get(), static_cast<size_t>(st.st_size), &n);
    std::unique_ptr<char[]> out(new char[n]);
    if (!snappy::RawUncompress(in.get(), static_cast<size_t>(st.st_size), out.get()))
      throw std::runtime_error("bad stream");
  });
  std::filesystem::remove(path);
  std::filesystem::remove(plain);

  std::printf("A model of %zu bytes (%zu compressed) saved to and loaded from %s, best of %d runs:\n", bytes.size(),
              compressed_size, dir.c_str(), kRuns);
  std::printf("  %-26s %8.2f ms\n  %-26s %8.2f ms  (snappy compression and a flushed write)\n  save / baseline %.2fx\n",
              "save", save, "compress and write", compress_and_write, save / compress_and_write);
  std::printf("  %-26s %8.2f ms\n  %-26s %8.2f ms  (the file read and decompressed)\n  load / baseline %.2fx\n",
              "load", load, "read and decompress", read_and_uncompress, load / read_and_uncompress);
  return 0;
}
