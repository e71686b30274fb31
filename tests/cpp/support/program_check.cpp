#include "support/program_check.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace nuvra::test {

namespace {

// Records the first fault and the byte ranges [begin, end) of the non-empty spans.
struct Checker {
  const ProgramView& v;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  std::string fault;

  bool fail(const std::string& what) {
    if (fault.empty()) fault = what;
    return false;
  }

  // The span must point at the vector's own first element and count its elements.
  bool span(uint32_t offset, uint32_t count, const flatbuffers::Vector<uint32_t>* words, const std::string& where) {
    if (!words) return fail(where + ": no words");
    if (offset % 4 != 0 || v.data_part + offset != reinterpret_cast<const uint8_t*>(words->data()))
      return fail(where + ": offset " + std::to_string(offset) + " is not the track's");
    if (count != words->size()) return fail(where + ": word count differs");
    if (uint64_t{offset} + 4ull * count > uint64_t{v.data_size} + 4) return fail(where + ": past the data part");
    if (count) ranges.emplace_back(offset, offset + 4 * count);
    return true;
  }
  template <class S>
  bool span(const S* s, const flatbuffers::Vector<uint32_t>* words, const std::string& where) {
    return s ? span(s->offset(), s->word_count(), words, where) : fail(where + ": no span");
  }
};

}  // namespace

ProgramView open_program(const std::vector<uint8_t>& program) {
  ProgramView view;
  if (program.size() < 8) throw std::runtime_error("program shorter than two size prefixes");
  std::memcpy(&view.info_size, program.data(), 4);
  if (view.info_size % 4 != 0 || uint64_t{view.info_size} + 8 > program.size())
    throw std::runtime_error("bad information size");
  view.data_part = program.data() + 4 + view.info_size;
  std::memcpy(&view.data_size, view.data_part, 4);
  if (view.data_size % 4 != 0 || uint64_t{view.info_size} + view.data_size + 8 != program.size())
    throw std::runtime_error("bad data size: the total is not 8 + I + D");
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
  if (!passes || !pass_spans || passes->size() != pass_spans->size()) return "pass spans differ from the passes";
  for (uint32_t p = 0; p < passes->size(); ++p) {
    const auto* records = passes->Get(p)->records();
    const auto* spans = pass_spans->Get(p)->record_spans();
    if (!records || !spans || records->size() != spans->size())
      return "pass " + std::to_string(p) + ": record spans differ from the records";
    for (uint32_t r = 0; r < records->size(); ++r) {
      const std::string where = "pass " + std::to_string(p) + " record " + std::to_string(r);
      const auto* record = records->Get(r);
      const auto* rs = spans->Get(r);
      if (!record->tracks() || !rs->track_spans() || record->tracks()->size() != rs->track_spans()->size())
        return where + ": track spans differ from the tracks";
      for (uint32_t t = 0; t < record->tracks()->size(); ++t)
        c.span(rs->track_spans()->Get(t), record->tracks()->Get(t)->words(), where + " track " + std::to_string(t));
      const auto* fnp2 = record->fnp2_filters_track();
      if (bool(fnp2) != bool(rs->fnp2_span())) return where + ": FNP2 span presence differs";
      if (!fnp2) continue;
      c.span(rs->fnp2_span(), fnp2->words(), where + " fnp2");
      const fb::NpIdent &a = rs->fnp2_span()->np(), &b = *fnp2->np();
      if (a.col() != b.col() || a.row() != b.row() || a.id() != b.id()) return where + ": FNP2 span NP differs";
    }
  }
  const auto* learning = view.data->learning_records();
  const auto* info = view.info->learning_layer();
  if (bool(learning) != bool(info)) return "learning layer presence differs";
  if (learning) {
    c.span(info->registers_a_span(), learning->registers_a()->tracks()->Get(0)->words(), "learning registers_a");
    c.span(info->registers_b_span(), learning->registers_b()->tracks()->Get(0)->words(), "learning registers_b");
    const auto* ws = info->weights_spans();
    // FNP2 weights have the filters span alone, others the spans of all their tracks alone.
    const auto* f = learning->weights()->fnp2_filters_track();
    const auto* tracks = learning->weights()->tracks();
    if (bool(ws->fnp2_span()) != bool(f) || bool(ws->track_spans()) == bool(f) ||
        (!f && (!tracks || ws->track_spans()->size() != tracks->size())))
      return "learning weights: expected the FNP2 span or a span of every track alone";
    if (f) c.span(ws->fnp2_span(), f->words(), "learning weights fnp2");
    for (uint32_t t = 0; !f && t < tracks->size(); ++t)
      c.span(ws->track_spans()->Get(t), tracks->Get(t)->words(), "learning weights track " + std::to_string(t));
  }
  const auto* dummy = view.info->dummy_desc_header_span();
  if (!dummy || dummy->word_count() != 2 ||
      view.data_part + dummy->offset() != reinterpret_cast<const uint8_t*>(view.data->dummy_desc_header()))
    return "the dummy descriptor header span is not the header's two words";
  std::sort(c.ranges.begin(), c.ranges.end());
  for (size_t i = 1; i < c.ranges.size(); ++i)
    if (c.ranges[i].first < c.ranges[i - 1].second) c.fail("spans overlap");
  return c.fault;
}

std::string check_skipdma_pairs(const ProgramView& view) {
  struct Entry {
    uint32_t pass;
    const fb::SKipDmaInfoTrack* track;
  };
  std::vector<Entry> stores, loads;
  const auto* pass_spans = view.info->pass_spans();
  for (uint32_t p = 0; pass_spans && p < pass_spans->size(); ++p) {
    if (const auto* s = pass_spans->Get(p)->skipdma_stores())
      for (const auto* t : *s) stores.push_back({p, t});
    if (const auto* l = pass_spans->Get(p)->skipdma_loads())
      for (const auto* t : *l) loads.push_back({p, t});
  }
  const auto pairs = [](const Entry& store, const Entry& load) {
    return store.pass <= load.pass && store.track->index() == load.track->index() &&
           store.track->tnp_b() == load.track->tnp_b() && store.track->frames() == load.track->frames();
  };
  const auto where = [](const char* what, const Entry& e) {
    return std::string(what) + " of index " + std::to_string(e.track->index()) + " in pass " + std::to_string(e.pass);
  };
  for (const Entry& load : loads)
    if (std::none_of(stores.begin(), stores.end(), [&](const Entry& s) { return pairs(s, load); }))
      return where("skip-DMA load", load) + " reads no store";
  for (const Entry& store : stores)
    if (std::none_of(loads.begin(), loads.end(), [&](const Entry& l) { return pairs(store, l); }))
      return where("skip-DMA store", store) + " is never loaded";
  return "";
}

KeptRecord read_record(const fb::Record* record) {
  KeptRecord k;
  if (record->tracks())
    for (const auto* t : *record->tracks()) k.tracks.emplace_back(t->words()->begin(), t->words()->end());
  if (const auto* f = record->fnp2_filters_track())
    k.fnp2 = program::Fnp2FiltersTrack{hw::Ident{f->np()->col(), f->np()->row(), f->np()->id(), 0},
                                       {f->words()->begin(), f->words()->end()}};
  return k;
}

// The NP of an FNP2 filters track has no channel: it is compared without it.
bool same_record(const fb::Record* record, const KeptRecord& kept) {
  const KeptRecord r = read_record(record);
  if (r.tracks != kept.tracks || bool(r.fnp2) != bool(kept.fnp2)) return false;
  if (!kept.fnp2) return true;
  hw::Ident np = kept.fnp2->np;
  np.channel = 0;
  return r.fnp2->np == np && r.fnp2->words == kept.fnp2->words;
}

}  // namespace nuvra::test
