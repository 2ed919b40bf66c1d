// dtbSplit: writes the device trees of an Amlogic multi-DTB container (version 1 or 2, plain or
// gzip-compressed) as .dtb files named soc-plat-variant.dtb into a folder, with the layout file
// that dtbTool reads to build the same container again. A bare device tree (a gzip-compressed
// one, say) is written as one file named after its amlogic-dt-id.
//
//   dtbSplit IMAGE OUT_DIR      split
//   dtbSplit -t IMAGE           test only: the image gunzips within the size limit
#include <filesystem>
#include <iostream>
#include <set>
#include <vector>
#include <string>

#include "../dtbtool/file_io.h"
#include "multidtb.h"
#include "platform.h"

namespace md = orvex::multidtb;

namespace {

const char kUsage[] =
    "usage: dtbSplit IMAGE OUT_DIR\n"
    "       dtbSplit -t IMAGE\n"
    "Splits an Amlogic multi-DTB container (versions 1 and 2, plain or gzip-compressed) into\n"
    "soc-plat-variant.dtb files in OUT_DIR and writes OUT_DIR/multidtb.cfg for dtbTool.\n"
    "-t only checks that a gzip-compressed IMAGE expands to at most 64 MiB.\n";

// Reads the image, gunzipped when it is compressed.
void ReadImage(const std::string& path, std::string* data) {
  std::string error;
  if (!md::ReadSmallFile(path, md::kMaxContainerBytes, data, &error)) throw md::Error(error);
  if (md::IsGzip(*data)) *data = md::Gunzip(*data, md::kMaxContainerBytes);
}

int Split(const std::string& image, const std::string& outDir) {
  std::string data;
  ReadImage(image, &data);
  std::error_code ec;
  const std::filesystem::path dir = orvex::platform::ToPath(outDir);
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) throw md::Error(outDir + ": cannot create the folder");
  auto target = [&](const std::string& name) { return orvex::platform::FromPath(dir / orvex::platform::ToPath(name)); };
  std::string error;

  if (md::IsFdt(data)) {
    const uint32_t total = md::CheckFdt(data);
    md::Entry e;
    std::string id;
    if (!md::RootStringProperty(std::string_view(data).substr(0, total), "amlogic-dt-id", &id) ||
        !md::SplitDtId(id, &e.soc, &e.plat, &e.vari))
      e.soc = "single", e.plat = "dtb", e.vari = "0";
    const std::string name = md::TreeFileName(e);
    if (!md::WriteNewFile(target(name), data.substr(0, total), &error)) throw md::Error(error);
    std::cout << "Single tree: " << name << " (" << total << " bytes)\n";
    if (!md::WriteNewFile(target(md::kLayoutFile), md::LayoutText(0, md::kDefaultPageSize), &error))
      throw md::Error(error);
    return 0;
  }

  const md::Container c = md::Parse(data);
  const uint32_t page = md::GuessPageSize(c);
  std::cout << "Multi-DTB version " << c.version << ", " << c.entries.size() << " tree(s), page size " << page
            << "\n";
  std::set<std::string> used;
  for (const md::Entry& e : c.entries) {
    std::string name = md::TreeFileName(e);
    for (int n = 2; used.count(name); ++n) {
      std::string base = md::TreeFileName(e);
      name = base.substr(0, base.size() - 4) + "-" + std::to_string(n) + ".dtb";
    }
    used.insert(name);
    if (!md::WriteNewFile(target(name), std::string(md::TreeBytes(data, e)), &error)) throw md::Error(error);
    std::cout << "  " << name << "  soc '" << e.soc << "' plat '" << e.plat << "' variant '" << e.vari
              << "'  offset " << e.offset << "  size " << e.fdtSize << "\n";
  }
  if (!md::WriteNewFile(target(md::kLayoutFile), md::LayoutText(c.version, page), &error)) throw md::Error(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // UTF-8 on both systems (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const size_t count = args.size() + 1;  // as argc counts, with the program's name
  std::string a1 = count > 1 ? args[0] : "";
  if (count == 2 && (a1 == "-h" || a1 == "--help")) {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (count == 3 && a1 == "-t") {
      std::string data;
      ReadImage(args[1], &data);
      std::cout << args[1] << ": " << data.size() << " bytes unpacked\n";
      return 0;
    }
    if (count != 3) {
      std::cerr << kUsage;
      return 2;
    }
    return Split(args[0], args[1]);
  } catch (const md::Error& e) {
    std::cerr << "dtbSplit: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "dtbSplit: " << e.what() << "\n";
    return 1;
  }
}
