#pragma once
// Block transfer lists of full (non-incremental) OTA updates: the text of {name}.transfer.list,
// parsed and checked, and written back.
//
// A list starts with its version (1 to 4) and the count of blocks it writes; versions 2 and up
// add two stash lines. Each command after the header names a range set "N,a1,b1,a2,b2,..." of
// half-open block intervals. A full update uses only `new` (blocks taken in order from
// {name}.new.dat), `zero` and `erase`.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::transfer_list {

inline constexpr uint64_t kBlockSize = 4096;
// The largest block number a list may name: 2^32 blocks of 4 KiB, a 16 TiB partition.
inline constexpr uint64_t kMaxBlocks = uint64_t{1} << 32;
// The longest list text accepted; real lists are a few hundred kilobytes at most.
inline constexpr size_t kMaxListBytes = 64u << 20;

struct Range {
  uint64_t begin = 0;  // first block
  uint64_t end = 0;    // one past the last block
  bool operator==(const Range&) const = default;
};
using RangeSet = std::vector<Range>;

uint64_t CountBlocks(const RangeSet& ranges);

enum class Op { kErase, kNew, kZero };
const char* OpName(Op op);

struct Command {
  Op op = Op::kNew;
  RangeSet ranges;
  size_t line = 0;  // 1-based line number in the list text
};

struct TransferList {
  int version = 0;
  uint64_t total_blocks = 0;   // the header's count of written blocks
  uint64_t stash_entries = 0;  // versions 2 and up
  uint64_t stash_blocks = 0;
  std::vector<Command> commands;

  // Derived by Parse:
  uint64_t image_blocks = 0;  // the largest range end over every command: the image's size
  uint64_t new_blocks = 0;    // blocks the `new` commands take from the data file
  uint64_t zero_blocks = 0;
  uint64_t erase_blocks = 0;
};

// Parses one range-set token. The ranges must be non-empty, ascending and must not overlap, and
// no block may pass kMaxBlocks.
bool ParseRangeSet(std::string_view token, RangeSet* out, std::string* error);
std::string FormatRangeSet(const RangeSet& ranges);

// Parses and checks a whole list. Commands of incremental updates (move, bsdiff, imgdiff,
// stash, free, ...) are refused with the command and its line named. Blocks written by two
// `new`/`zero` commands are refused too. Warnings (a header count that does not match the
// commands) go to *warnings when given.
bool Parse(std::string_view text, TransferList* out, std::string* error,
           std::vector<std::string>* warnings = nullptr);

// The list text as a flashing recovery reads it (LF line ends). The derived fields are ignored.
std::string Format(const TransferList& list);

// Set algebra on ascending, non-overlapping range sets.
RangeSet Union(const RangeSet& a, const RangeSet& b);
RangeSet Subtract(const RangeSet& a, const RangeSet& b);
// Appends [begin, end) to an ascending set, merging with the last range when they touch.
void AppendRange(RangeSet* set, uint64_t begin, uint64_t end);

}  // namespace orvex::transfer_list
