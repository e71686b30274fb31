#include "backend/hardware_sequence.h"
#include "backend/layer_mapping.h"
#include "backend/mapper_rig.h"
#include "support/model_builders.h"
#include "support/program_tools.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;

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

TEST(EndToEndProbe, Main) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3},
         {"kernel_stride", 2}},
        "hrc")
      .add(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 3}}, "c1")
      .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}}, "dw")
      .add(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 1}}, "c2")
      .add(LayerType::Add, {}, "add", {"dw", "c2"})
      .add(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 3}, {"kernel_stride", 2}}, "c3")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  uint32_t seed = 1;
  for (const auto& l : b.model().layers()) fill(*l, seed++);
  auto device = make_virtual_device(versions::FPGA_v2, test::discovered_mesh("fpga_v2"));
  b.model().map(device, true, nullptr);
  for (const auto& s : b.model().sequences()) {
    std::printf("%s passes %zu\n", s->name().c_str(), s->passes().size());
    for (const auto& p : s->passes())
      for (const auto& l : p->layers) {
        auto m = get_layer_mapping(*l);
        std::printf("  %s id %d next %d nps %zu stores %zu loads %zu\n", l->get_name().c_str(), m ? m->id : -1,
                    m ? m->next_id : -1, m && m->nps ? m->nps->size() : 0, m ? m->skipdma_stores.size() : 0,
                    m ? m->skipdma_loads.size() : 0);
        if (m && m->nps)
          for (auto& c : *m->nps)
            std::printf("    type %u %s ch %d mem %u %u %u\n", unsigned(c.type), c.ident.to_string().c_str(),
                        c.ident.channel, c.mem_info.input_size, c.mem_info.weight_size, c.mem_info.external_size);
      }
    const auto prog = s->program();
    std::vector<uint8_t> bytes(prog.data, prog.data + prog.size);
    std::printf("%s\n", test::list_program(bytes, {4}).c_str());
  }
}

}  // namespace
}  // namespace nuvra::v2
