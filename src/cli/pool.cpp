#include "pool.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvel::cli {

void RunPool(size_t count, unsigned threads, const std::function<void(size_t)>& work, const std::function<void()>& tick,
             std::chrono::milliseconds interval) {
  std::mutex mutex;
  std::condition_variable done;
  size_t next = 0, finished = 0;
  auto worker = [&] {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (next == count) return;
        i = next++;
      }
      work(i);
      std::lock_guard<std::mutex> lock(mutex);
      ++finished;
      done.notify_all();
    }
  };
  std::vector<std::jthread> pool;
  for (size_t t = 0; t < std::min<size_t>(threads, count); ++t) pool.emplace_back(worker);
  std::unique_lock<std::mutex> lock(mutex);
  while (finished < count) {
    done.wait_for(lock, interval);
    if (tick && finished < count) {
      lock.unlock();
      tick();
      lock.lock();
    }
  }
}

}  // namespace quorvel::cli
