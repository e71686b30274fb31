#include "support/program_check.h"

#include "support/program_tools.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>

namespace nuvra::test {

namespace {

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

struct Checker {
  const ProgramView& v;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // byte ranges [begin, end) of non-empty spans
  std::string fault;

  bool fail(const std::string& what) {
    if (fault.empty()) fault = what;
    return false;
  }

  // The span must point at the vector's own first element and count its elements.
  bool span(uint32_t offset, uint32_t count, const flatbuffers::Vector<uint32_t>* words, const std::string& where) {
    if (!words) return fail(where + ": no words");
    if (offset % 4 != 0) return fail(where + ": offset not 4-aligned");
    if (v.data_part + offset != reinterpret_cast<const uint8_t*>(words->data()))
      return fail(where + ": offset " + std::to_string(offset) + " is not the track's");
    if (count != words->size()) return fail(where + ": word count differs");
    if (uint64_t{offset} + 4ull * count > uint64_t{v.data_size} + 4) return fail(where + ": past the data part");
    if (count) ranges.emplace_back(offset, offset + 4 * count);
    return true;
  }

  // A track is whole blocks, at most 65535 words, and only its first block may be extended.
  bool blocks(const flatbuffers::Vector<uint32_t>* words, const std::string& where) {
    if (words->size() > program::NpTrack::kMaxWords) return fail(where + ": track too long");
    try {
      const auto list = decode_blocks(std::span<const uint32_t>(words->data(), words->size()));
      for (size_t i = 1; i < list.size(); ++i)
        if (list[i].header.xl) return fail(where + ": extended block after the first");
    } catch (const std::exception& e) {
      return fail(where + ": " + e.what());
    }
    return true;
  }

  bool disjoint() {
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
      if (ranges[i].first < ranges[i - 1].second) return fail("spans overlap");
    return true;
  }
};

}  // namespace

ProgramView open_program(const std::vector<uint8_t>& program) {
  ProgramView view;
  if (program.size() < 8) throw std::runtime_error("program shorter than two size prefixes");
  view.info_size = read_u32(program.data());
  if (view.info_size % 4 != 0) throw std::runtime_error("information part not a multiple of 4");
  if (uint64_t{view.info_size} + 8 > program.size()) throw std::runtime_error("information part runs past the end");
  view.data_part = program.data() + 4 + view.info_size;
  view.data_size = read_u32(view.data_part);
  if (view.data_size % 4 != 0) throw std::runtime_error("data part not a multiple of 4");
  if (uint64_t{view.info_size} + view.data_size + 8 != program.size())
    throw std::runtime_error("total is not 8 + I + D");

  flatbuffers::Verifier info_verifier(program.data(), 4 + view.info_size);
  if (!fb::VerifySizePrefixedProgramInfoBuffer(info_verifier)) throw std::runtime_error("information part invalid");
  flatbuffers::Verifier data_verifier(view.data_part, 4 + view.data_size, 64, 100000000);
  if (!fb::VerifySizePrefixedProgramDataBuffer(data_verifier)) throw std::runtime_error("data part invalid");
  view.info = fb::GetSizePrefixedProgramInfo(program.data());
  view.data = fb::GetSizePrefixedProgramData(view.data_part);
  return view;
}

std::string check_spans(const ProgramView& view) {
  Checker c{view, {}, {}};
  const auto* passes = view.data->passes();
  const auto* pass_spans = view.info->pass_spans();
  if (!passes || !pass_spans) return "no passes or pass spans";
  if (passes->size() != pass_spans->size()) return "pass span count differs";
  for (uint32_t p = 0; p < passes->size(); ++p) {
    const auto* records = passes->Get(p)->records();
    const auto* spans = pass_spans->Get(p)->record_spans();
    if (!records || !spans) return "pass " + std::to_string(p) + ": no records or spans";
    if (records->size() != spans->size()) return "pass " + std::to_string(p) + ": record span count differs";
    for (uint32_t r = 0; r < records->size(); ++r) {
      const std::string where = "pass " + std::to_string(p) + " record " + std::to_string(r);
      const auto* record = records->Get(r);
      const auto* rs = spans->Get(r);
      if (!record->tracks() || !rs->track_spans()) return where + ": no tracks or spans";
      if (record->tracks()->size() != rs->track_spans()->size()) return where + ": track span count differs";
      for (uint32_t t = 0; t < record->tracks()->size(); ++t) {
        const auto* s = rs->track_spans()->Get(t);
        const auto* words = record->tracks()->Get(t)->words();
        if (c.span(s->offset(), s->word_count(), words, where + " track " + std::to_string(t)))
          c.blocks(words, where + " track " + std::to_string(t));
      }
      const auto* fnp2 = record->fnp2_filters_track();
      if (bool(fnp2) != bool(rs->fnp2_span())) return where + ": FNP2 span presence differs";
      if (fnp2) {
        const auto* s = rs->fnp2_span();
        c.span(s->offset(), s->word_count(), fnp2->words(), where + " fnp2");
        if (s->np().col() != fnp2->np()->col() || s->np().row() != fnp2->np()->row() ||
            s->np().id() != fnp2->np()->id())
          return where + ": FNP2 span NP differs";
      }
    }
  }
  const auto* learning = view.data->learning_records();
  const auto* info = view.info->learning_layer();
  if (bool(learning) != bool(info)) return "learning layer presence differs";
  if (learning) {
    c.span(info->registers_a_span()->offset(), info->registers_a_span()->word_count(),
           learning->registers_a()->tracks()->Get(0)->words(), "learning registers_a");
    c.span(info->registers_b_span()->offset(), info->registers_b_span()->word_count(),
           learning->registers_b()->tracks()->Get(0)->words(), "learning registers_b");
    const auto* ws = info->weights_spans();
    if (const auto* f = learning->weights()->fnp2_filters_track()) {
      if (!ws->fnp2_span() || ws->track_spans()) return "learning weights: expected the FNP2 span alone";
      c.span(ws->fnp2_span()->offset(), ws->fnp2_span()->word_count(), f->words(), "learning weights fnp2");
    } else {
      if (ws->fnp2_span() || !ws->track_spans() || ws->track_spans()->size() != 1)
        return "learning weights: expected one track span alone";
      c.span(ws->track_spans()->Get(0)->offset(), ws->track_spans()->Get(0)->word_count(),
             learning->weights()->tracks()->Get(0)->words(), "learning weights");
    }
  }
  const auto* dummy = view.info->dummy_desc_header_span();
  if (!dummy) return "no dummy descriptor header span";
  if (dummy->word_count() != 2) return "dummy descriptor header span is not 2 words";
  if (view.data_part + dummy->offset() != reinterpret_cast<const uint8_t*>(view.data->dummy_desc_header()))
    return "dummy descriptor header span points elsewhere";
  c.disjoint();
  return c.fault;
}

KeptRecord read_record(const fb::Record* record) {
  KeptRecord k;
  if (record->tracks())
    for (const auto* t : *record->tracks()) k.tracks.emplace_back(t->words()->begin(), t->words()->end());
  if (const auto* f = record->fnp2_filters_track()) {
    program::Fnp2FiltersTrack track;
    track.np = hw::Ident{f->np()->col(), f->np()->row(), f->np()->id(), 0};
    track.words.assign(f->words()->begin(), f->words()->end());
    k.fnp2 = std::move(track);
  }
  return k;
}

bool same_record(const fb::Record* record, const KeptRecord& kept) {
  const KeptRecord r = read_record(record);
  if (r.tracks != kept.tracks) return false;
  if (bool(r.fnp2) != bool(kept.fnp2)) return false;
  if (!r.fnp2) return true;
  const auto& a = r.fnp2->np;
  const auto& b = kept.fnp2->np;
  return a.col == b.col && a.row == b.row && a.id == b.id && r.fnp2->words == kept.fnp2->words;
}

}  // namespace nuvra::test
