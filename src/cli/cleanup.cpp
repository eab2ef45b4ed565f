#include "cleanup.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <vector>

#include "platform.h"

#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>

#include <thread>
#endif

namespace quorvel::cli {
namespace {

struct Listed {
  std::mutex mutex;
  std::vector<std::string> paths;  // created by OpenOutput, not yet released
};

// Never destroyed: a signal may come while static objects are torn down at
// exit, and the thread that takes it must still find the list.
Listed& List() {
  static Listed* const list = new Listed;
  return *list;
}

void Remove(const std::string& path) {
  // A regular file still: what we created, unless someone replaced it since.
  if (KindOf(path) == PathKind::Regular) std::remove(path.c_str());
}

// Removes every listed file and keeps the list locked, so that no job can
// create another one before the process ends.
void RemoveAllAndHold() {
  Listed& list = List();
  list.mutex.lock();
  for (const std::string& path : list.paths) Remove(path);
  list.paths.clear();
}

}  // namespace

std::FILE* OpenOutput(const std::string& path, bool& created) {
  created = false;
  {
    Listed& list = List();
    std::lock_guard<std::mutex> lock(list.mutex);
    if (std::FILE* file = CreateNewFile(path)) {
      list.paths.push_back(path);
      created = true;
      return file;
    }
    if (errno != EEXIST) return nullptr;
  }
  // Something is there (a file, a device, a pipe): written to, never removed.
  // Opening a pipe waits for its reader, so not while the list is locked.
  return std::fopen(path.c_str(), "wb");
}

void ReleaseOutput(const std::string& path, bool remove) {
  Listed& list = List();
  std::lock_guard<std::mutex> lock(list.mutex);
  const auto it = std::find(list.paths.begin(), list.paths.end(), path);
  if (it == list.paths.end()) return;
  list.paths.erase(it);
  if (remove) Remove(path);
}

#ifdef _WIN32

// Windows runs a console's Ctrl-C handler on a thread of its own, so it may
// take the lock like any thread.
extern "C" void RemoveOutputsAndStop(int number) {
  RemoveAllAndHold();
  std::signal(number, SIG_DFL);
  std::raise(number);
}

void RemoveOutputsOnSignal() {
  for (int number : {SIGINT, SIGTERM}) {
    if (std::signal(number, RemoveOutputsAndStop) == SIG_IGN) std::signal(number, SIG_IGN);
  }
}

#else

void RemoveOutputsOnSignal() {
  sigset_t taken;
  sigemptyset(&taken);
  int count = 0;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction inherited;
    if (sigaction(number, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaddset(&taken, number);
    ++count;
  }
  if (count == 0) return;
  // Every thread started later inherits the mask, so only sigwait() below
  // ever sees these signals.
  pthread_sigmask(SIG_BLOCK, &taken, nullptr);
  std::thread([taken] {
    int number = 0;
    while (sigwait(&taken, &number) != 0) {
    }
    RemoveAllAndHold();
    // The default action, delivered to this thread alone: the process ends as
    // if the signal had never been caught.
    std::signal(number, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, number);
    std::raise(number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    _exit(128 + number);  // not reached
  }).detach();
}

#endif

}  // namespace quorvel::cli
