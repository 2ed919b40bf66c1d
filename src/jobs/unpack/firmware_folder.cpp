// Looks in a folder that a container was split into for the images of the main partitions and
// unpacks each one it finds.
#include <vector>

#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

namespace {

// The twelve forms of a partition image, in the order they are tried.
std::vector<std::string> Candidates(const std::string& p, bool withPlainForms) {
  std::vector<std::string> out;
  if (withPlainForms) {
    out.push_back(p + ".img");
    out.push_back(P({"Image", p + ".img"}));
    out.push_back(p + ".PARTITION");
    out.push_back(p + ".fex");
  }
  for (const char* form : {".img", "Image", ".PARTITION", ".fex"}) {
    std::string f = form;
    for (const char* slot : {"_a", "_b"}) {
      if (f == "Image")
        out.push_back(P({"Image", p + slot + ".img"}));
      else
        out.push_back(p + slot + f);
    }
  }
  return out;
}

}  // namespace

void UnpackFirmwareFolder(Context& ctx, const std::string& folder) {
  struct Block {
    const char* setting;
    std::vector<std::string> candidates;
  };
  std::vector<std::string> systemBlock = Candidates("system", true);
  for (auto& c : Candidates("system_ext", false)) systemBlock.push_back(c);
  const Block blocks[] = {{"Unpack_System", systemBlock},
                          {"Unpack_Vendor", Candidates("vendor", true)},
                          {"Unpack_Product", Candidates("product", true)},
                          {"Unpack_Odm", Candidates("odm", true)}};
  for (const Block& b : blocks) {
    if (ctx.settings.Int(b.setting) != 1) continue;
    for (const std::string& c : b.candidates) {
      // SYSTEM.IMG or Image/System.img count as well, in their own spelling.
      const std::string path = ExistingNoCase(folder, c);
      if (!path.empty() && FileSize(path) > 0) UnpackPartitionImage(ctx, path);
    }
  }
  if (ctx.settings.Int("Open_Folder") == 1) ctx.ui.OpenFolder(folder);
}

}  // namespace orvex
