#include "backend/mapper_rig.h"
#include "support/model_builders.h"

#include <nuvra/layers.h>
#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;
using test::Params;

void fill(Layer& layer, uint32_t seed) {
  Variables& vars = *layer.variables();
  auto put = [&](const char* name, int lo, int hi) {
    if (!vars.has(name)) return;
    auto t = vars.get(name);
    const int span = hi - lo + 1;
    for (size_t i = 0; i < t->size(); ++i) {
      const int v = lo + static_cast<int>((i * 7 + seed) % span);
      if (t->type() == TensorType::int8) t->set<int8_t>(i, static_cast<int8_t>(v));
      else t->set<uint8_t>(i, static_cast<uint8_t>(v));
    }
  };
  put("weights", -7, 7);
  put("input_shift", 0, 3);
  put("output_scales", 1, 200);
  put("bias", -20, 20);
  put("bias_shift", 0, 7);
  put("output_shift", -3, 1);
  put("max_value", 1, 255);
  put("max_value_shift", 0, 7);
  put("a_shift", 1, 1);
  put("b_shift", 1, 1);
  if (layer.params()->layer_type() == LayerType::Add) put("output_shift", 0, 0);
}

TEST(EndToEndFuzz, AcceptedIsRecordable) {
  std::mt19937 rng(7);
  auto pick = [&](std::vector<int> v) { return v[rng() % v.size()]; };
  auto device = make_virtual_device(versions::FPGA_v2, test::discovered_mesh("fpga_v2"));
  std::map<std::string, int> outcomes;
  int n = 0;
  for (int i = 0; i < 1800; ++i) {
    const int kind = i % 9;
    ModelBuilder b;
    Params p;
    LayerType type;
    int w = pick({5, 8, 16, 33, 64, 100, 130, 7}), h = pick({5, 8, 16, 17, 64, 9}), c = pick({1, 3, 4, 16, 64, 200});
    std::string desc;
    if (kind >= 6) {
      b.input(w, h, c);
      type = LayerType::Conv2D;
      const int k = pick({1, 3, 5, 7});
      Params q = {{"filters", pick({4, 16, 64, 300})}, {"kernel_size", k}, {"kernel_stride", pick({1, 2})}};
      if (kind == 8) { q.erase("kernel_stride"); q["kernel_size"] = pick({3, 4}); }
      for (auto& [kk, v] : q) desc += kk + "=" + std::to_string(v) + " ";
      desc += "kind=" + std::to_string(kind) + " in=" + std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(c);
      try {
        if (kind == 6) {
          b.add(LayerType::Conv2D, q, "x").add(LayerType::Dense1D, {{"units", pick({2, 10, 300})}}, "d");
        } else if (kind == 7) {
          b.add(LayerType::Conv2D, q, "x").add(LayerType::Conv2D, {{"filters", q["filters"]}, {"kernel_size", pick({1, 3})}}, "y")
              .add(LayerType::Add, {}, "add", {"x", "y"}).add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "z");
        } else {
          b.add(LayerType::Conv2DTranspose, q, "x").add(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", pick({3, 4})}}, "y")
              .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "z");
        }
      } catch (const std::exception&) {
        outcomes["build"]++;
        continue;
      }
    } else if (kind == 5) {
      type = LayerType::InputConv2D;
      p = {{"input_width", w}, {"input_height", h}, {"input_channels", pick({1, 3, 3, 2, 4})}, {"filters", pick({1, 8, 64, 512})},
           {"kernel_size", pick({3, 4, 5, 7})}, {"kernel_stride", pick({1, 2, 3})}, {"padding", pick({0, 1})},
           {"pool_type", pick({0, 1, 2})}, {"pool_size", pick({1, 2, 3, -1})}, {"pool_stride", pick({1, 2})}};
    } else {
      b.input(w, h, c);
      const int t = kind;
      type = t == 0 ? LayerType::Conv2D : t == 1 ? LayerType::DepthwiseConv2D : t == 2 ? LayerType::Conv2DTranspose
             : t == 3 ? LayerType::DepthwiseConv2DTranspose : LayerType::Dense1D;
      if (type == LayerType::Dense1D) {
        p = {{"units", pick({1, 10, 100, 1000})}};
      } else {
        p = {{"kernel_size", pick({1, 3, 4, 5, 7})}};
        if (type == LayerType::Conv2D || type == LayerType::Conv2DTranspose) p["filters"] = pick({1, 4, 17, 64, 300});
        if (type == LayerType::Conv2D || type == LayerType::DepthwiseConv2D) {
          p["kernel_stride"] = pick({1, 2});
          p["padding"] = pick({0, 1, 1});
          p["pool_type"] = pick({0, 0, 1, 2});
          p["pool_size"] = pick({1, 2, 3, -1});
        }
      }
      const int act = pick({0, 1, 1});
      p["activation"] = act;
      p["output_bits"] = act ? pick({1, 2, 4, 8}) : pick({8, 16, 32});
    }
    if (kind < 6) {
    for (auto& [k, v] : p) desc += k + "=" + std::to_string(v) + " ";
    desc += "in=" + std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(c);
    try {
      b.add(type, p, "x");
      if (type != LayerType::Dense1D && p["output_bits"] == 8 && p["activation"]) b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
    } catch (const std::exception& e) {
      outcomes["build"]++;
      continue;
    }
    }
    for (const auto& l : b.model().layers()) fill(*l, 3);
    ++n;
    const auto t0 = std::chrono::steady_clock::now();
    struct Timer { std::chrono::steady_clock::time_point t0; std::string d; ~Timer() { auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(); if (ms > 100) std::printf("SLOW %.0f ms %s\n", ms, d.c_str()); } } timer{t0, desc};
    try {
      b.model().map(device, true, nullptr);
      outcomes["ok"]++;
    } catch (const std::exception& e) {
      std::string m = e.what();
      if (m.rfind("Error when programming", 0) == 0 || m.find("Coordinates") != std::string::npos ||
          m.find("Cannot") == 0) {
        std::printf("RECORD FAIL [%s] %s: %s\n", layer_type_name(type), desc.c_str(), m.c_str());
        outcomes["record"]++;
      } else {
        outcomes["refused: " + m.substr(0, 60)]++;
        if (m.rfind("Error when mapping", 0) != 0 && m.find("not enough NPs") == std::string::npos) std::printf("OTHER [%s] %s: %s\n", layer_type_name(type), desc.c_str(), m.c_str());
      }
    }
  }
  for (auto& [k, v] : outcomes) std::printf("%5d %s\n", v, k.c_str());
}

}  // namespace
}  // namespace nuvra::v2
