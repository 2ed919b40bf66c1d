// The front where the tree cannot hold owners, modes, capabilities, links or device nodes (an
// NTFS folder): nothing is applied to the tree and no fakeroot is needed. Our own build of
// mkfs.erofs, beside the front as mkfs.erofs.real, is told where everything is kept:
//   --fs-config-file=<attribute file>   owners, modes and capabilities by path
//   --mount-point=<tree folder name>    the first component of the attribute file's paths
//   --entries-list=<entries list>       links, nodes and renamed entries of the tree
// and reads the context file of --file-contexts (with the in-image twins PrepareContexts adds,
// looked up by the path inside the image as on Linux).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "front.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

std::string RealProgram() {
  const fs::path self = orvex::platform::ToPath(orvex::platform::ProgramFile());
  return orvex::platform::FromPath(self.parent_path() / ("mkfs.erofs.real" ORVEX_EXE_SUFFIX));
}

int Run(const std::vector<std::string>& args) {
  const std::string real = RealProgram();
  std::string error;
  const int code = orvex::platform::RunProgramAndWait(real, args, &error);
  if (code < 0) {
    std::fprintf(stderr, "mkfs.erofs: error: %s\n", error.c_str());
    return 127;
  }
  return code;
}

}  // namespace

int RunFront(int argc, char** argv) {
  std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  // The source folder: the last of at least two arguments that are not options.
  std::vector<std::string> plain;
  for (const auto& a : args)
    if (!a.empty() && a[0] != '-') plain.push_back(a);
  if (plain.size() < 2) return Run(args);
  const fs::path tree = orvex::platform::ToPath(plain.back()).lexically_normal();
  fs::path folder = tree;
  if (!folder.has_filename()) folder = folder.parent_path();  // "vendor/vendor/"
  const fs::path owner = folder.parent_path();
  const std::string name = orvex::platform::FromPath(owner.filename());
  const std::string top = orvex::platform::FromPath(folder.filename());
  std::error_code ec;
  const fs::path config = owner / "config" / orvex::platform::ToPath(name + "_fs_config.txt");
  if (name.empty() || top.empty() || !fs::is_regular_file(config, ec) || !fs::is_directory(tree, ec))
    return Run(args);

  const std::string configText = orvex::platform::FromPath(config);
  const std::string options = orvex::platform::FromPath(owner / "config" / orvex::platform::ToPath(name + "_fs_options.txt"));
  const std::string entries =
      orvex::platform::FromPath(owner / "config" / orvex::platform::ToPath(name + "_windows_entries.txt"));
  const std::string temp = PrepareContexts(args, options);
  std::vector<std::string> full = {"--fs-config-file=" + configText, "--mount-point=" + top,
                                   "--entries-list=" + entries};
  full.insert(full.end(), args.begin(), args.end());
  // Standard output is discarded by the pack job; this line belongs in its log.
  std::fprintf(stderr, "mkfs.erofs: owners, modes and capabilities from %s\n", configText.c_str());
  const int code = Run(full);
  if (!temp.empty()) fs::remove(orvex::platform::ToPath(temp), ec);
  return code;
}
