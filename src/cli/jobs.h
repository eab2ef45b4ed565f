// The work of the quorvel tool on one input: decode it to a sink, or describe
// it. Both report their own errors and warnings and return whether they
// succeeded.
#pragma once

#include <string>

#include "console.h"
#include "options.h"

namespace quorvel::cli {

struct Job {
  std::string input;   // a path, or "-"
  std::string output;  // a path, or "-"; unused by the null and md5 sinks
};

bool DecodeFile(const Settings& settings, const Job& job, Console& console, Progress& progress);
bool DescribeFile(const Settings& settings, const std::string& input, Console& console);

}  // namespace quorvel::cli
