#include "input.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform.h"

namespace quorvel::cli {
namespace {

constexpr size_t kTailKept = 4096;  // more than the longest frame, so a cut frame's start is kept whole

}  // namespace

InputFile::InputFile(const std::string& path) : name_(path == "-" ? "standard input" : path), path_(path) {
  if (path == "-") {
    if (IsTerminal(stdin)) throw Failure("standard input is a terminal, not a stream (see quorvel --help)");
    SetBinary(stdin);
    file_ = stdin;
    return;
  }
  const PathKind kind = KindOf(path);
  if (kind == PathKind::Missing) throw Failure(path + ": " + std::strerror(errno));
  if (kind == PathKind::Directory) throw Failure(path + ": is a directory");
  if (kind == PathKind::Regular && FileSize(path) == 0) throw Failure(path + ": the file is empty");
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) throw Failure(path + ": " + std::strerror(errno));
  if (kind == PathKind::Regular) size_ = FileSize(path);
  seekable_ = kind == PathKind::Regular;
}

std::vector<uint8_t> InputFile::Tail(size_t n) const {
  if (!size_) return {};
  std::FILE* f = std::fopen(path_.c_str(), "rb");
  if (!f) return {};
  const uint64_t take = std::min<uint64_t>(n, *size_);
  std::vector<uint8_t> tail(static_cast<size_t>(take));
  // A tail that cannot be read leaves the end tags to be found as they come.
  if (std::fseek(f, -static_cast<long>(take), SEEK_END) != 0 || std::fread(tail.data(), 1, tail.size(), f) != tail.size()) {
    tail.clear();
  }
  std::fclose(f);
  return tail;
}

bool InputFile::Seek(uint64_t position) {
  // std::fseek takes a long: farther positions are read through instead.
  if (!seekable_ || position > static_cast<uint64_t>(LONG_MAX)) return false;
  if (std::fseek(file_, static_cast<long>(position), SEEK_SET) != 0) return false;
  total_ = position;
  tail_.clear();
  return true;
}

InputFile::~InputFile() {
  if (file_ && file_ != stdin) std::fclose(file_);
}

size_t InputFile::Read(std::vector<uint8_t>& buffer) {
  const size_t got = std::fread(buffer.data(), 1, buffer.size(), file_);
  if (got == 0 && std::ferror(file_)) throw Failure(name_ + ": " + std::strerror(errno));
  total_ += got;
  const size_t keep = std::min(got, kTailKept);
  tail_.insert(tail_.end(), buffer.begin() + static_cast<std::ptrdiff_t>(got - keep),
               buffer.begin() + static_cast<std::ptrdiff_t>(got));
  if (tail_.size() > kTailKept) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kTailKept));
  return got;
}

std::optional<std::vector<uint8_t>> InputFile::From(uint64_t position) const {
  if (position > total_ || total_ - position > tail_.size()) return std::nullopt;
  return std::vector<uint8_t>(tail_.end() - static_cast<std::ptrdiff_t>(total_ - position), tail_.end());
}

}  // namespace quorvel::cli
