// The few calls of the command line that differ between POSIX and Windows,
// written once.
#pragma once

#include <cstdio>
#include <string>

namespace quorvel::cli {

// What a path names, by stat(): symbolic links are followed, so /dev/stdout
// is whatever standard output is.
enum class PathKind {
  Missing,  // nothing there, or stat() failed (errno says why)
  Regular,  // a regular file
  Directory,
  Stream,  // a character device or a pipe (FIFO): written in order, never removed
  Other,   // a socket, a block device, ...
};
PathKind KindOf(const std::string& path);

// The size of a regular file, 0 for anything else.
unsigned long long FileSize(const std::string& path);

// Creates `path` for writing in binary. Fails (nullptr, errno EEXIST) when
// anything is there already, so that a file found in place is never taken
// for one this run made.
std::FILE* CreateNewFile(const std::string& path);

bool IsTerminal(std::FILE* file);
// True when the file's start can be rewritten: a regular file.
bool IsSeekable(std::FILE* file);
// The streams are bytes: no newline translation on Windows.
void SetBinary(std::FILE* file);

}  // namespace quorvel::cli
