// The input of one job: a file or standard input, read in chunks, with its
// last bytes kept to tell a stream cut short from trailing data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel::cli {

// What ends a job: its message is the one line reported for it.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InputFile {
 public:
  // `path` is a file or "-"; throws Failure when it cannot be read.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Fills `buffer`; 0 at the end of the input.
  size_t Read(std::vector<uint8_t>& buffer);
  const std::string& name() const { return name_; }  // the path, or "standard input"
  // A regular file's size, known before reading; nullopt for a pipe.
  std::optional<uint64_t> Size() const { return size_; }
  // A regular file's last `n` bytes (fewer in a smaller file), read ahead
  // through a handle of their own; empty for a pipe.
  std::vector<uint8_t> Tail(size_t n) const;
  uint64_t BytesRead() const { return total_; }
  // Whether Seek can move in the input (a regular file, not a pipe).
  bool Seekable() const { return seekable_; }
  // Reads on from byte `position`: BytesRead() and From() count from the
  // start as before. False (nothing changed) where the input cannot seek.
  bool Seek(uint64_t position);
  // The input from `position` on, if it is among the bytes kept.
  std::optional<std::vector<uint8_t>> From(uint64_t position) const;

 private:
  std::string name_;
  std::string path_;
  std::FILE* file_ = nullptr;
  std::optional<uint64_t> size_;
  bool seekable_ = false;
  uint64_t total_ = 0;
  std::vector<uint8_t> tail_;  // [<= kTailKept] the last bytes read
};

}  // namespace quorvel::cli
