// quorvel: decode MPEG audio Layer I/II streams to WAV or raw PCM, or
// describe them. A thin loop over quorvel::Decoder; the options live in
// options.cpp, the outputs in sinks.cpp, the work on one input in jobs.cpp.
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "console.h"
#include "jobs.h"
#include "options.h"
#include "quorvel/decoder.hpp"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace quorvel::cli;

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where each input's output goes; throws UsageError for clashes.
std::vector<Job> PlanJobs(const Settings& s) {
  std::vector<Job> jobs;
  const bool writesFile = s.sink == SinkKind::Wav || s.sink == SinkKind::Raw;
  const char* extension = s.sink == SinkKind::Raw ? ".raw" : ".wav";
  std::set<std::string> outputs;
  for (const std::string& input : s.inputs) {
    Job job{input, ""};
    if (writesFile) {
      if (!s.output.empty()) {
        job.output = s.output;
      } else if (input == "-") {
        job.output = "-";
      } else if (!s.directory.empty()) {
        job.output = (fs::path(s.directory) / fs::path(input).filename().replace_extension(extension)).string();
      } else {
        job.output = fs::path(input).replace_extension(extension).string();
      }
      if (job.output != "-" && !outputs.insert(fs::weakly_canonical(job.output).string()).second) {
        throw UsageError("two inputs would both be written to " + job.output);
      }
    }
    jobs.push_back(job);
  }
  return jobs;
}

// Refuses outputs that cannot be right before any work starts.
bool CheckOutput(const Job& job, Console& console) {
  if (job.output.empty()) return true;
  if (job.output == "-") {
    if (isatty(fileno(stdout))) {
      console.Error("refusing to write PCM to a terminal (use -o FILE, or redirect standard output)");
      return false;
    }
    return true;
  }
  std::error_code ec;
  if (job.input != "-" && fs::exists(job.output, ec) && fs::equivalent(job.input, job.output, ec)) {
    console.Error(job.output + ": the output would overwrite its input");
    return false;
  }
  return true;
}

int Decode(const Settings& s) {
  const std::vector<Job> jobs = PlanJobs(s);
  Console console(s.quiet, true);
  if (!s.directory.empty()) {
    std::error_code ec;
    fs::create_directories(s.directory, ec);
    if (ec) {
      console.Error(s.directory + ": " + ec.message());
      return 1;
    }
  }
  Progress progress;
  progress.files = static_cast<unsigned>(jobs.size());
  if (jobs.size() == 1) progress.label = fs::path(jobs[0].input).filename().string() + "  ";
  bool allFiles = true;
  for (const Job& job : jobs) {
    allFiles = allFiles && IsRegularFile(job.input);
    std::error_code ec;
    if (IsRegularFile(job.input)) progress.bytesTotal += fs::file_size(job.input, ec);
  }
  const bool showProgress = console.ShowsProgress() && allFiles;

  std::vector<char> ok(jobs.size(), 0);
  std::mutex mutex;
  std::condition_variable done;
  size_t next = 0, finished = 0;
  auto worker = [&] {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (next == jobs.size()) return;
        i = next++;
      }
      ok[i] = CheckOutput(jobs[i], console) && DecodeFile(s, jobs[i], console, progress);
      ++progress.filesDone;
      std::lock_guard<std::mutex> lock(mutex);
      ++finished;
      done.notify_all();
    }
  };
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::jthread> threads;
  const size_t count = std::min<size_t>(s.jobs, jobs.size());
  for (size_t t = 0; t < count; ++t) threads.emplace_back(worker);
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (finished < jobs.size()) {
      done.wait_for(lock, std::chrono::milliseconds(200));
      if (showProgress && finished < jobs.size()) {
        lock.unlock();
        console.DrawProgress(progress, std::chrono::steady_clock::now() - start);
        lock.lock();
      }
    }
  }
  threads.clear();
  console.ClearProgress();
  return std::count(ok.begin(), ok.end(), 0) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  try {
    s = ParseArgs(argc, argv);
    switch (s.command) {
      case Command::Help:
        std::fputs(UsageText(), stdout);
        return 0;
      case Command::Version:
        std::printf("quorvel %s\n", quorvel::LibraryVersion());
        return 0;
      case Command::Info: {
        Console console(s.quiet, false);
        int status = 0;
        for (const std::string& input : s.inputs) {
          if (!DescribeFile(s, input, console)) status = 1;
        }
        return status;
      }
      case Command::Decode:
        return Decode(s);
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quorvel: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvel: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
