#pragma once
// Device trees made by the installed dtc, and multi-DTB containers written here byte by byte
// from the published layout (header, entry table with byte-reversed id words, trees on page
// boundaries), independently of the tools under test.
#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace orvex::test {

// A tree with the given amlogic-dt-id (none when empty) and a model text, compiled by dtc.
inline std::string CompileDts(const std::string& dts) {
  TempDir t;
  WriteFile(t / "in.dts", dts);
  CommandResult r = RunCommand("dtc -q -I dts -O dtb -o " + ShQuote((t / "out.dtb").string()) + " " +
                               ShQuote((t / "in.dts").string()));
  return r.exit_code == 0 ? ReadFile(t / "out.dtb") : std::string();
}

inline std::string TreeSource(const std::string& dtId, const std::string& model, int extraNodes = 0) {
  std::string s = "/dts-v1/;\n/ {\n";
  if (!dtId.empty()) s += "\tamlogic-dt-id = \"" + dtId + "\";\n";
  s += "\tcompatible = \"amlogic, g12a\";\n\tmodel = \"" + model + "\";\n\t#address-cells = <1>;\n\t#size-cells = <1>;\n";
  for (int i = 0; i < extraNodes; ++i)
    s += "\tnode" + std::to_string(i) + "@" + std::to_string(0x1000 * (i + 1)) + " {\n\t\treg = <" +
         std::to_string(0x1000 * (i + 1)) + " 0x100>;\n\t\tlabel = \"block " + std::to_string(i) + "\";\n\t};\n";
  return s + "};\n";
}

inline std::string MakeTree(const std::string& dtId, const std::string& model, int extraNodes = 0) {
  return CompileDts(TreeSource(dtId, model, extraNodes));
}

struct FixtureTree {
  std::string soc, plat, vari, fdt;
};

inline void PutLe32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

inline std::string IdField(const std::string& id, size_t len) {
  std::string f = id;
  f.resize(len, ' ');
  for (size_t i = 0; i < len; i += 4) std::reverse(f.begin() + i, f.begin() + i + 4);
  return f;
}

// The container as the vendor's builder writes it: trees sorted by id, each slot padded by
// page - (length % page), so an aligned length gets a whole extra page.
inline std::string WriteContainer(uint32_t version, uint32_t page, std::vector<FixtureTree> trees) {
  std::sort(trees.begin(), trees.end(),
            [](const FixtureTree& a, const FixtureTree& b) { return std::tie(a.soc, a.plat, a.vari) < std::tie(b.soc, b.plat, b.vari); });
  const size_t idLen = version == 1 ? 4 : 16;
  auto pad = [&](uint64_t n) { return n + (page - n % page); };
  std::string out = "AML_";
  PutLe32(out, version);
  PutLe32(out, static_cast<uint32_t>(trees.size()));
  uint64_t offset = pad(12 + trees.size() * (3 * idLen + 8) + 4);
  for (const auto& t : trees) {
    out += IdField(t.soc, idLen) + IdField(t.plat, idLen) + IdField(t.vari, idLen);
    PutLe32(out, static_cast<uint32_t>(offset));
    PutLe32(out, static_cast<uint32_t>(pad(t.fdt.size())));
    offset += pad(t.fdt.size());
  }
  PutLe32(out, 0);
  out.resize(pad(out.size()), '\0');  // header, table and terminator
  for (const auto& t : trees) {
    out += t.fdt;
    out.resize(out.size() + (pad(t.fdt.size()) - t.fdt.size()), '\0');
  }
  return out;
}

}  // namespace orvex::test
