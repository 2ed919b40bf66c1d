#pragma once
// The images a pack job has put aside while it builds their replacement. When the run is cut
// short (Ctrl+C, a termination request, the desktop program closed while a job runs), the front
// end calls GiveBackupsBack() so that the user finds the previous image under its own name again
// rather than a half-written one.
//
// The job registers an image with a BackupInFlight object right after moving it to its backup
// name and calls Settle() once the build's outcome has been handled (the new image kept, or the
// previous one given back). The backup helpers of the jobs take BackupLock() around their file
// operations and, once the backups were given back, leave the files alone, so the front end and
// the job thread never move the same files.
#include <mutex>
#include <string>

namespace orvex {

class BackupInFlight {
 public:
  // image: the name being rebuilt; bak: where its previous version was put aside (empty when
  // there was none, in which case a half-written image is removed on an interruption).
  BackupInFlight(const std::string& image, const std::string& bak);
  ~BackupInFlight();
  BackupInFlight(const BackupInFlight&) = delete;
  BackupInFlight& operator=(const BackupInFlight&) = delete;
  // The outcome is in place; an interruption from now on leaves the files alone.
  void Settle();

 private:
  int id_;
};

// Held by every helper that moves an image or its backup.
std::unique_lock<std::mutex> BackupLock();

// For the front end on an interruption, after the running tools were stopped: gives the
// previous image back for each unsettled entry (newest first) and makes every later backup
// operation of the job thread do nothing. Returns the number of images given back or removed.
int GiveBackupsBack();

// True once GiveBackupsBack() has run: helpers leave the files alone. Check it under
// BackupLock().
bool BackupsGivenBack();
// For a process that goes on after an interruption (a test): backups work again.
void ResetBackupsGivenBack();

}  // namespace orvex
