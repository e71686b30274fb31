#include "support/program_tools.h"

#include <nuvra/program_data_generated.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace nuvra::test {

BlockHeader decode_header(uint32_t word0, uint32_t word1) {
  BlockHeader h;
  h.target = field(word0, 0, 4);
  h.xl = field(word0, 7, 7) != 0;
  h.ident.id = static_cast<uint8_t>(field(word0, 8, 11));
  h.ident.channel = static_cast<uint8_t>(field(word0, 12, 15));
  h.ident.row = static_cast<uint8_t>(field(word0, 16, 23));
  h.ident.col = static_cast<uint8_t>(field(word0, 24, 31));
  h.address = static_cast<uint16_t>(field(word1, 0, 15));
  h.count = h.xl ? field(word1, 16, 31) : field(word1, 16, 27);
  return h;
}

std::vector<Block> decode_blocks(std::span<const uint32_t> track) {
  std::vector<Block> blocks;
  size_t at = 0;
  while (at < track.size()) {
    if (track.size() - at < 2)
      throw std::runtime_error("block header cut short at word " + std::to_string(at));
    Block b;
    b.header = decode_header(track[at], track[at + 1]);
    b.offset = at;
    if (b.header.count > track.size() - at - 2)
      throw std::runtime_error("block at word " + std::to_string(at) + " runs past the track");
    b.data = track.subspan(at + 2, b.header.count);
    blocks.push_back(b);
    at += 2 + b.header.count;
  }
  return blocks;
}

namespace {

std::string indent(int level) { return std::string(static_cast<size_t>(2 * level), ' '); }

std::string ident_text(uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
  return std::to_string(col) + "," + std::to_string(row) + "," + std::to_string(id) + "," +
         std::to_string(channel);
}

void append_words(std::string& out, std::span<const uint32_t> words, const ListOptions& options) {
  const size_t shown = std::min(words.size(), options.max_words);
  if (!words.empty()) out += ":";
  char buf[16];
  for (size_t i = 0; i < shown; ++i) {
    std::snprintf(buf, sizeof buf, " %08" PRIx32, words[i]);
    out += buf;
  }
  if (shown < words.size()) out += " ... (+" + std::to_string(words.size() - shown) + ")";
}

void list_track(std::string& out, int level, size_t index, std::span<const uint32_t> words,
                const ListOptions& options) {
  out += indent(level) + "track " + std::to_string(index) + ": " + std::to_string(words.size()) +
         " words\n";
  std::vector<Block> blocks;
  try {
    blocks = decode_blocks(words);
  } catch (const std::exception& e) {
    out += indent(level + 1) + "malformed: " + e.what() + "\n";
    return;
  }
  for (const Block& b : blocks) {
    const auto& h = b.header;
    out += indent(level + 1) + "block np " +
           ident_text(h.ident.col, h.ident.row, h.ident.id, h.ident.channel) + " target " +
           std::to_string(h.target) + " address " + std::to_string(h.address) + " xl " +
           (h.xl ? "1" : "0") + " words " + std::to_string(h.count);
    append_words(out, b.data, options);
    out += "\n";
  }
}

void list_fnp2(std::string& out, int level, const std::string& np, std::span<const uint32_t> words,
               const ListOptions& options) {
  out += indent(level) + "fnp2 np " + np + " words " + std::to_string(words.size());
  append_words(out, words, options);
  out += "\n";
}

std::span<const uint32_t> span_of(const flatbuffers::Vector<uint32_t>* v) {
  if (v == nullptr) return {};
  return {v->data(), v->size()};
}

void list_fb_record(std::string& out, int level, const std::string& title, const fb::Record* r,
                    const ListOptions& options) {
  out += indent(level) + title + "\n";
  if (r == nullptr) return;
  if (const auto* tracks = r->tracks()) {
    for (flatbuffers::uoffset_t t = 0; t < tracks->size(); ++t)
      list_track(out, level + 1, t, span_of(tracks->Get(t)->words()), options);
  }
  if (const auto* f = r->fnp2_filters_track()) {
    const fb::NpIdent* np = f->np();
    const std::string id = np ? std::to_string(np->col()) + "," + std::to_string(np->row()) + "," +
                                    std::to_string(np->id())
                              : std::string("-");
    list_fnp2(out, level + 1, id, span_of(f->words()), options);
  }
}

}  // namespace

std::string list_record(const program::Record& record, const ListOptions& options) {
  std::string out = "record\n";
  for (size_t t = 0; t < record.tracks().size(); ++t)
    list_track(out, 1, t, record.tracks()[t].words(), options);
  if (const auto& f = record.fnp2_filters_track())
    list_fnp2(out, 1, ident_text(f->np.col, f->np.row, f->np.id, f->np.channel), f->words, options);
  return out;
}

std::string list_program_data(const uint8_t* data, size_t size, const ListOptions& options) {
  // The verifier checks alignment; copy into word-aligned storage.
  std::vector<uint32_t> aligned((size + 3) / 4);
  if (size) std::memcpy(aligned.data(), data, size);
  const auto* bytes = reinterpret_cast<const uint8_t*>(aligned.data());
  flatbuffers::Verifier verifier(bytes, size);
  if (size < 4 || !fb::VerifySizePrefixedProgramDataBuffer(verifier))
    return "invalid program data\n";
  const fb::ProgramData* pd = fb::GetSizePrefixedProgramData(bytes);

  std::string out;
  if (const auto* passes = pd->passes()) {
    for (flatbuffers::uoffset_t p = 0; p < passes->size(); ++p) {
      out += "pass " + std::to_string(p) + "\n";
      const auto* records = passes->Get(p)->records();
      if (records == nullptr) continue;
      for (flatbuffers::uoffset_t r = 0; r < records->size(); ++r)
        list_fb_record(out, 1, "record " + std::to_string(r), records->Get(r), options);
    }
  }
  if (const auto* lr = pd->learning_records()) {
    const fb::NpIdent* np = lr->np();
    out += "learning np " +
           (np ? std::to_string(np->col()) + "," + std::to_string(np->row()) + "," +
                     std::to_string(np->id())
               : std::string("-")) +
           " fnp_sram_size " + std::to_string(lr->fnp_sram_size()) + "\n";
    list_fb_record(out, 1, "registers_a", lr->registers_a(), options);
    list_fb_record(out, 1, "registers_b", lr->registers_b(), options);
    list_fb_record(out, 1, "weights", lr->weights(), options);
  }
  if (const auto* d = pd->dummy_desc_header()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "dummy_desc_header %08" PRIx32 " %08" PRIx32 "\n", d->word_0(),
                  d->word_1());
    out += buf;
  }
  return out;
}

std::string list_program(const std::vector<uint8_t>& program, const ListOptions& options) {
  if (program.size() < 4) return "invalid program\n";
  uint32_t info_size = 0;
  std::memcpy(&info_size, program.data(), 4);
  const uint64_t data_at = 4 + uint64_t{info_size};
  if (data_at > program.size()) return "invalid program\n";
  return list_program_data(program.data() + data_at, program.size() - data_at, options);
}

}  // namespace nuvra::test
