// Reproducible second-generation models of every shape the map driver meets: chains long
// enough for several passes or sequences, splits by width and by filters, skip connections
// that cross pass and sequence ends, and dense heads. A seed always gives the same model.
#pragma once

#include <nuvra/backend.h>
#include <nuvra/model.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

// `blocks` building blocks after the input layer, drawn from `seed`; variables filled.
std::unique_ptr<Model> generated_model(uint64_t seed, int blocks);

// An InputConv2D of `channels` channels (2 make its recording fail) over a width x width input,
// then `layers` 3x3 Conv2D layers of 128 filters, each so large that a pass holds only two or
// three; with `skip` > 0 an Add joins the first of them to the one `skip` layers later, a branch
// that crosses passes.
std::unique_ptr<Model> wide_layers_model(int width, int layers, int skip, int channels);

// A 64-bit FNV-1a digest of what a map call produced: each sequence's name and, for hardware
// sequences, its program bytes, its passes' layers and every component's place and memory sizes;
// then the text of the error the call ended with, if any.
uint64_t mapping_digest(const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error);

}  // namespace nuvra::test
