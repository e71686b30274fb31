#include "v2/tnp_vit/vit_formatters.h"

#include <nuvra/host_hooks.h>

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace nuvra {

namespace {

enum class Kind : uint8_t { shift5, sshift6, s8, u8 };

constexpr bool is_signed(Kind k) { return k == Kind::sshift6 || k == Kind::s8; }

const uint8_t* bytes_of(const Dense& t, Kind kind) {
  if (is_signed(kind)) return reinterpret_cast<const uint8_t*>(t.data<int8_t>());
  return t.data<uint8_t>();
}

// One field of a packed word: `width` bits of a value, taken from its bit `shr` on, stored from
// bit `lo` of word `word` of the group. The value is element `offset` of the group, of tensor
// `tensor` of the call.
struct Field {
  uint8_t word, tensor, offset;
  Kind kind;
  uint8_t lo, width, shr = 0;
};

// How a packer lays its values out: `group` values of each tensor fill `words` words; a last
// group of `short_group` values (0: none) is allowed and packed with its missing fields at 0.
// Layouts are constants, so the field loops below unroll.
template <size_t N>
struct Layout {
  uint8_t leading, group, words, short_group;
  std::array<Field, N> fields;
};

constexpr uint8_t kMaxTensors = 6;
using Tensors = std::array<const Dense*, kMaxTensors>;

// The packing is read from raw bytes, each tensor's family checked once.
struct Source {
  const uint8_t* bytes[kMaxTensors] = {};
  size_t n = 0;
  size_t groups = 0;  // including a short last one
  bool bad_last_group = false;  // refused once the groups before it are range-tested
};

// Types, lengths and groups; the values are range-tested as the words are built.
template <const auto& L>
Source checked_source(const Tensors& tensors) {
  Source src;
  for (const Field& f : L.fields) src.bytes[f.tensor] = bytes_of(*tensors[f.tensor], f.kind);
  src.n = tensors[L.leading]->shape()[0];
  for (const Field& f : L.fields)
    if (tensors[f.tensor]->size() < src.n) panic("Coordinates are out-of-range");
  const size_t rest = src.n % L.group;
  src.groups = (src.n + L.group - 1) / L.group;
  if (rest != 0 && rest != L.short_group) {
    if (L.short_group == 0) panic("Coordinates are out-of-range");
    src.bad_last_group = true;
    --src.groups;
  }
  return src;
}

// Builds every word, range-testing its fields in column order; stores them when `out` is given.
template <const auto& L>
void build(const Source& src, uint32_t* out) {
  for (size_t g = 0, first = 0; g < src.groups; ++g, first += L.group) {
    const bool whole = first + L.group <= src.n;
    for (uint8_t w = 0; w < L.words; ++w) {
      uint32_t word = 0;
      for (const Field& f : L.fields) {
        if (f.word != w || (!whole && first + f.offset >= src.n)) continue;
        const uint8_t byte = src.bytes[f.tensor][first + f.offset];
        const int v = is_signed(f.kind) ? static_cast<int8_t>(byte) : byte;
        if (f.kind == Kind::shift5 && v > 31) panic("%d cannot fit in a %d bits unsigned integer", v, 5);
        if (f.kind == Kind::sshift6 && (v < -32 || v > 31)) panic("%d cannot fit in a %d bits signed integer", v, 6);
        word |= ((static_cast<uint32_t>(v) >> f.shr) & ((1u << f.width) - 1)) << f.lo;
      }
      if (out) *out++ = word;
    }
  }
}

void check_out(std::span<uint32_t> out, size_t words) {
  if (out.size() != words) panic("Parameter block of %u words given %u", static_cast<unsigned>(words),
                                 static_cast<unsigned>(out.size()));
}

// The words before a last group that is refused are range-tested first, as a packer building
// word after word would.
template <const auto& L>
void refuse_bad_last_group(const Source& src) {
  if (!src.bad_last_group) return;
  build<L>(src, nullptr);
  throw std::runtime_error("Wrong shift formatting.");
}

template <const auto& L>
uint32_t word_count(const Tensors& tensors) {
  const Source src = checked_source<L>(tensors);
  refuse_bad_last_group<L>(src);
  build<L>(src, nullptr);
  return static_cast<uint32_t>(src.groups * L.words);
}

template <const auto& L>
void pack(std::span<uint32_t> out, const Tensors& tensors) {
  const Source src = checked_source<L>(tensors);
  refuse_bad_last_group<L>(src);
  check_out(out, src.groups * L.words);
  build<L>(src, out.data());
}

// Field tables, columns in the order the values are range-tested.
constexpr Layout<6> kShifts{0, 6, 1, 5, {{{0, 0, 0, Kind::shift5, 0, 5}, {0, 0, 1, Kind::shift5, 5, 5},
                                          {0, 0, 2, Kind::shift5, 10, 5}, {0, 0, 3, Kind::shift5, 15, 5},
                                          {0, 0, 4, Kind::shift5, 20, 5}, {0, 0, 5, Kind::shift5, 25, 5}}}};
constexpr Layout<4> kOutputShifts{0, 4, 1, 0, {{{0, 0, 0, Kind::sshift6, 0, 6}, {0, 0, 1, Kind::sshift6, 6, 6},
                                                {0, 0, 2, Kind::sshift6, 12, 6}, {0, 0, 3, Kind::sshift6, 18, 6}}}};
constexpr Layout<4> kShiftedValues{0, 2, 1, 0, {{{0, 0, 0, Kind::s8, 0, 8}, {0, 1, 0, Kind::shift5, 8, 5},
                                                 {0, 0, 1, Kind::s8, 13, 8}, {0, 1, 1, Kind::shift5, 21, 5}}}};
constexpr Layout<6> kSkipConnection{0, 2, 1, 0, {{{0, 0, 0, Kind::shift5, 0, 5}, {0, 1, 0, Kind::shift5, 5, 5},
                                                  {0, 2, 0, Kind::sshift6, 10, 6}, {0, 0, 1, Kind::shift5, 16, 5},
                                                  {0, 1, 1, Kind::shift5, 21, 5}, {0, 2, 1, Kind::sshift6, 26, 6}}}};
constexpr Layout<4> kPostOp{0, 1, 1, 0, {{{0, 0, 0, Kind::s8, 0, 8}, {0, 2, 0, Kind::u8, 8, 8},
                                          {0, 1, 0, Kind::shift5, 16, 5}, {0, 3, 0, Kind::sshift6, 21, 6}}}};
constexpr Layout<4> kPostOpMax{0, 1, 1, 0, {{{0, 0, 0, Kind::u8, 0, 8}, {0, 2, 0, Kind::u8, 8, 8},
                                             {0, 1, 0, Kind::shift5, 16, 5}, {0, 3, 0, Kind::sshift6, 21, 6}}}};
constexpr Layout<5> kMadNormBeta{1, 1, 1, 0, {{{0, 0, 0, Kind::shift5, 0, 5}, {0, 1, 0, Kind::s8, 5, 8},
                                               {0, 2, 0, Kind::shift5, 13, 5}, {0, 3, 0, Kind::u8, 18, 8},
                                               {0, 4, 0, Kind::sshift6, 26, 6}}}};
constexpr Layout<7> kBatchNorm{1, 1, 2, 0, {{{0, 0, 0, Kind::shift5, 0, 5}, {0, 1, 0, Kind::s8, 5, 8},
                                             {0, 2, 0, Kind::s8, 13, 8}, {0, 3, 0, Kind::shift5, 21, 5},
                                             {0, 4, 0, Kind::u8, 26, 6}, {1, 4, 0, Kind::u8, 0, 2, 6},
                                             {1, 5, 0, Kind::sshift6, 2, 6}}}};

// Four bytes in memory order, least significant first, as raw two's complement.
uint32_t pack_le32(const int8_t* p) {
  return uint32_t{static_cast<uint8_t>(p[0])} | uint32_t{static_cast<uint8_t>(p[1])} << 8 |
         uint32_t{static_cast<uint8_t>(p[2])} << 16 | uint32_t{static_cast<uint8_t>(p[3])} << 24;
}

// A signed matrix read four stored bytes at a time from element (i, j), j a multiple of 4.
struct Matrix {
  const int8_t* data = nullptr;
  size_t row = 0, column = 0;
  const int8_t* at(size_t i, size_t j) const { return data + i * row + j * column; }
};

// The bytes of rows 0..r-1 and column groups up to c must lie inside the tensor.
Matrix checked_matrix(const Dense& t, uint32_t r, uint32_t c, uint32_t group) {
  Matrix m;
  m.data = t.data<int8_t>();
  if (r == 0 || c == 0) return m;
  const Shape shape = t.shape();
  const auto& strides = t.strides();
  if (strides.size() < 2 || c % group != 0 || r > shape[0] || c > shape[1]) panic("Coordinates are out-of-range");
  m.row = strides[0];
  m.column = strides[1];
  if ((r - 1) * m.row + (c - 4) * m.column + 3 >= t.size()) panic("Coordinates are out-of-range");
  return m;
}

// `words` words of four consecutive bytes each, from element (i, j) on; contiguous rows are copied whole.
uint32_t* pack_run(uint32_t* dst, const Matrix& m, size_t i, size_t j, size_t words) {
  const int8_t* p = m.at(i, j);
  if (m.column == 1 && std::endian::native == std::endian::little) {
    std::memcpy(dst, p, words * 4);
    return dst + words;
  }
  for (size_t k = 0; k < words; ++k) *dst++ = pack_le32(p + 4 * k * m.column);
  return dst;
}

uint32_t* pack_rows(uint32_t* dst, const Matrix& m, uint32_t r, uint32_t c) {
  for (uint32_t i = 0; i < r; ++i) dst = pack_run(dst, m, i, 0, c / 4);
  return dst;
}

uint32_t matrix_words(uint32_t r, uint32_t c) { return static_cast<uint32_t>(uint64_t{r} * c / 4); }

}  // namespace

uint32_t shifts_32b_size(const Dense& shifts) { return word_count<kShifts>({&shifts}); }
void format_shifts(std::span<uint32_t> out, const Dense& shifts) { pack<kShifts>(out, {&shifts}); }

uint32_t output_shifts_32b_size(const Dense& shifts) { return word_count<kOutputShifts>({&shifts}); }
void format_output_shifts(std::span<uint32_t> out, const Dense& shifts) { pack<kOutputShifts>(out, {&shifts}); }

uint32_t shifted_values_32b_size(const Dense& values, const Dense& shifts) {
  return word_count<kShiftedValues>({&values, &shifts});
}
void format_shifted_values(std::span<uint32_t> out, const Dense& values, const Dense& shifts) {
  pack<kShiftedValues>(out, {&values, &shifts});
}

uint32_t skip_connection_shifts_32b_size(const Dense& a, const Dense& b, const Dense& output) {
  return word_count<kSkipConnection>({&a, &b, &output});
}
void format_skip_connection_shifts(std::span<uint32_t> out, const Dense& a, const Dense& b, const Dense& output) {
  pack<kSkipConnection>(out, {&a, &b, &output});
}

uint32_t post_op_variables_32b_size(const Dense& value, const Dense& value_shift, const Dense& scales,
                                    const Dense& shift) {
  return word_count<kPostOp>({&value, &value_shift, &scales, &shift});
}
void format_post_op_variables(std::span<uint32_t> out, const Dense& value, const Dense& value_shift,
                              const Dense& scales, const Dense& shift) {
  pack<kPostOp>(out, {&value, &value_shift, &scales, &shift});
}

uint32_t post_op_max_variables_32b_size(const Dense& max_value, const Dense& max_value_shift, const Dense& scales,
                                        const Dense& shift) {
  return word_count<kPostOpMax>({&max_value, &max_value_shift, &scales, &shift});
}
void format_post_op_max_variables(std::span<uint32_t> out, const Dense& max_value, const Dense& max_value_shift,
                                  const Dense& scales, const Dense& shift) {
  pack<kPostOpMax>(out, {&max_value, &max_value_shift, &scales, &shift});
}

uint32_t mad_norm_beta_32b_size(const Dense& input_shift, const Dense& beta, const Dense& beta_shift,
                                const Dense& scales, const Dense& shift) {
  return word_count<kMadNormBeta>({&input_shift, &beta, &beta_shift, &scales, &shift});
}
void format_mad_norm_beta(std::span<uint32_t> out, const Dense& input_shift, const Dense& beta,
                          const Dense& beta_shift, const Dense& scales, const Dense& shift) {
  pack<kMadNormBeta>(out, {&input_shift, &beta, &beta_shift, &scales, &shift});
}

uint32_t batch_norm_32b_size(const Dense& input_shift, const Dense& a, const Dense& b, const Dense& b_shift,
                             const Dense& scales, const Dense& shift) {
  return word_count<kBatchNorm>({&input_shift, &a, &b, &b_shift, &scales, &shift});
}
void format_batch_norm(std::span<uint32_t> out, const Dense& input_shift, const Dense& a, const Dense& b,
                       const Dense& b_shift, const Dense& scales, const Dense& shift) {
  pack<kBatchNorm>(out, {&input_shift, &a, &b, &b_shift, &scales, &shift});
}

uint32_t weights_32b_size(const Dense& weights) {
  const Shape s = weights.shape();
  checked_matrix(weights, s[0], s[1], 4);
  return matrix_words(s[0], s[1]);
}

void format_weights(std::span<uint32_t> out, const Dense& weights) {
  const Shape s = weights.shape();
  const Matrix m = checked_matrix(weights, s[0], s[1], 4);
  check_out(out, matrix_words(s[0], s[1]));
  pack_rows(out.data(), m, s[0], s[1]);
}

uint32_t qkv_weights_32b_size(const Dense& query, const Dense& key, const Dense& value) {
  const Shape s = query.shape();
  for (const Dense* t : {&query, &key, &value}) checked_matrix(*t, s[0], s[1], 24);
  return 3 * matrix_words(s[0], s[1]);
}

void format_qkv_weights(std::span<uint32_t> out, const Dense& query, const Dense& key, const Dense& value) {
  const uint32_t r = query.shape()[0], c = query.shape()[1];
  const Matrix q = checked_matrix(query, r, c, 24), k = checked_matrix(key, r, c, 24),
               v = checked_matrix(value, r, c, 24);
  check_out(out, 3 * size_t{matrix_words(r, c)});
  uint32_t* dst = out.data();
  for (uint32_t i = 0; i < r; ++i)
    for (uint32_t g = 0; g < c; g += 24) dst = pack_run(pack_run(dst, k, i, g, 6), v, i, g, 6);
  pack_rows(dst, q, r, c);
}

}  // namespace nuvra
