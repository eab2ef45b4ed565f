// A small pool of worker threads for the jobs of one run.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace quorvel::cli {

// Runs work(0) .. work(count - 1), each once, on up to `threads` threads,
// taking the indices in order. Meanwhile the calling thread calls `tick` (when
// set) whenever a job finishes and at least every `interval`, until all have
// finished.
void RunPool(size_t count, unsigned threads, const std::function<void(size_t)>& work, const std::function<void()>& tick,
             std::chrono::milliseconds interval);

}  // namespace quorvel::cli
