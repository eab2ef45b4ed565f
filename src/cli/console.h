// Messages and the progress line on standard error, shared by the jobs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace quorvel::cli {

// What the running jobs have done so far, for the progress line.
struct Progress {
  std::atomic<uint64_t> bytesDone{0};    // input bytes read
  std::atomic<uint64_t> bytesTotal{0};   // sizes of the input files
  std::atomic<uint64_t> audioMicros{0};  // audio decoded, in microseconds
  std::atomic<unsigned> filesDone{0};
  unsigned files = 0;
  std::string label;  // shown before the figures (the input, when there is one)
};

class Console {
 public:
  // quiet: warnings are dropped (errors never are). progress: a progress line
  // is drawn on standard error (only when it is a terminal).
  Console(bool quiet, bool progress);
  bool ShowsProgress() const { return progress_; }
  void Error(const std::string& message);    // "quorvel: error: message"
  void Warning(const std::string& message);  // "quorvel: warning: message"
  void DrawProgress(const Progress& p, std::chrono::steady_clock::duration elapsed);
  void ClearProgress();

 private:
  void Line(const std::string& text);
  std::mutex mutex_;
  bool quiet_;
  bool progress_;
  bool lineShown_ = false;
};

}  // namespace quorvel::cli
