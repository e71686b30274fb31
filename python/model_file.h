// The model file: the raw snappy compression of the engine's model bytes, nothing around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nuvra {

// Files longer than this are not model files.
inline constexpr uint64_t kMaxModelFileSize = 2147483647;

// The decompressed model bytes of a stream that may be followed by zero bytes, up to snappy's
// maximum compressed length for its content. Anything else (a truncated or corrupt stream, other
// trailing bytes, a length the stream cannot expand to) throws std::invalid_argument
// "Cannot uncompress corrupted serialization buffer" before anything large is allocated.
std::vector<uint8_t> uncompress_model_stream(const uint8_t* data, size_t size);

// Reads and decompresses a model file. Throws std::runtime_error "File not found." when it
// cannot be opened, "File is empty." for zero bytes, and std::runtime_error for a file that
// cannot be read or exceeds kMaxModelFileSize.
std::vector<uint8_t> read_model_file(const std::string& filename);

// Compresses `model` and writes it to a new file beside `filename`, which then replaces
// `filename`: an existing file keeps its content until the new one is complete. Throws
// std::invalid_argument "Unable to open file for saving model: <filename>" when the file cannot
// be created or replaced, std::runtime_error when writing fails.
void write_model_file(const std::string& filename, const std::vector<uint8_t>& model);

}  // namespace nuvra
