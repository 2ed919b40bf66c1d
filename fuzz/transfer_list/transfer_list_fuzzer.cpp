// libFuzzer target: the fuzz input is the text of a transfer list. Parsing must either refuse it
// with an error or give a list whose ranges keep every promise the rebuild relies on (ascending,
// non-empty, inside the largest partition, no block written twice, counts that add up), and that
// writes back to a text which parses to the same commands. Anything else aborts as a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transfer_list/transfer_list.h"

namespace tl = orvex::transfer_list;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tl::TransferList list;
  std::string error;
  if (!tl::Parse(text, &list, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  uint64_t news = 0, zeros = 0, maxEnd = 0;
  tl::RangeSet written;
  for (const auto& c : list.commands) {
    if (c.ranges.empty()) abort();
    uint64_t prev = 0;
    for (size_t i = 0; i < c.ranges.size(); ++i) {
      const auto& r = c.ranges[i];
      if (r.begin >= r.end || r.end > tl::kMaxBlocks || (i > 0 && r.begin < prev)) abort();
      prev = r.end;
      if (r.end > maxEnd) maxEnd = r.end;
    }
    const uint64_t n = tl::CountBlocks(c.ranges);
    if (c.op == tl::Op::kNew) news += n;
    if (c.op == tl::Op::kZero) zeros += n;
    if (c.op != tl::Op::kErase) {
      const uint64_t before = tl::CountBlocks(written);
      written = tl::Union(written, c.ranges);
      if (tl::CountBlocks(written) != before + n) abort();  // a block written twice got through
    }
  }
  if (news != list.new_blocks || zeros != list.zero_blocks || maxEnd != list.image_blocks) abort();

  tl::TransferList again;
  if (!tl::Parse(tl::Format(list), &again, &error)) abort();
  if (again.commands.size() != list.commands.size() || again.version != list.version ||
      again.total_blocks != list.total_blocks)
    abort();
  for (size_t i = 0; i < list.commands.size(); ++i)
    if (again.commands[i].op != list.commands[i].op || again.commands[i].ranges != list.commands[i].ranges) abort();
  return 0;
}
