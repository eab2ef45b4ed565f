#include "console.h"

#include <cstdio>

#include "platform.h"

namespace quorvel::cli {

Console::Console(bool quiet, bool progress) : quiet_(quiet), progress_(progress && !quiet && IsTerminal(stderr)) {}

void Console::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lineShown_) std::fputs("\r\033[K", stderr);
  lineShown_ = false;
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void Console::Error(const std::string& message) { Line("quorvel: error: " + message + "\n"); }

void Console::Warning(const std::string& message) {
  if (!quiet_) Line("quorvel: warning: " + message + "\n");
}

void Console::DrawProgress(const Progress& p, std::chrono::steady_clock::duration elapsed) {
  if (!progress_) return;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const uint64_t total = p.bytesTotal.load();
  const double percent = total ? 100.0 * static_cast<double>(p.bytesDone.load()) / static_cast<double>(total) : 0.0;
  const double audio = static_cast<double>(p.audioMicros.load()) / 1e6;
  char text[512];
  int n = std::snprintf(text, sizeof text, "%s%5.1f%%  %.1f s  %.0fx realtime", p.label.c_str(), percent, seconds,
                        seconds > 0 ? audio / seconds : 0.0);
  if (p.files > 1 && n > 0 && static_cast<size_t>(n) < sizeof text) {
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "  (%u of %u files done)", p.filesDone.load(),
                  p.files);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "\r\033[K%s", text);
  std::fflush(stderr);
  lineShown_ = true;
}

void Console::ClearProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lineShown_) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  lineShown_ = false;
}

}  // namespace quorvel::cli
