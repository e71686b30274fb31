// SRAM images of the HRC, built from a layer's tensors; shared by both IP generations. Each
// function returns the 32-bit words of one image in load order (the weights: three images).
// A tensor of another element family, or shorter than the image needs, panics; a value that
// does not fit its packed field panics with "%d cannot fit in a %d bits (un)signed integer".
#pragma once

#include <nuvra/tensor.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvra {

// Weights of one SRAM each: R, G, B (input channels 0, 1, 2), or a one-channel image spread
// over them. A list may be empty.
using HrcWeightImages = std::array<std::vector<uint32_t>, 3>;

// "weights" as (K, K, C, F) in layout 0, or (F, C, K, K) in layout 1 (the same storage), signed
// bytes. Units of three words hold up to nine weights (the first 8 in words 0-1, the ninth in
// word 2 bits 0-7), each filter starting a new unit.
// Three channels: channel c fills image c. One channel, by kernel: 3 fills the images one
// after the other (192 units, 576 words each); 4 alternates images 0 and 1 (nine weights, then
// seven); 5, 7 and 16 rotate over the three images.
// Throws std::runtime_error "Wrong number of channles at HRC recording." (channels not 1 or 3),
// "Wrong kernel_size at HRC recording." (one channel, kernel not 3, 4, 5, 7 or 16),
// "Too many filters at HRC recording." (one channel, kernel 3, more than the 576 filters the
// three SRAMs hold) and std::invalid_argument for a tensor that is not four-dimensional.
HrcWeightImages format_hrc_weights(const Dense& weights);
// The words of the three images together, refused as format_hrc_weights refuses, without making them.
size_t hrc_weight_image_words(const Dense& weights);

// One word per token element: bits 0-7 the token (signed), bits 8-12 its shift (unsigned,
// read at the token's element offset; above 31 panics).
std::vector<uint32_t> format_hrc_tokens(const Dense& tokens, const Dense& tokens_shift);

// One word per four elements of a row, the first in bits 0-7. Dimension 1 must be a multiple
// of 4 ("Coordinates are out-of-range" otherwise), so no row is read past its end.
std::vector<uint32_t> format_hrc_pos_embeddings(const Dense& pos_embedding);

// One word per element of dimension 0 of the shift: bits 0-7 the position-embedding shift
// (0..31), bits 8-15 the output scale, bits 16-21 the output shift (-32..31).
std::vector<uint32_t> format_hrc_pos_embs_params(const Dense& pos_embs_shift, const Dense& output_shift,
                                                 const Dense& output_scales);

// Two words per bias element (A, then B). A: output shift (6-bit signed) in bits 0-5, output
// scale 6-13, max-value shift 14-18, max value bit 0 in bit 19. B: max value bits 1-7 in bits
// 0-6, bias shift 7-11, bias (signed byte) 12-19. A missing max-value tensor counts as 0.
std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias);

}  // namespace nuvra
