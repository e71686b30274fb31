// Reading a hardware program back in tests: split it, verify both parts, and check every span
// against the words it must point at.
#pragma once

#include "support/fake_recorders.h"

#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nuvra::test {

struct ProgramView {
  uint32_t info_size = 0;  // I: bytes after the information part's prefix
  uint32_t data_size = 0;  // D: bytes after the data part's prefix
  const uint8_t* data_part = nullptr;  // first byte of the data part's size prefix
  const fb::ProgramInfo* info = nullptr;
  const fb::ProgramData* data = nullptr;
};

// Throws std::runtime_error with a reason when the bytes are not two verified, size-prefixed
// parts filling the program exactly, each a multiple of 4 bytes.
ProgramView open_program(const std::vector<uint8_t>& program);
// The view points into the bytes: they must outlive it.
ProgramView open_program(std::vector<uint8_t>&&) = delete;

// Every span of the information part, in order, against the program data: each track span
// points at exactly its track's words, spans are 4-aligned and do not overlap, counts match.
// Returns "" when all holds, else the first fault.
std::string check_spans(const ProgramView& view);

// Every skip-DMA load of the program information against its stores: a load reads what a store of
// its own pass or an earlier one keeps under the same index, with the same TNP-B flag and frame
// count, and every store is read by a load of its pass or a later one. Returns "" when all pair,
// else the first fault.
std::string check_skipdma_pairs(const ProgramView& view);

// The words of the record at (pass, record) of the program data.
KeptRecord read_record(const fb::Record* record);

// Whether the record holds exactly the kept words (tracks and FNP2 filters track).
bool same_record(const fb::Record* record, const KeptRecord& kept);

}  // namespace nuvra::test
