#pragma once
// Unpacks an ext4 image (raw or sparse) into a folder and writes the attribute, context and
// options files that make_ext4fs reads back.
//
//   OUTDIR/<FolderName>/...                    the tree
//   OUTDIR/config/<Name>_fs_config.txt         "path uid gid mode [capabilities=0x..]" (LF)
//   OUTDIR/config/<Name>_file_contexts.txt     "/path/regex\.escaped context" (LF)
//   OUTDIR/config/<Name>_fs_options.txt        "Size: ..." "FolderName: ..." and more (CR LF)
//
// Name is the image's file name without its last extension. FolderName is the last component of
// the image's last-mounted directory ("/system" -> "system"), else its volume label, else Name.
// Config paths carry FolderName as their first component: "system" for the root,
// "system/bin/sh" below it; context paths are the same with a leading '/'.
#include <iosfwd>
#include <string>

namespace orvex::ext4 {

struct ExtractOptions {
  std::string image;
  std::string outdir;
  bool verbose = false;  // one line per extracted path
};

// Runs the whole extraction, printing progress to out and errors ("imgextractor: error: ...") to
// err. Returns the process exit code: 0 when everything was extracted, 1 otherwise.
int ExtractImage(const ExtractOptions& options, std::ostream& out, std::ostream& err);

// The -s mode: prints the superblock report of the image to out. Returns the exit code.
int PrintImageInfo(const std::string& image, std::ostream& out, std::ostream& err);

// Folder name rule shared with the tests: last component of the last-mounted directory, else the
// label, else fallback. Components that are not usable folder names are skipped.
std::string ChooseFolderName(const std::string& last_mounted, const std::string& label,
                             const std::string& fallback);

}  // namespace orvex::ext4
