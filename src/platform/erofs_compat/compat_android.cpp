// The Android pieces mkfs.erofs calls, over our own readers: owners, modes and capabilities from
// the attribute file, labels from the context file.
//
// Paths come as mkfs.erofs builds them with --mount-point=<tree folder>: "vendor/bin/sh" for the
// attribute file and "" for the top folder, "/vendor/bin/sh" for labels. The attribute file names
// the top folder by the mount point ("vendor"). Labels are looked up by the path inside the image
// ("/bin/sh", "/" for the top), against the context file the front prepared, exactly as the Linux
// build does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "private/canned_fs_config.h"
#include "private/fs_config.h"
#include "selinux/label.h"
#include "selinux/selinux.h"

extern "C" const char* orvex_erofs_mount_point(void);

namespace {

orvex::ext4::FsConfigTable& Table() {
  static orvex::ext4::FsConfigTable table;
  return table;
}

std::string MountPoint() {
  const char* m = orvex_erofs_mount_point();
  std::string s = m ? m : "";
  while (!s.empty() && s.front() == '/') s.erase(0, 1);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

void FromDefaults(const char* path, int dir, unsigned* uid, unsigned* gid, unsigned* mode, uint64_t* caps) {
  const auto d = orvex::ext4::AndroidDefaults(path, dir != 0);
  *uid = d.uid;
  *gid = d.gid;
  *mode = d.mode & 07777;
  *caps = d.capabilities;
}

}  // namespace

struct selabel_handle {
  orvex::ext4::FileContexts contexts;
};

extern "C" {

int load_canned_fs_config(const char* file) {
  std::string error;
  if (!Table().Load(file, &error)) {
    std::fprintf(stderr, "<E> erofs: %s\n", error.c_str());
    return -1;
  }
  return 0;
}

void canned_fs_config(const char* path, int dir, const char*, unsigned* uid, unsigned* gid, unsigned* mode,
                      uint64_t* capabilities) {
  std::string key = orvex::ext4::NormaliseConfigPath(path);
  if (key.empty()) key = MountPoint();
  if (const auto* e = Table().Find(key)) {
    *uid = e->uid;
    *gid = e->gid;
    *mode = e->mode & 07777;
    *capabilities = e->capabilities;
    return;
  }
  // Added after the unpack: Android's usual attributes for its place, and a word in the log.
  std::fprintf(stderr, "<W> erofs: %s is not in the attribute file: Android's defaults are used\n",
               key.c_str());
  FromDefaults(key.c_str(), dir, uid, gid, mode, capabilities);
}

void fs_config(const char* path, int dir, const char*, unsigned* uid, unsigned* gid, unsigned* mode,
               uint64_t* capabilities) {
  FromDefaults(orvex::ext4::NormaliseConfigPath(path).c_str(), dir, uid, gid, mode, capabilities);
}

struct selabel_handle* selabel_open(unsigned int backend, const struct selinux_opt* options, unsigned nopt) {
  const char* file = nullptr;
  for (unsigned i = 0; i < nopt; ++i)
    if (options[i].type == SELABEL_OPT_PATH) file = options[i].value;
  if (backend != SELABEL_CTX_FILE || !file) {
    errno = EINVAL;
    return nullptr;
  }
  auto* h = new selabel_handle;
  std::string error;
  if (!h->contexts.Load(file, &error)) {
    std::fprintf(stderr, "<E> erofs: %s\n", error.c_str());
    delete h;
    errno = EINVAL;
    return nullptr;
  }
  return h;
}

int selabel_lookup(struct selabel_handle* handle, char** con, const char* key, int type) {
  std::string path = key;
  const std::string mount = MountPoint();
  if (!mount.empty()) {
    const std::string top = "/" + mount;
    if (path == top || path == top + "/") path = "/";
    else if (path.compare(0, top.size() + 1, top + "/") == 0) path = path.substr(top.size());
  }
  const auto label = handle->contexts.Lookup(path, static_cast<uint32_t>(type));
  if (!label) {
    errno = ENOENT;
    return -1;
  }
  *con = strdup(label->c_str());
  return *con ? 0 : -1;
}

void selabel_close(struct selabel_handle* handle) { delete handle; }

void freecon(char* con) { std::free(con); }

}  // extern "C"
