#include "transfer_list/transfer_list.h"

#include <algorithm>

namespace orvex::transfer_list {

namespace {

// A decimal number of at most 19 digits, nothing else.
bool ParseNumber(std::string_view s, uint64_t* out) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string LineText(size_t line) { return "line " + std::to_string(line) + ": "; }

bool IsIncrementalCommand(std::string_view w) {
  for (const char* c : {"move", "bsdiff", "imgdiff", "stash", "free", "compute_hash_tree"})
    if (w == c) return true;
  return false;
}

}  // namespace

uint64_t CountBlocks(const RangeSet& ranges) {
  uint64_t n = 0;
  for (const Range& r : ranges) n += r.end - r.begin;
  return n;
}

const char* OpName(Op op) {
  switch (op) {
    case Op::kErase: return "erase";
    case Op::kNew: return "new";
    case Op::kZero: return "zero";
  }
  return "?";
}

bool ParseRangeSet(std::string_view token, RangeSet* out, std::string* error) {
  out->clear();
  size_t comma = token.find(',');
  uint64_t count = 0;
  if (comma == std::string_view::npos || !ParseNumber(token.substr(0, comma), &count)) {
    *error = "malformed range set '" + std::string(token.substr(0, 40)) + "'";
    return false;
  }
  if (count == 0 || count % 2 != 0) {
    *error = "range set has an odd or zero count of block numbers (" + std::to_string(count) + ")";
    return false;
  }
  // Count the numbers before trusting the header, so that a huge count allocates nothing.
  const size_t numbers = static_cast<size_t>(std::count(token.begin(), token.end(), ','));
  if (numbers != count) {
    *error = "range set announces " + std::to_string(count) + " block numbers but holds " + std::to_string(numbers);
    return false;
  }
  out->reserve(count / 2);
  std::string_view rest = token.substr(comma + 1);
  uint64_t previous_end = 0;
  for (uint64_t i = 0; i < count / 2; ++i) {
    uint64_t v[2];
    for (uint64_t& x : v) {
      size_t next = rest.find(',');
      std::string_view num = rest.substr(0, next);
      if (!ParseNumber(num, &x)) {
        *error = "malformed block number '" + std::string(num.substr(0, 24)) + "' in range set";
        return false;
      }
      rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    }
    if (v[0] >= v[1]) {
      *error = "empty or reversed range " + std::to_string(v[0]) + "-" + std::to_string(v[1]);
      return false;
    }
    if (v[1] > kMaxBlocks) {
      *error = "range " + std::to_string(v[0]) + "-" + std::to_string(v[1]) + " passes the largest partition (" +
               std::to_string(kMaxBlocks) + " blocks)";
      return false;
    }
    if (!out->empty() && v[0] < previous_end) {
      *error = "ranges overlap or decrease at " + std::to_string(v[0]) + "-" + std::to_string(v[1]);
      return false;
    }
    out->push_back({v[0], v[1]});
    previous_end = v[1];
  }
  return true;
}

std::string FormatRangeSet(const RangeSet& ranges) {
  std::string s = std::to_string(ranges.size() * 2);
  for (const Range& r : ranges) {
    s += ',';
    s += std::to_string(r.begin);
    s += ',';
    s += std::to_string(r.end);
  }
  return s;
}

bool Parse(std::string_view text, TransferList* out, std::string* error, std::vector<std::string>* warnings) {
  *out = TransferList{};
  if (text.size() > kMaxListBytes) {
    *error = "the transfer list is too large (" + std::to_string(text.size()) + " bytes)";
    return false;
  }
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }

  auto headerNumber = [&](size_t index, const char* what, uint64_t* v) {
    if (index >= lines.size() || !ParseNumber(lines[index], v)) {
      *error = LineText(index + 1) + "expected " + what + ", found '" +
               std::string(index < lines.size() ? lines[index].substr(0, 40) : "end of file") + "'";
      return false;
    }
    return true;
  };
  uint64_t version = 0;
  if (!headerNumber(0, "the transfer list version", &version)) return false;
  if (version < 1 || version > 4) {
    *error = "unsupported transfer list version " + std::to_string(version) + " (1 to 4 are known)";
    return false;
  }
  out->version = static_cast<int>(version);
  if (!headerNumber(1, "the count of blocks written", &out->total_blocks)) return false;
  size_t first = 2;
  if (version >= 2) {
    if (!headerNumber(2, "the count of stash entries", &out->stash_entries)) return false;
    if (!headerNumber(3, "the count of stashed blocks", &out->stash_blocks)) return false;
    first = 4;
  }

  for (size_t i = first; i < lines.size(); ++i) {
    std::vector<std::string_view> w = Words(lines[i]);
    if (w.empty()) continue;
    Command c;
    c.line = i + 1;
    if (w[0] == "new") c.op = Op::kNew;
    else if (w[0] == "zero") c.op = Op::kZero;
    else if (w[0] == "erase") c.op = Op::kErase;
    else if (IsIncrementalCommand(w[0])) {
      *error = LineText(c.line) + "command '" + std::string(w[0]) +
               "' belongs to an incremental update; only full updates (new, zero, erase) can be rebuilt";
      return false;
    } else {
      *error = LineText(c.line) + "unknown command '" + std::string(w[0].substr(0, 40)) + "'";
      return false;
    }
    if (w.size() != 2) {
      *error = LineText(c.line) + "'" + std::string(w[0]) + "' takes exactly one range set";
      return false;
    }
    std::string rsError;
    if (!ParseRangeSet(w[1], &c.ranges, &rsError)) {
      *error = LineText(c.line) + rsError;
      return false;
    }
    const uint64_t blocks = CountBlocks(c.ranges);
    if (c.op == Op::kNew) out->new_blocks += blocks;
    if (c.op == Op::kZero) out->zero_blocks += blocks;
    if (c.op == Op::kErase) out->erase_blocks += blocks;
    out->image_blocks = std::max(out->image_blocks, c.ranges.back().end);
    out->commands.push_back(std::move(c));
  }

  // A block written twice would make the result depend on the order of the commands, which the
  // rebuilt image cannot honour; a full update never does it.
  struct Written {
    Range r;
    size_t line;
  };
  std::vector<Written> written;
  for (const Command& c : out->commands)
    if (c.op != Op::kErase)
      for (const Range& r : c.ranges) written.push_back({r, c.line});
  std::sort(written.begin(), written.end(), [](const Written& a, const Written& b) { return a.r.begin < b.r.begin; });
  for (size_t i = 1; i < written.size(); ++i) {
    if (written[i].r.begin < written[i - 1].r.end) {
      const Written& a = written[i - 1];
      const Written& b = written[i];
      *error = "blocks " + std::to_string(b.r.begin) + "-" + std::to_string(std::min(a.r.end, b.r.end)) +
               " are written twice (lines " + std::to_string(std::min(a.line, b.line)) + " and " +
               std::to_string(std::max(a.line, b.line)) + ")";
      return false;
    }
  }

  if (warnings && out->total_blocks != out->new_blocks + out->zero_blocks)
    warnings->push_back("the header counts " + std::to_string(out->total_blocks) + " blocks written, the commands " +
                        std::to_string(out->new_blocks + out->zero_blocks));
  return true;
}

std::string Format(const TransferList& list) {
  std::string s = std::to_string(list.version) + "\n" + std::to_string(list.total_blocks) + "\n";
  if (list.version >= 2) s += std::to_string(list.stash_entries) + "\n" + std::to_string(list.stash_blocks) + "\n";
  for (const Command& c : list.commands) {
    s += OpName(c.op);
    s += ' ';
    s += FormatRangeSet(c.ranges);
    s += '\n';
  }
  return s;
}

void AppendRange(RangeSet* set, uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  if (!set->empty() && set->back().end == begin) set->back().end = end;
  else set->push_back({begin, end});
}

RangeSet Union(const RangeSet& a, const RangeSet& b) {
  RangeSet all;
  all.reserve(a.size() + b.size());
  std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(all),
             [](const Range& x, const Range& y) { return x.begin < y.begin; });
  RangeSet out;
  for (const Range& r : all) {
    if (!out.empty() && r.begin <= out.back().end) out.back().end = std::max(out.back().end, r.end);
    else out.push_back(r);
  }
  return out;
}

RangeSet Subtract(const RangeSet& a, const RangeSet& b) {
  RangeSet out;
  size_t j = 0;
  for (const Range& r : a) {
    uint64_t cur = r.begin;
    while (j < b.size() && b[j].end <= cur) ++j;
    size_t k = j;
    while (k < b.size() && b[k].begin < r.end) {
      if (b[k].begin > cur) AppendRange(&out, cur, b[k].begin);
      cur = std::max(cur, b[k].end);
      ++k;
    }
    if (cur < r.end) AppendRange(&out, cur, r.end);
  }
  return out;
}

}  // namespace orvex::transfer_list
