// Model files: a snappy stream (and the zero bytes that may follow it) decompressed and read as
// model bytes; refusals are std::invalid_argument, a stream that decompresses is exactly what
// snappy itself makes of it.
#include "fuzz/fuzz_support.h"
#include "python/model_file.h"

#include <nuvra/model.h>

#include <snappy.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nuvra::ModelBytes bytes;
  try {
    bytes = nuvra::uncompress_model_stream(data, size);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  // Snappy agrees on the content of the stream without its trailing zeros.
  size_t end = size;
  while (end > 0 && data[end - 1] == 0) --end;
  std::string plain;
  bool agreed = false;
  for (size_t n = end; n <= size && !agreed; ++n)
    agreed = snappy::Uncompress(reinterpret_cast<const char*>(data), n, &plain) &&
             plain.size() == bytes.size && std::equal(plain.begin(), plain.end(), bytes.data.get(),
                                                        [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
  nuvra::fuzz::require(agreed, "the stream decompresses as snappy decompresses it");
  try {
    nuvra::Model::from_buffer(bytes.size == 0 ? nullptr : reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
