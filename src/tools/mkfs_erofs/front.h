#pragma once
// mkfs.erofs as the pack job starts it (bin/erofs/mkfs.erofs): the front of the real build. It
// takes the same arguments as mkfs.erofs and gives the image the owners, modes and capabilities
// of the attribute file beside the tree (<partition>/config/<partition>_fs_config.txt), and the
// labels of the context file named by --file-contexts.
//
// Two forms, chosen by the build (see CMakeLists.txt):
// - front_fakeroot.cpp, where the tree can hold owners and capabilities (Linux): the tree gets the
//   attributes (under fakeroot when not root) and the packaged mkfs.erofs builds from it;
// - front_config.cpp, where it cannot (Windows): our own build of mkfs.erofs beside the front
//   reads the attribute file, the context file and the tree's entries list itself.
#include <string>
#include <vector>

// The front's whole run; the exit status.
int RunFront(int argc, char** argv);

// The value of "key: value" in a text file ("" when absent).
std::string KeyValue(const std::string& file, const std::string& key);

// mkfs.erofs looks labels up by the path inside the image ("/bin/sh"), while the context file
// names paths under the mount point ("/vendor/bin/sh"); lines added after the unpack (for files
// the user added) get their in-image twin in a copy of the file that the build reads. Writes that
// copy for every line under the options file's mount point that has no twin, points the
// --file-contexts argument at it and returns its path ("" when nothing changed).
std::string PrepareContexts(std::vector<std::string>& args, const std::string& optionsFile);
