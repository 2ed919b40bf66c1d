// libFuzzer target: the fuzz input is a device-tree image as dtbSplit gets it (a multi-DTB
// container, its gzip form or a bare tree). It is parsed, every tree's root id is read, and the
// container is rebuilt from its trees and parsed again, as dtbTool does. Only
// orvex::multidtb::Error may come out; anything else (a crash, a sanitizer report, a leak, a
// rebuilt container that does not parse) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "multidtb.h"

namespace md = orvex::multidtb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    // A small limit keeps each run fast; the limit itself is what is tested.
    if (md::IsGzip(bytes)) bytes = md::Gunzip(bytes, 1 << 20);
    std::string id;
    if (md::IsFdt(bytes)) {
      md::RootStringProperty(bytes, "amlogic-dt-id", &id);
      return 0;
    }
    const md::Container c = md::Parse(bytes);
    std::vector<md::Tree> trees;
    for (const md::Entry& e : c.entries) {
      std::string name = md::TreeFileName(e);
      if (name.find('/') != std::string::npos || name[0] == '.') std::abort();
      md::Tree t{e.soc, e.plat, e.vari, std::string(md::TreeBytes(bytes, e)), name};
      if (md::RootStringProperty(t.fdt, "amlogic-dt-id", &id)) md::SplitDtId(id, &t.soc, &t.plat, &t.vari);
      trees.push_back(std::move(t));
    }
    std::string rebuilt;
    try {
      rebuilt = md::Build(trees, {c.version, md::GuessPageSize(c)});
    } catch (const md::Error&) {
      return 0;  // duplicate or overlong ids: refused, as dtbTool refuses them
    }
    if (md::Parse(rebuilt).entries.size() != trees.size()) std::abort();
  } catch (const md::Error&) {
  }
  return 0;
}
