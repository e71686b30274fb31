// Reproducible first-generation models: an HRC or plain input of 1 to 4 bits, standard and
// separable CNP layers of every weight width, kernel, stride and pooling the checker takes, split
// by width and by filters, FullyConnected heads with or without activation, and a last layer that
// learns. A seed always gives the same model.
#pragma once

#include <nuvra/model.h>

#include <cstdint>
#include <memory>

namespace nuvra::test {

// `blocks` building blocks after the input layer, drawn from `seed`; variables filled.
std::unique_ptr<Model> generated_v1_model(uint64_t seed, int blocks);

}  // namespace nuvra::test
