#include "support/program_digest.h"

#include "backend/layer_mapping.h"

#include <nuvra/layer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace nuvra::test {

namespace {

class Fnv {
 public:
  void bytes(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ c[i]) * 0x100000001B3ull;
  }
  template <class T>
  void value(const T& v) {
    bytes(&v, sizeof v);
  }
  void text(const std::string& s) { bytes(s.data(), s.size() + 1); }
  uint64_t digest() const { return h_; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
};

std::vector<uint8_t> program_of(const Sequence& s) {
  const ByteView p = s.program();
  return p.data ? std::vector<uint8_t>(p.data, p.data + p.size) : std::vector<uint8_t>{};
}

std::filesystem::path saved_path(const std::string& key, size_t index) {
  std::string name;
  for (const char c : key) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return std::filesystem::path("pinned_programs") / (name + "." + std::to_string(index));
}

uint32_t word_at(const std::vector<uint8_t>& bytes, size_t w) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + 4 * w, std::min<size_t>(4, bytes.size() - 4 * w));
  return v;
}

// Where the sequence's program first departs from the saved one.
std::string first_difference(const std::vector<uint8_t>& pinned, const std::vector<uint8_t>& now) {
  const size_t common = std::min(pinned.size(), now.size());
  const size_t byte = std::mismatch(pinned.begin(), pinned.begin() + common, now.begin()).first - pinned.begin();
  std::ostringstream out;
  if (byte == common) {
    if (pinned.size() == now.size())
      return "the program bytes are unchanged: a pass's layers, an NP's place or a memory size differs";
    out << "the program is " << now.size() << " bytes instead of " << pinned.size() << ", the same up to there";
    return out.str();
  }
  // The program information comes first, after its 32-bit length.
  const size_t w = byte / 4, info_end = pinned.size() >= 4 ? 4 + word_at(pinned, 0) : 0;
  char line[160];
  std::snprintf(line, sizeof line,
                "first differing program word: %zu (byte %zu, in the program %s): pinned 0x%08" PRIx32
                ", now 0x%08" PRIx32,
                w, 4 * w, 4 * w < info_end ? "information" : "data", word_at(pinned, w), word_at(now, w));
  out << line;
  if (pinned.size() != now.size()) out << "; " << now.size() << " bytes instead of " << pinned.size();
  return out.str();
}

}  // namespace

uint64_t sequence_digest(const Sequence& s) {
  Fnv f;
  f.text(s.name());
  if (s.backend() != BackendType::Hardware) return f.digest();
  const std::vector<uint8_t> program = program_of(s);
  f.value(program.size());
  f.bytes(program.data(), program.size());
  for (const auto& pass : s.passes()) {
    f.text("pass");
    for (const auto& layer : pass->layers) {
      f.text(layer->get_name());
      const auto m = get_layer_mapping(*layer);
      if (!m) continue;
      const auto add = [&](const hw::Component& c) {
        f.value(c.type);
        f.value(c.ident);
        f.value(c.mem_info);
      };
      if (m->nps)
        for (const auto& c : *m->nps) add(c);
      for (const auto& c : m->skipdma_stores) add(c);
      for (const auto& c : m->skipdma_loads) add(c);
    }
  }
  return f.digest();
}

uint64_t mapping_digest(const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error) {
  Fnv f;
  for (const auto& s : sequences) f.value(sequence_digest(*s));
  f.text(error);
  return f.digest();
}

std::string pinned_row(uint64_t seed, int blocks) {
  std::string row = "{";
  row += std::to_string(seed);
  row += ", ";
  row += std::to_string(blocks);
  return row;
}

void expect_pinned(const std::string& table, const std::string& row,
                   const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error,
                   const PinnedMapping& pinned) {
  std::vector<uint64_t> digests;
  for (const auto& s : sequences) digests.push_back(sequence_digest(*s));
  if (std::getenv("NUVRA_PRINT_DIGESTS")) {
    std::printf("    %s, {{", row.c_str());
    for (size_t i = 0; i < digests.size(); ++i) std::printf("%s0x%016" PRIx64, i ? ", " : "", digests[i]);
    std::printf("}, \"%s\"}},\n", error.c_str());
    return;
  }
  const std::string key = table + " " + row + "}";
  SCOPED_TRACE(key);
  EXPECT_EQ(error, pinned.error);
  EXPECT_EQ(digests.size(), pinned.sequences.size()) << "sequences";
  bool same = error == pinned.error && digests.size() == pinned.sequences.size();
  for (size_t i = 0; i < std::min(digests.size(), pinned.sequences.size()); ++i) {
    if (digests[i] == pinned.sequences[i]) continue;
    same = false;
    std::string where = "(no saved bytes: run this test once on code that matches the pins)";
    std::ifstream in(saved_path(key, i), std::ios::binary);
    if (in) where = first_difference({std::istreambuf_iterator<char>(in), {}}, program_of(*sequences[i]));
    ADD_FAILURE() << "sequence " << i << " (" << sequences[i]->name() << ") differs from its pin: " << where;
  }
  if (!same) return;
  std::error_code ec;
  std::filesystem::create_directories("pinned_programs", ec);
  for (size_t i = 0; i < sequences.size(); ++i) {
    const std::vector<uint8_t> program = program_of(*sequences[i]);
    std::ofstream(saved_path(key, i), std::ios::binary).write(reinterpret_cast<const char*>(program.data()),
                                                                static_cast<std::streamsize>(program.size()));
  }
}

}  // namespace nuvra::test
