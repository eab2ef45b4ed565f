#include "sinks.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "cleanup.h"
#include "md5.h"
#include "platform.h"

namespace quorvel::cli {
namespace {

constexpr size_t kFileBuffer = 1 << 16;

// A WAV header for 16-bit PCM. The RIFF and data sizes saturate at
// 0xFFFFFFFF, which is also what a stream of unknown length carries.
std::array<uint8_t, 44> WavHeader(const PcmFormat& f, uint64_t dataBytes) {
  std::array<uint8_t, 44> h{};
  auto put32 = [&h](size_t at, uint64_t v) {
    const uint32_t x = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(x >> (8 * i));
  };
  auto put16 = [&h](size_t at, uint32_t v) {
    h[at] = static_cast<uint8_t>(v);
    h[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  const uint32_t blockAlign = 2 * static_cast<uint32_t>(f.channels);
  std::memcpy(h.data(), "RIFF", 4);
  put32(4, dataBytes > 0xFFFFFFFFu ? dataBytes : dataBytes + 36);
  std::memcpy(h.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);         // fmt chunk size
  put16(20, 1);          // PCM
  put16(22, static_cast<uint32_t>(f.channels));
  put32(24, f.rate);
  put32(28, static_cast<uint64_t>(f.rate) * blockAlign);
  put16(32, blockAlign);
  put16(34, 16);         // bits per sample
  std::memcpy(h.data() + 36, "data", 4);
  put32(40, dataBytes);
  return h;
}

class WavSink final : public Sink {
 public:
  explicit WavSink(const std::string& path) : file_(path) {}
  void Begin(const PcmFormat& format) override {
    format_ = format;
    const auto header = WavHeader(format, UINT64_MAX);  // final sizes follow when seekable
    file_.Write(header.data(), header.size());
  }
  void Write(std::span<const uint8_t> pcm) override {
    file_.Write(pcm.data(), pcm.size());
    dataBytes_ += pcm.size();
  }
  void Finish() override {
    if (file_.Seekable()) {
      const auto header = WavHeader(format_, dataBytes_);
      file_.Rewrite(0, header.data(), header.size());
    }
    file_.Close();
  }
  void Keep() override { file_.Keep(); }
  void Abandon() override { file_.Discard(); }

 private:
  OutputFile file_;
  PcmFormat format_;
  uint64_t dataBytes_ = 0;
};

class RawSink final : public Sink {
 public:
  explicit RawSink(const std::string& path) : file_(path) {}
  void Begin(const PcmFormat&) override {}
  void Write(std::span<const uint8_t> pcm) override { file_.Write(pcm.data(), pcm.size()); }
  void Finish() override { file_.Close(); }
  void Keep() override { file_.Keep(); }
  void Abandon() override { file_.Discard(); }

 private:
  OutputFile file_;
};

class NullSink final : public Sink {
 public:
  void Begin(const PcmFormat&) override {}
  void Write(std::span<const uint8_t>) override {}
  void Finish() override {}
};

class Md5Sink final : public Sink {
 public:
  explicit Md5Sink(std::string name) : name_(std::move(name)) {}
  void Begin(const PcmFormat&) override {}
  void Write(std::span<const uint8_t> pcm) override { md5_.Update(pcm.data(), pcm.size()); }
  void Finish() override {
    const std::string line = md5_.HexDigest() + "  " + name_ + "\n";
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
      throw OutputError(std::string("standard output: ") + std::strerror(errno));
    }
  }

 private:
  std::string name_;
  Md5 md5_;
};

}  // namespace

OutputFile::OutputFile(const std::string& path) : path_(path), name_(path == "-" ? "standard output" : path) {
  if (path == "-") {
    file_ = stdout;
    isStdout_ = true;
    SetBinary(stdout);
  } else {
    file_ = OpenOutput(path, listed_);
    if (!file_) Fail();
    if (IsTerminal(file_)) {  // as for "-": PCM would garble the screen
      std::fclose(file_);
      file_ = nullptr;
      throw OutputError(name_ + ": refusing to write PCM to a terminal");
    }
  }
  seekable_ = IsSeekable(file_);
  if (!isStdout_) std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Fail() {
  const int error = errno;
  throw OutputError(name_ + ": " + (error ? std::strerror(error) : "write failed"));
}

void OutputFile::Write(const void* data, size_t size) {
  errno = 0;
  if (size && std::fwrite(data, 1, size, file_) != size) Fail();
}

void OutputFile::Rewrite(long offset, const void* data, size_t size) {
  errno = 0;
  if (std::fflush(file_) != 0 || std::fseek(file_, offset, SEEK_SET) != 0) Fail();
  Write(data, size);
  if (std::fseek(file_, 0, SEEK_END) != 0) Fail();
}

void OutputFile::Close() {
  errno = 0;
  std::FILE* f = file_;
  file_ = nullptr;
  if (isStdout_) {
    if (std::fflush(f) != 0 || std::ferror(f)) {
      file_ = f;
      Fail();
    }
    return;
  }
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed) Fail();
}

void OutputFile::Keep() {
  if (listed_) ReleaseOutput(path_, false);
  listed_ = false;
}

void OutputFile::Discard() {
  if (file_ && !isStdout_) std::fclose(file_);
  file_ = nullptr;
  if (listed_) ReleaseOutput(path_, true);
  listed_ = false;
}

std::unique_ptr<Sink> MakeSink(SinkKind kind, const std::string& output, const std::string& name) {
  switch (kind) {
    case SinkKind::Wav: return std::make_unique<WavSink>(output);
    case SinkKind::Raw: return std::make_unique<RawSink>(output);
    case SinkKind::Null: return std::make_unique<NullSink>();
    case SinkKind::Md5: return std::make_unique<Md5Sink>(name);
  }
  return nullptr;
}

}  // namespace quorvel::cli
