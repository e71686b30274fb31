#include "python/model_file.h"

#include <nuvra/model.h>

#include <snappy.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace nuvra {

namespace {

[[noreturn]] void corrupted() { throw std::invalid_argument("Cannot uncompress corrupted serialization buffer"); }

// One snappy element of three bytes yields at most 64 bytes: no valid stream of `size` bytes
// announces more than this.
constexpr uint64_t kMaxExpansion = 22;

// Walks the stream's elements from `pos` until they have produced `n` bytes and returns the
// offset just past the last one. Offsets of copies are left to the decompressor.
size_t stream_end(const uint8_t* p, size_t size, size_t pos, uint64_t n) {
  uint64_t produced = 0;
  while (produced < n) {
    if (pos >= size) corrupted();
    const uint8_t tag = p[pos++];
    uint64_t length = 0;
    switch (tag & 3) {
      case 0: {
        uint64_t literal = tag >> 2;
        if (literal >= 60) {
          const size_t extra = literal - 59;
          if (size - pos < extra) corrupted();
          literal = 0;
          for (size_t i = 0; i < extra; ++i) literal |= static_cast<uint64_t>(p[pos + i]) << (8 * i);
          pos += extra;
        }
        length = literal + 1;
        if (size - pos < length) corrupted();
        pos += length;
        break;
      }
      case 1:
        if (size - pos < 1) corrupted();
        pos += 1;
        length = 4 + ((tag >> 2) & 7);
        break;
      case 2:
        if (size - pos < 2) corrupted();
        pos += 2;
        length = (tag >> 2) + 1;
        break;
      default:
        if (size - pos < 4) corrupted();
        pos += 4;
        length = (tag >> 2) + 1;
        break;
    }
    produced += length;
    if (produced > n) corrupted();
  }
  return pos;
}

std::string errno_text() { return std::strerror(errno); }

}  // namespace

ModelBytes uncompress_model_stream(const uint8_t* data, size_t size) {
  const char* chars = reinterpret_cast<const char*>(data);
  size_t n = 0;
  if (data == nullptr || !snappy::GetUncompressedLength(chars, size, &n)) corrupted();
  if (static_cast<uint64_t>(n) > kMaxExpansion * size) corrupted();

  if (size > snappy::MaxCompressedLength(n)) corrupted();
  ModelBytes out{std::unique_ptr<uint8_t[]>(new uint8_t[n]), n};
  auto* const to = reinterpret_cast<char*>(out.data.get());
  // A stream that fills the input exactly, as every file written here does, decompresses at
  // once. Otherwise the stream must end before the input does, with only zeros after it.
  if (snappy::RawUncompress(chars, size, to)) return out;

  size_t header = 0;
  while (data[header] & 0x80) ++header;
  ++header;
  const size_t end = stream_end(data, size, header, n);
  for (size_t i = end; i < size; ++i)
    if (data[i] != 0) corrupted();
  if (!snappy::RawUncompress(chars, end, to)) corrupted();
  return out;
}

ModelBytes read_model_file(const std::string& filename) {
  const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("File not found.");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
    throw std::runtime_error("Cannot read model file " + filename + ": not a regular file");
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  if (length == 0) throw std::runtime_error("File is empty.");
  if (length > kMaxModelFileSize)
    throw std::runtime_error("Model file " + filename + " is too large: " + std::to_string(length) +
                             " bytes, at most " + std::to_string(kMaxModelFileSize) + " are supported");

  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
  size_t done = 0;
  while (done < length) {
    const ssize_t got = ::read(fd, buffer.get() + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error("Cannot read model file " + filename + ": " + errno_text());
    if (got == 0) throw std::runtime_error("Cannot read model file " + filename + ": it shrank while being read");
    done += static_cast<size_t>(got);
  }
  return uncompress_model_stream(buffer.get(), length);
}

void write_model_file(const std::string& filename, const uint8_t* model, size_t size) {
  namespace fs = std::filesystem;
  const auto cannot_open = [&]() { throw std::invalid_argument("Unable to open file for saving model: " + filename); };

  const std::unique_ptr<char[]> compressed(new char[snappy::MaxCompressedLength(size)]);
  size_t compressed_size = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(model), size, compressed.get(), &compressed_size);

  fs::path target(filename);
  std::error_code ec;
  // Replace what a link points at, not the link.
  if (fs::is_symlink(target, ec)) {
    fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec) target = std::move(resolved);
  }
  if (target.filename().empty()) cannot_open();

  // The file must be one that could be opened for writing in place.
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && (!S_ISREG(st.st_mode) || ::access(target.c_str(), W_OK) != 0)) cannot_open();

  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::random_device random;
  fs::path temp;
  int fd = -1;
  // Hidden and unique, beside the target so that the rename stays within one file system; the
  // stem is shortened so that the name stays within the file system's limit.
  const std::string stem = target.filename().string().substr(0, 200);
  for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
    std::string name(1, '.');
    name.append(stem).append(1, '.').append(std::to_string(random())).append(".tmp");
    temp = dir / name;
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) cannot_open();
  if (exists) (void)::fchmod(fd, st.st_mode & 07777);

  const auto fail = [&](const std::string& what) {
    const std::string reason = errno_text();
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    throw std::runtime_error("Unable to " + what + " model file " + filename + ": " + reason);
  };
  size_t done = 0;
  while (done < compressed_size) {
    const ssize_t put = ::write(fd, compressed.get() + done, compressed_size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) fail("write");
    done += static_cast<size_t>(put);
  }
  if (::fsync(fd) != 0) fail("write");
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) fail("write");
  if (::rename(temp.c_str(), target.c_str()) != 0) fail("replace");
}

void save_model_file(const Model& model, const std::string& filename) {
  model.write_buffer([&](const uint8_t* data, size_t size) { write_model_file(filename, data, size); });
}

std::unique_ptr<Model> load_model_file(const std::string& filename) {
  ModelBytes bytes = read_model_file(filename);
  const size_t size = bytes.size;
  return Model::from_buffer(std::shared_ptr<uint8_t[]>(std::move(bytes.data)), size);
}

}  // namespace nuvra
