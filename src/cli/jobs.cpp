#include "jobs.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <vector>

#include "cleanup.h"
#include "console.h"
#include "decode.h"
#include "describe.h"
#include "platform.h"
#include "pool.h"

namespace quorvel::cli {
namespace {

namespace fs = std::filesystem;

// Devices and pipes are written in order, like standard output: two jobs
// cannot clash on them as on a file, and /dev/stdout may lead to a pipe
// that has no path at all.
bool IsStream(const std::string& output) { return output == "-" || KindOf(output) == PathKind::Stream; }

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
      if (!IsStream(job.output)) {
        std::error_code ec;
        fs::path key = fs::weakly_canonical(job.output, ec);
        if (ec) key = fs::path(job.output).lexically_normal();
        if (!outputs.insert(key.string()).second) throw UsageError("two inputs would both be written to " + job.output);
      }
    }
    jobs.push_back(job);
  }
  return jobs;
}

// Refuses outputs that cannot be right before any work starts.
bool CheckOutput(const Job& job, Console& console) {
  if (job.output == "-" && IsTerminal(stdout)) {
    console.Error("refusing to write PCM to a terminal (use -o FILE, or redirect standard output)");
    return false;
  }
  std::error_code ec;
  if (job.input != "-" && KindOf(job.output) == PathKind::Regular && fs::equivalent(job.input, job.output, ec)) {
    console.Error(job.output + ": the output would overwrite its input");
    return false;
  }
  return true;
}

}  // namespace

int DecodeAll(const Settings& s) {
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
    const bool file = job.input != "-" && KindOf(job.input) == PathKind::Regular;
    allFiles = allFiles && file;
    if (file) progress.bytesTotal += FileSize(job.input);
  }
  const auto start = std::chrono::steady_clock::now();
  std::function<void()> draw;
  if (console.ShowsProgress() && allFiles) {
    draw = [&] { console.DrawProgress(progress, std::chrono::steady_clock::now() - start); };
  }

  RemoveOutputsOnSignal();  // before the pool starts its threads
  std::vector<char> ok(jobs.size(), 0);
  RunPool(
      jobs.size(), s.jobs,
      [&](size_t i) {
        ok[i] = CheckOutput(jobs[i], console) && DecodeFile(s, jobs[i], console, progress);
        ++progress.filesDone;
      },
      draw, std::chrono::milliseconds(200));
  console.ClearProgress();
  return std::count(ok.begin(), ok.end(), 0) == 0 ? 0 : 1;
}

int DescribeAll(const Settings& s) {
  Console console(s.quiet, false);
  int status = 0;
  for (const std::string& input : s.inputs) {
    if (!DescribeFile(s, input, console)) status = 1;
  }
  return status;
}

}  // namespace quorvel::cli
