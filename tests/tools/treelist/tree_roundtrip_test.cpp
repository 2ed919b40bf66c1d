// A tree written through the tree layer the way our tree writers do it (what the system cannot
// hold goes into the entries list) and read back the way the packers do: every entry comes back
// with its original name, kind, content, target and device numbers. On Linux everything is
// native and no list is written; on Windows links and nodes are files, and names are changed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "entries_list.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "test_support.h"

using namespace orvex::test;
using namespace orvex::treelist;
namespace pf = orvex::platform;

namespace {

enum class Kind { kFolder, kFile, kLink, kChar, kFifo };

struct Entry {
  Kind kind;
  std::string data;  // file content or link target
  uint32_t major = 0, minor = 0;
  bool operator==(const Entry& o) const {
    return kind == o.kind && data == o.data && major == o.major && minor == o.minor;
  }
};
using Tree = std::map<std::string, Entry>;  // original path -> entry; parents sort before children

std::string Parent(const std::string& p) {
  const size_t s = p.rfind('/');
  return s == std::string::npos ? "" : p.substr(0, s);
}
std::string Base(const std::string& p) {
  const size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}
std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : a + "/" + b; }

bool WriteWhole(int dir, const std::string& name, const std::string& bytes) {
  const int fd = pf::CreateFileAt(dir, name, 0644, true);
  if (fd < 0) return false;
  const bool ok = bytes.empty() || pf::WriteAllAt(fd, bytes.data(), bytes.size(), 0);
  return pf::CloseFile(fd) == 0 && ok;
}

std::string ReadWhole(int dir, const std::string& name) {
  const int fd = pf::OpenFileAt(dir, name);
  if (fd < 0) return "<cannot open>";
  std::string s(static_cast<size_t>(pf::SizeOfFile(fd)), '\0');
  const bool ok = s.empty() || pf::ReadAllAt(fd, s.data(), s.size(), 0);
  pf::CloseFile(fd);
  return ok ? s : "<cannot read>";
}

// Writes the tree under root; what the system cannot hold goes into the list.
void WriteTree(const std::string& root, const Tree& tree, EntriesList* list) {
  std::map<std::string, std::string> storedFolder{{"", ""}};  // original folder -> stored folder
  std::map<std::string, int> fds;                              // stored folder -> descriptor
  fds[""] = pf::OpenFolder(root);
  ASSERT_GE(fds[""], 0) << std::strerror(errno);
  for (const auto& [path, e] : tree) {
    const std::string folder = storedFolder.at(Parent(path));
    const int dir = fds.at(folder);
    const std::string name = list->StoredName(folder, Base(path), path);
    const std::string stored = Join(folder, name);
    switch (e.kind) {
      case Kind::kFolder:
        ASSERT_EQ(pf::MakeFolderAt(dir, name, 0755), 0) << stored << ": " << std::strerror(errno);
        fds[stored] = pf::OpenFolderAt(dir, name);
        ASSERT_GE(fds[stored], 0) << stored;
        storedFolder[path] = stored;
        break;
      case Kind::kFile: ASSERT_TRUE(WriteWhole(dir, name, e.data)) << stored << ": " << std::strerror(errno); break;
      case Kind::kLink:
        if (pf::TreeKeepsLinks()) {
          ASSERT_TRUE(pf::MakeLinkAt(e.data, dir, name)) << stored;
        } else {
          ASSERT_TRUE(WriteWhole(dir, name, e.data)) << stored;
          KeptEntry k;
          k.kind = KeptEntry::Kind::kLink;
          k.target = e.data;
          list->Keep(stored, k);
        }
        break;
      case Kind::kChar:
      case Kind::kFifo: {
        const bool chr = e.kind == Kind::kChar;
        if (pf::TreeKeepsNodes()) {
          ASSERT_TRUE(pf::MakeNodeAt(dir, name, chr ? pf::NodeKind::kChar : pf::NodeKind::kFifo, e.major, e.minor))
              << stored << ": " << std::strerror(errno);
        } else {
          ASSERT_TRUE(WriteWhole(dir, name, "")) << stored;
          KeptEntry k;
          k.kind = chr ? KeptEntry::Kind::kChar : KeptEntry::Kind::kFifo;
          k.major = e.major;
          k.minor = e.minor;
          list->Keep(stored, k);
        }
        break;
      }
    }
  }
  for (const auto& [f, fd] : fds) pf::CloseFolder(fd);
}

// Reads the tree under the folder descriptor back into original paths.
void ReadTree(int dir, const std::string& storedFolder, const std::string& originalFolder, const EntriesList& list,
              Tree* out) {
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListFolder(dir, &names)) << std::strerror(errno);
  for (const std::string& name : names) {
    const std::string stored = Join(storedFolder, name);
    const std::string original = Join(originalFolder, list.OriginalName(storedFolder, name));
    if (const KeptEntry* k = list.Find(stored)) {
      if (k->kind == KeptEntry::Kind::kLink) (*out)[original] = {Kind::kLink, k->target};
      else (*out)[original] = {k->kind == KeptEntry::Kind::kChar ? Kind::kChar : Kind::kFifo, "", k->major, k->minor};
      continue;
    }
    pf::EntryInfo info;
    ASSERT_TRUE(pf::InfoAt(dir, name, &info)) << stored;
    using K = pf::EntryInfo::Kind;
    if (info.kind == K::kFolder) {
      (*out)[original] = {Kind::kFolder, ""};
      const int sub = pf::OpenFolderAt(dir, name);
      ASSERT_GE(sub, 0) << stored;
      ReadTree(sub, stored, original, list, out);
      pf::CloseFolder(sub);
    } else if (info.kind == K::kLink) {
      std::string target;
      ASSERT_TRUE(pf::ReadLinkAt(dir, name, &target)) << stored;
      (*out)[original] = {Kind::kLink, target};
    } else if (info.kind == K::kChar) {
      (*out)[original] = {Kind::kChar, "", info.rdevMajor, info.rdevMinor};
    } else if (info.kind == K::kFifo) {
      (*out)[original] = {Kind::kFifo, ""};
    } else {
      (*out)[original] = {Kind::kFile, ReadWhole(dir, name)};
    }
  }
}

}  // namespace

TEST(TreeThroughTheLayer, EveryEntryComesBackFromTheTreeAndTheList) {
  Tree tree = {
      {"bin", {Kind::kFolder, ""}},
      {"bin/sh", {Kind::kLink, "/system/bin/mksh"}},
      {"bin/mksh", {Kind::kFile, "#!ELF"}},
      {"etc", {Kind::kFolder, ""}},
      {"etc/Hosts", {Kind::kFile, "127.0.0.1 localhost\n"}},
      {"etc/hosts", {Kind::kFile, "::1 localhost\n"}},
      {"etc/a:b", {Kind::kFile, "colon"}},
      {"etc/nul", {Kind::kFile, "not the device"}},
      {"etc/trailing.", {Kind::kFile, "dot"}},
      {"etc/файл 文件", {Kind::kFile, "utf-8"}},
      {"etc/relative", {Kind::kLink, "../bin/mksh"}},
      {"etc/link?", {Kind::kLink, "hosts"}},  // a link whose name changes too
      {"CON", {Kind::kFolder, ""}},
      {"CON/inside", {Kind::kFile, "in a renamed folder"}},
      {"con", {Kind::kFolder, ""}},
      {"con/Link", {Kind::kLink, "a\ttarget with a tab"}},
      {"dev", {Kind::kFolder, ""}},
      {"dev/pipe", {Kind::kFifo, ""}},
  };
  // Device nodes need root where the system keeps them.
  if (!pf::TreeKeepsNodes() || IsRoot()) tree["dev/null"] = {Kind::kChar, "", 1, 3};

  TempDir t;
  const std::string root = pf::FromPath(t / "system");
  const std::string config = pf::FromPath(t / "config");
  std::filesystem::create_directories(t / "system");
  std::filesystem::create_directories(t / "config");
  const std::string listFile = EntriesListPath(config, "system");
  {
    EntriesList list;
    WriteTree(root, tree, &list);
    if (HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(list.Write(listFile, &error)) << error;
  }
  // Only a system that cannot hold it all needs the list.
  const bool needsList = !pf::TreeKeepsLinks() || !pf::TreeKeepsNodes() || pf::TreeFoldsCase();
  EXPECT_EQ(std::filesystem::exists(pf::ToPath(listFile)), needsList);

  EntriesList list;
  std::string error;
  ASSERT_TRUE(EntriesList::Read(listFile, &list, &error)) << error;
  Tree back;
  const int dir = pf::OpenFolder(root);
  ASSERT_GE(dir, 0);
  ReadTree(dir, "", "", list, &back);
  pf::CloseFolder(dir);
  for (const auto& [path, e] : tree) {
    const auto it = back.find(path);
    ASSERT_NE(it, back.end()) << path << " did not come back";
    EXPECT_TRUE(it->second == e) << path << ": kind " << int(it->second.kind) << " data \"" << it->second.data
                                 << "\" " << it->second.major << ":" << it->second.minor;
  }
  EXPECT_EQ(back.size(), tree.size());
}
