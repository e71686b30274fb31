// Digests that pin what a map call produced, one per sequence, so that a change of the map
// driver, the recorders or the serializer that alters any byte, cut or memory size is caught and
// named: the sequence, and the first program word that differs from the bytes saved by the last
// run that matched the pins.
#pragma once

#include <nuvra/backend.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

// A 64-bit FNV-1a digest of one sequence: its name and, for a hardware sequence, its program
// bytes, its passes' layers and every component's place and memory sizes.
uint64_t sequence_digest(const Sequence& sequence);

// The digests of every sequence, then the text of the error the call ended with, as one digest.
uint64_t mapping_digest(const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error);

// What a generated model is pinned to: one digest per sequence and the error text, if any.
struct PinnedMapping {
  std::vector<uint64_t> sequences;
  std::string error;
};

// Compares a map call's outcome with its pins through gtest failures. A sequence that differs is
// named, with the first differing program word when an earlier run under the same working
// directory saved that sequence's bytes (every match saves them, under "pinned_programs").
// `table` names the pin table; `row` is the model's row in it up to its pins (pinned_row).
// With NUVRA_PRINT_DIGESTS set, the whole row is printed instead, ready for the table.
// "{seed, blocks": the row of a generated model up to its pins.
std::string pinned_row(uint64_t seed, int blocks);

void expect_pinned(const std::string& table, const std::string& row,
                   const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error,
                   const PinnedMapping& pinned);

}  // namespace nuvra::test
