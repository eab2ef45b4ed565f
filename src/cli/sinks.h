// Where decoded PCM goes: a WAV file, raw PCM, nowhere, or an MD5 on
// standard output. Every failure is an OutputError with a one-line message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "options.h"

namespace quorvel::cli {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PcmFormat {
  uint32_t rate = 0;  // Hz
  int channels = 0;   // 1 or 2
};

// A file, or standard output for "-". Write errors (a full disk, a closed
// pipe) surface at the latest in Close(). A file this run created is removed
// unless Keep() is called (see cleanup.h); a device, a pipe or a file that
// was there before never is.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, size_t size);
  // True for a regular file, whose start can be rewritten.
  bool Seekable() const { return seekable_; }
  void Rewrite(long offset, const void* data, size_t size);
  void Close();
  // The output is complete and checked: it stays.
  void Keep();
  // After a failure: closes without checking and removes the file if this
  // run created it.
  void Discard();

 private:
  [[noreturn]] void Fail();
  std::string path_;  // as given, for removal
  std::string name_;  // for messages
  std::FILE* file_ = nullptr;
  bool isStdout_ = false;
  bool seekable_ = false;
  bool listed_ = false;  // created by this run and not yet kept or removed
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Once, before the first Write.
  virtual void Begin(const PcmFormat& format) = 0;
  // Interleaved signed 16-bit little-endian samples.
  virtual void Write(std::span<const uint8_t> pcm) = 0;
  // The stream is complete: make the output whole (or report it).
  virtual void Finish() = 0;
  // After Finish(), once the output passed every check (--verify): it stays.
  virtual void Keep() {}
  // The decode failed, before or after Finish(): leave nothing behind that
  // this run created.
  virtual void Abandon() {}
};

// `output` is the file for wav and raw; `name` labels the md5 line.
std::unique_ptr<Sink> MakeSink(SinkKind kind, const std::string& output, const std::string& name);

}  // namespace quorvel::cli
