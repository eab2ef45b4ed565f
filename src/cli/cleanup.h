// Output files that this run created and has not finished. A failed job
// removes its own; SIGINT, SIGTERM and SIGHUP remove all of them before the
// process ends by the signal. Only files created here are ever removed: never
// a device, a pipe, or a file that was there before the run (which may be
// /dev/null, and the run may be root's).
#pragma once

#include <cstdio>
#include <string>

namespace quorvel::cli {

// Opens `path` for writing, as fopen(path, "wb") does. When the path did not
// exist, `created` is set and the new file is listed for removal until
// ReleaseOutput(). Returns nullptr with errno set on failure.
std::FILE* OpenOutput(const std::string& path, bool& created);

// Takes a file of OpenOutput() off the list: it is finished (remove false) or
// failed (remove true: it is deleted now).
void ReleaseOutput(const std::string& path, bool remove);

// From now on SIGINT, SIGTERM and SIGHUP remove the listed files and then end
// the process with the signal's default action, so that its status says which
// signal it was. A signal that the process inherited as ignored (nohup's
// SIGHUP) stays ignored. Call once, before any other thread is started: on
// POSIX the signals are blocked here and taken by a thread of their own, so
// the removal does not run inside a signal handler.
void RemoveOutputsOnSignal();

}  // namespace quorvel::cli
