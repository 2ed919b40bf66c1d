#include "backup_registry.h"

#include <atomic>
#include <vector>

#include "workspace.h"

namespace orvex {

namespace {

struct Entry {
  int id;
  std::string image;
  std::string bak;
};

std::mutex& Mutex() {
  static std::mutex mu;
  return mu;
}
// Guarded by its own small lock, so that a job may register while it holds BackupLock().
std::mutex& ListMutex() {
  static std::mutex mu;
  return mu;
}
std::vector<Entry>& Entries() {
  static std::vector<Entry> entries;
  return entries;
}
std::atomic<bool> givenBack{false};
int nextId = 1;

void Remove(int id) {
  std::lock_guard<std::mutex> l(ListMutex());
  auto& e = Entries();
  for (auto it = e.begin(); it != e.end(); ++it)
    if (it->id == id) {
      e.erase(it);
      return;
    }
}

}  // namespace

BackupInFlight::BackupInFlight(const std::string& image, const std::string& bak) {
  std::lock_guard<std::mutex> l(ListMutex());
  id_ = nextId++;
  Entries().push_back({id_, image, bak});
}

BackupInFlight::~BackupInFlight() { Remove(id_); }

void BackupInFlight::Settle() { Remove(id_); }

std::unique_lock<std::mutex> BackupLock() { return std::unique_lock<std::mutex>(Mutex()); }

int GiveBackupsBack() {
  std::lock_guard<std::mutex> lock(Mutex());
  givenBack = true;
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> l(ListMutex());
    entries = Entries();
    Entries().clear();
  }
  int done = 0;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->bak.empty()) {
      // Nothing was there before: a half-written image is no image.
      if (DeleteFile(it->image)) ++done;
    } else if (FileSize(it->bak) > 0) {
      DeleteFile(it->image);
      if (RenameFile(it->bak, it->image)) ++done;
    }
  }
  return done;
}

bool BackupsGivenBack() { return givenBack; }

void ResetBackupsGivenBack() { givenBack = false; }

}  // namespace orvex
