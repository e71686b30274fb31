// The model file: the raw snappy compression of the engine's model bytes, nothing around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class Model;

// Files longer than this are not model files.
inline constexpr uint64_t kMaxModelFileSize = 2147483647;

// Bytes that are written once, never zero-filled first, and aligned as the model reader wants.
struct ModelBytes {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
};

// The decompressed model bytes of a stream that may be followed by zero bytes, up to snappy's
// maximum compressed length for its content. Anything else (a truncated or corrupt stream, other
// trailing bytes, a length the stream cannot expand to) throws std::invalid_argument
// "Cannot uncompress corrupted serialization buffer"; nothing larger than the stream can expand
// to is allocated.
ModelBytes uncompress_model_stream(const uint8_t* data, size_t size);

// Reads and decompresses a model file. Throws std::runtime_error "File not found." when it
// cannot be opened, "File is empty." for zero bytes, and std::runtime_error for a file that
// cannot be read or exceeds kMaxModelFileSize.
ModelBytes read_model_file(const std::string& filename);

// Compresses the `size` model bytes at `model` and writes them to a new file beside `filename`,
// which then replaces `filename`: an existing file keeps its content until the new one is
// complete. Throws std::invalid_argument "Unable to open file for saving model: <filename>" when
// the file cannot be created or replaced, std::runtime_error when writing fails.
void write_model_file(const std::string& filename, const uint8_t* model, size_t size);

// Model.save: the model's bytes compressed straight from where they were made into the file.
void save_model_file(const Model& model, const std::string& filename);
// Model(file): a model whose variables keep their bytes in the decompressed file content.
std::unique_ptr<Model> load_model_file(const std::string& filename);

}  // namespace nuvra
