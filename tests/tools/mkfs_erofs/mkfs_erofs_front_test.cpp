// The form of the mkfs.erofs front that hands the config files to our own mkfs.erofs build
// (what Windows runs), built here beside a stand-in mkfs.erofs.real that records its arguments
// and the context file it was given.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace orvex::test;

const fs::path kFront = ORVEX_CONFIG_FRONT;

// The stand-in, written whole and renamed into place (the cases may run at once).
void WriteStandIn() {
  const fs::path real = kFront.parent_path() / "mkfs.erofs.real";
  const std::string script =
      "#!/bin/sh\n"
      "printf '%s\\n' \"$@\" > \"$FRONT_TEST_OUT\"\n"
      "for a; do case $a in --file-contexts=*) cp \"${a#--file-contexts=}\" \"$FRONT_TEST_OUT.fc\";; esac; done\n"
      "exit ${FRONT_TEST_EXIT:-0}\n";
  const fs::path tmp = real.string() + "." + std::to_string(getpid());
  WriteFile(tmp, script);
  chmod(tmp.c_str(), 0755);
  fs::rename(tmp, real);
}

struct Partition {
  TempDir t;
  Partition() {
    WriteStandIn();
    fs::create_directories(t / "vendor/vendor/bin");
    WriteFile(t / "vendor/config/vendor_fs_config.txt", "vendor 0 0 0755\r\nvendor/bin 0 2000 0751\r\n");
    WriteFile(t / "vendor/config/vendor_fs_options.txt", "Name: vendor\r\nMount point: /vendor\r\n");
    WriteFile(t / "vendor/config/vendor_file_contexts.txt",
              "/vendor(/.*)? u:object_r:vendor_file:s0\r\n/ u:object_r:vendor_file:s0\r\n"
              "/vendor/added u:object_r:added_file:s0\r\n");
  }
  // Runs the front from the partition's folder; the stand-in's arguments, one a line.
  std::vector<std::string> Run(const std::string& args, int* code, std::string* output = nullptr,
                               const std::string& env = "") {
    const std::string out = (t / "args.txt").string();
    CommandResult r = RunCommand("cd " + ShQuote(t.str()) + " && FRONT_TEST_OUT=" + ShQuote(out) + " " + env + " " +
                                 ShQuote(kFront.string()) + " " + args);
    *code = r.exit_code;
    if (output) *output = r.output;
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(out));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

TEST(MkfsErofsConfigFront, PassesTheConfigFilesAndTheEntriesList) {
  Partition p;
  int code = -1;
  std::string output;
  const auto args = p.Run("-zlz4hc,9 -T0 --file-contexts=vendor/config/vendor_file_contexts.txt vendor.img vendor/vendor",
                          &code, &output);
  EXPECT_EQ(code, 0) << output;
  const std::vector<std::string> want = {
      "--fs-config-file=vendor/config/vendor_fs_config.txt",
      "--mount-point=vendor",
      "--entries-list=vendor/config/vendor_windows_entries.txt",
      "-zlz4hc,9",
      "-T0",
      "--file-contexts=vendor/config/vendor_file_contexts.txt.build",
      "vendor.img",
      "vendor/vendor",
  };
  EXPECT_EQ(args, want);
  EXPECT_NE(output.find("owners, modes and capabilities from vendor/config/vendor_fs_config.txt"), std::string::npos)
      << output;
  // The label added after the unpack gets its in-image twin.
  const std::string copy = ReadFile(p.t / "args.txt.fc");
  EXPECT_NE(copy.find("/vendor/added u:object_r:added_file:s0\n"), std::string::npos) << copy;
  EXPECT_NE(copy.find("\n/added u:object_r:added_file:s0\n"), std::string::npos) << copy;
  // The copy is gone after the build; the original is untouched.
  EXPECT_FALSE(fs::exists(p.t / "vendor/config/vendor_file_contexts.txt.build"));
  EXPECT_EQ(ReadFile(p.t / "vendor/config/vendor_file_contexts.txt").find("\n/added"), std::string::npos);
}

TEST(MkfsErofsConfigFront, TheBuildsExitStatusIsTheFronts) {
  Partition p;
  int code = -1;
  p.Run("vendor.img vendor/vendor", &code, nullptr, "FRONT_TEST_EXIT=3");
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(fs::exists(p.t / "vendor/config/vendor_file_contexts.txt.build"));
}

TEST(MkfsErofsConfigFront, ATrailingSlashOrBlanksInTheTreePath) {
  Partition p;
  fs::create_directories(p.t / "my part/sys tem");
  WriteFile(p.t / "my part/config/my part_fs_config.txt", "sys tem 0 0 0755\n");
  int code = -1;
  auto args = p.Run("out.img \"my part/sys tem/\"", &code);
  EXPECT_EQ(code, 0);
  ASSERT_GE(args.size(), 3u);
  EXPECT_EQ(args[0], "--fs-config-file=my part/config/my part_fs_config.txt");
  EXPECT_EQ(args[1], "--mount-point=sys tem");
  EXPECT_EQ(args.back(), "my part/sys tem/");
}

TEST(MkfsErofsConfigFront, WithoutAnAttributeFileTheArgumentsPassAsTheyAre) {
  Partition p;
  fs::remove(p.t / "vendor/config/vendor_fs_config.txt");
  int code = -1;
  auto args = p.Run("-zlz4 vendor.img vendor/vendor", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(args, (std::vector<std::string>{"-zlz4", "vendor.img", "vendor/vendor"}));
  // Not a build at all (mkfs.erofs --help, a missing tree): passed on too.
  args = p.Run("--help", &code);
  EXPECT_EQ(args, (std::vector<std::string>{"--help"}));
  args = p.Run("vendor.img vendor/missing", &code);
  EXPECT_EQ(args, (std::vector<std::string>{"vendor.img", "vendor/missing"}));
}

}  // namespace
