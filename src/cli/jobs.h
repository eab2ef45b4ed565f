// A run of the quorvel tool over all its inputs: where each output goes, and
// the jobs run on the pool. Both return the exit status.
#pragma once

#include "options.h"

namespace quorvel::cli {

// `quorvel decode`: throws UsageError when two inputs would share an output.
int DecodeAll(const Settings& settings);
// `quorvel info`.
int DescribeAll(const Settings& settings);

}  // namespace quorvel::cli
