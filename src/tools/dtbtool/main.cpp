// dtbTool: builds an Amlogic multi-DTB container from the .dtb files of a folder. Each tree's
// entry comes from its root property amlogic-dt-id ("soc_plat_variant"); the entries are sorted,
// and every tree starts on a page boundary. The container version and page size come from the
// folder's multidtb.cfg (written by dtbSplit) when it is there, so that an unedited folder gives
// back the container it was split from byte for byte.
//
//   dtbTool [--verbose] [-p DTC_DIR] [-s PAGE_SIZE] -o OUTPUT DIR
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "file_io.h"
#include "multidtb.h"
#include "platform.h"

namespace fs = std::filesystem;
namespace md = orvex::multidtb;

namespace {

const char kUsage[] =
    "usage: dtbTool [--verbose] [-p DTC_DIR] [-s PAGE_SIZE] -o OUTPUT DIR\n"
    "Builds a multi-DTB container from the .dtb files in DIR. Each tree needs the root property\n"
    "amlogic-dt-id = \"soc_plat_variant\". Version and page size come from DIR/multidtb.cfg when\n"
    "present (otherwise version 2, pages of 2048 bytes); -s sets the page size. -p (the folder of\n"
    "dtc) is accepted for compatibility: the trees are read directly.\n";

// UTF-8 text and file-system paths (Windows paths are UTF-16).
fs::path P(const std::string& utf8) { return orvex::platform::ToPath(utf8); }
std::string U(const fs::path& p) { return orvex::platform::FromPath(p); }

int Run(int argc, char** argv) {
  bool verbose = false;
  std::string out, dir;
  uint32_t pageOverride = 0;
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--verbose" || a == "-v") verbose = true;
    else if ((a == "-p" || a == "-o" || a == "-s") && i + 1 < args.size()) {
      std::string v = args[++i];
      if (a == "-o") out = v;
      if (a == "-s") {
        if (v.empty() || v.size() > 7 || v.find_first_not_of("0123456789") != std::string::npos) {
          std::cerr << "dtbTool: bad page size " << v << "\n";
          return 2;
        }
        pageOverride = static_cast<uint32_t>(std::stoul(v));
      }
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "dtbTool: unknown option " << a << "\n" << kUsage;
      return 2;
    } else if (dir.empty()) dir = a;
    else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (out.empty() || dir.empty()) {
    std::cerr << kUsage;
    return 2;
  }

  md::Layout layout;
  std::string error, text;
  const std::string layoutPath = U(P(dir) / md::kLayoutFile);
  if (fs::exists(fs::symlink_status(P(layoutPath)))) {
    if (!md::ReadSmallFile(layoutPath, 4096, &text, &error)) throw md::Error(error);
    if (!md::ParseLayoutText(text, &layout.version, &layout.pageSize))
      throw md::Error(layoutPath + ": unusable Version or PageSize");
  }
  if (pageOverride) layout.pageSize = pageOverride;

  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(P(dir), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = U(it->path().filename());
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dtb") == 0 && it->is_regular_file()) names.push_back(name);
  }
  if (ec) throw md::Error(dir + ": " + ec.message());
  std::sort(names.begin(), names.end());
  if (names.empty()) throw md::Error(dir + ": no .dtb files");

  std::vector<md::Tree> trees;
  for (const std::string& name : names) {
    md::Tree t;
    t.source = name;
    if (!md::ReadSmallFile(U(P(dir) / P(name)), md::kMaxContainerBytes, &t.fdt, &error))
      throw md::Error(error);
    const uint32_t total = md::CheckFdt(t.fdt);
    t.fdt.resize(total);
    std::string id;
    if (!md::RootStringProperty(t.fdt, "amlogic-dt-id", &id))
      throw md::Error(name + ": the root node has no amlogic-dt-id property");
    if (!md::SplitDtId(id, &t.soc, &t.plat, &t.vari))
      throw md::Error(name + ": amlogic-dt-id \"" + id + "\" is not soc_plat_variant");
    trees.push_back(std::move(t));
  }

  std::string image;
  if (layout.version == 0) {
    // The folder came from a bare tree: it is given back as it was.
    if (trees.size() != 1) throw md::Error("a folder split from a single tree must hold exactly one .dtb");
    image = trees[0].fdt;
    if (verbose) std::cout << "Single tree " << trees[0].source << ": " << image.size() << " bytes\n";
  } else {
    image = md::Build(trees, layout);
    if (verbose) {
      const md::Container c = md::Parse(image);
      std::cout << "Multi-DTB version " << layout.version << ", page size " << layout.pageSize << ", "
                << c.entries.size() << " tree(s)\n";
      for (const md::Entry& e : c.entries)
        std::cout << "  soc '" << e.soc << "' plat '" << e.plat << "' variant '" << e.vari << "'  offset " << e.offset
                  << "  size " << e.size << "\n";
    }
  }
  if (!md::ReplaceFile(out, image, &error)) throw md::Error(error);
  if (verbose) std::cout << "Wrote " << out << ": " << image.size() << " bytes\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "dtbTool: " << e.what() << "\n";
    return 1;
  }
}
