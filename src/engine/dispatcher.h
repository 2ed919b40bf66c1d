#pragma once
// The job queue and the job thread that routes each queued path to its job.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "context.h"

namespace orvex {

class JobDispatcher {
 public:
  explicit JobDispatcher(Context& ctx) : ctx_(ctx) {
    ctx_.queuePath = [this](const std::string& p) { QueueJobPath(p); };
  }
  ~JobDispatcher();
  JobDispatcher(const JobDispatcher&) = delete;
  JobDispatcher& operator=(const JobDispatcher&) = delete;

  // Appends a path, trailing separators removed.
  void QueueJobPath(const std::string& path);
  // Starts the job thread, or tells the log that the running one will take the new paths.
  void StartJobs();
  bool Running() const { return running_; }
  // Blocks until the job thread has ended (the console front end and tests).
  void Wait();
  size_t QueueLength() const;

  // Routes one path to its job, as the job thread does (exposed for tests).
  void Route(const std::string& path);

 private:
  void Run();
  void RunJob(const std::string& job, const std::string& path, const std::string& kind);
  void EndOfRun();

  Context& ctx_;
  mutable std::mutex mu_;
  std::deque<std::string> queue_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::condition_variable done_;
};

// The job a folder goes to by the folder rules: a job name, "NoBuildInstruction", or "" when a
// folder beside a .cfg file is not one any repacker takes.
std::string ChooseFolderJob(const std::string& path);
// The job a file of size above 0 goes to by the file rules: a job name, "AppendFileToLog",
// "CannotUnpackFat" or "UnknownKind".
std::string ChooseFileJob(const std::string& path, const std::string& kind);

// Decodes Base64 into at most 1024 bytes, read as UTF-8 up to the first zero byte.
std::string DecodeBase64Text(const std::string& text);
// The welcome hint logged by a run that starts with nothing queued.
std::string WelcomeHint(const Context& ctx);
// The donation constants (Base64) shown at the end of each run.
extern const char kDonationAccountB64[];
extern const char kDonationPageB64[];
extern const char kDonationService[];

}  // namespace orvex
