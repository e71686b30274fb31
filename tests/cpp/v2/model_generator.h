// Reproducible second-generation models of every shape the map driver meets: chains long
// enough for several passes or sequences, splits by width and by filters, skip connections
// that cross pass and sequence ends, dense heads, temporal layers and ViT blocks. A seed always
// gives the same model.
#pragma once

#include "support/program_digest.h"

#include <nuvra/backend.h>
#include <nuvra/model.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

// `blocks` building blocks after the input layer, drawn from `seed`; variables filled.
std::unique_ptr<Model> generated_model(uint64_t seed, int blocks);

// Chains of `blocks` blocks around TNP-B layers (BufferTempConv, DepthwiseBufferTempConv) drawn
// from `seed`, mixed with CNP layers and skip connections over a TNP-B layer; variables filled.
std::unique_ptr<Model> temporal_model(uint64_t seed, int blocks);

// A Stem, then one to three ViT encoder blocks, the last of which may extract tokens and classify;
// for a device whose mesh has a ViT block.
std::unique_ptr<Model> vit_model(uint64_t seed);

// An InputConv2D of `channels` channels (2 make its recording fail) over a width x width input,
// then `layers` 3x3 Conv2D layers of 128 filters, each so large that a pass holds only two or
// three; with `skip` > 0 an Add joins the first of them to the one `skip` layers later, a branch
// that crosses passes.
std::unique_ptr<Model> wide_layers_model(int width, int layers, int skip, int channels);

}  // namespace nuvra::test
