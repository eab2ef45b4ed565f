// `quorvel info`: the facts of one stream as text or as one line of JSON.
#pragma once

#include <string>

#include "console.h"
#include "options.h"

namespace quorvel::cli {

// Prints the description of `input` to standard output. Reports its own
// errors and returns whether it succeeded.
bool DescribeFile(const Settings& settings, const std::string& input, Console& console);

// `s` as a JSON string literal, quotes included.
std::string JsonString(const std::string& s);

}  // namespace quorvel::cli
