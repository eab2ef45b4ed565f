// Resource limits, in a binary of its own because it replaces the global
// allocator: no heap use by DecompressAudio unless resampling, the stack a
// call needs, and the peak memory of the command line on a 10-minute stream.
#include <gtest/gtest.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>

#include "corpus.h"
#include "test_streams.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_SANITIZED 1
#endif
#endif

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
void Count() {
  if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

// Every malloc, calloc and realloc of this binary's own code (the library is
// linked in statically) passes here: the link wraps them. operator new goes
// through malloc, so it is counted there too.
extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void* __wrap_malloc(size_t size) { return Count(), __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) { return Count(), __real_calloc(count, size); }
void* __wrap_realloc(void* block, size_t size) { return Count(), __real_realloc(block, size); }
}

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace quorvel::test {
namespace {

// Silent Layer II frames and Layer I frames with real samples, a frame with a
// wrong CRC, one with scalefactor 63, and junk between frames.
std::vector<uint8_t> MixedStream() {
  std::vector<uint8_t> s;
  auto add = [&s](const std::vector<uint8_t>& part) { s.insert(s.end(), part.begin(), part.end()); };
  for (int i = 0; i < 4; ++i) {
    add(Good());
    add(Layer1(4, 3 + i, Crc::kRight));
    add(Layer1(5, 7, i == 1 ? Crc::kWrong : Crc::kNone));
    if (i == 2) add(Layer1(2, 63, Crc::kNone));
    if (i == 3) add(std::vector<uint8_t>(100, 0x37));
  }
  add(Good());
  add(Good());
  return s;
}

// Decodes `stream` (8 zero bytes appended) with buffers of 4096 bytes;
// returns the frames written. Allocations are counted only inside the calls.
int DecodeCounting(DecoderState& state, std::vector<uint8_t> stream, int32_t rate) {
  stream.insert(stream.end(), 8, 0);
  const EqLevels eq{{6, 3, 0, -3, -6, 0, 3, 6, 12, 18}, 3};
  InitDecoder(state, 1, &eq);
  if (rate) {
    int32_t r = rate, channels = 0, bitrate = 0;
    ProbeHeader(state, stream.data(), static_cast<int32_t>(std::min<size_t>(4096, stream.size())), &r, &channels,
                &bitrate);
  }
  static uint8_t out[kMaxResampledBytes];
  int frames = 0;
  for (size_t offset = 0;;) {
    const int32_t length = static_cast<int32_t>(std::min<size_t>(4096, stream.size() - offset));
    int32_t result, outBytes = 0, pos = 0;
    bool first = true;
    do {
      gCounting = true;
      result = DecompressAudioOn(state, first ? stream.data() + offset : nullptr, length, out, &outBytes, &pos);
      gCounting = false;
      first = false;
      frames += outBytes > 0;
    } while (result == kResultFrame);
    const size_t end = offset + static_cast<size_t>(length);
    if (end >= stream.size()) return frames;
    offset = result == kResultBufferDone ? end : end - static_cast<size_t>(result);
  }
}

std::vector<std::vector<uint8_t>> SampleStreams() {
  std::vector<std::vector<uint8_t>> streams = {MixedStream()};
  if (const auto corpus = CorpusDir()) {
    for (const char* name : {"twolame/l2_44100_st_192k_crc_pad_sweep.mp2", "synth/mixed_random_per_frame.mpa",
                             "iso/l1-fl1.bit", "synth/l2_v25_8000_dc_crc.mp2"}) {
      EXPECT_TRUE(std::filesystem::exists(*corpus / name)) << name;
      streams.push_back(ReadFile(*corpus / name));
    }
  }
  return streams;
}

TEST(Resources, NoHeapUseWithoutResampling) {
  for (const auto& stream : SampleStreams()) {
    const auto state = std::make_unique<DecoderState>();
    gAllocations = 0;
    const int frames = DecodeCounting(*state, stream, 0);
    EXPECT_GT(frames, 0);
    EXPECT_EQ(gAllocations.load(), 0) << "allocations over " << frames << " frames";
    // The counter does see the resampling path's two scratch arrays per frame.
    gAllocations = 0;
    const int resampled = DecodeCounting(*state, stream, 22050);
    EXPECT_GE(gAllocations.load(), resampled);
    EXPECT_LE(gAllocations.load(), 2 * resampled);
  }
}

// Reads stack memory that the sanitizer may still mark as the finished thread's.
__attribute__((no_sanitize("address"))) size_t UntouchedBytes(const uint8_t* stack, size_t bytes) {
  size_t n = 0;
  while (n < bytes && stack[n] == 0xA5) ++n;
  return n;
}

// Runs `work` on a thread whose stack of `bytes` is painted first; returns the
// deepest stack use, in bytes (the thread's descriptor and TLS included).
size_t StackUse(size_t bytes, std::function<void()> work) {
  const std::unique_ptr<uint8_t[]> memory(new uint8_t[bytes + 4096]);
  uint8_t* stack = memory.get() + (4096 - reinterpret_cast<uintptr_t>(memory.get()) % 4096);
  std::fill(stack, stack + bytes, 0xA5);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, bytes);
  pthread_t thread;
  auto run = [](void* w) -> void* { return (*static_cast<std::function<void()>*>(w))(), nullptr; };
  EXPECT_EQ(pthread_create(&thread, &attr, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return bytes - UntouchedBytes(stack, bytes);
}

TEST(Resources, StackPerCallIsSmall) {
#ifdef QUORVEL_SANITIZED
  constexpr size_t kStack = 256 * 1024, kBound = 64 * 1024;  // sanitizer frames are several times larger
#else
  constexpr size_t kStack = 64 * 1024, kBound = 16 * 1024;
#endif
  // What the thread uses without decoding: its descriptor, TLS, the closure.
  const auto state = std::make_unique<DecoderState>();
  const size_t baseline = StackUse(kStack, [&] { InitDecoder(*state, 0, nullptr); });
  size_t worst = 0;
  for (const int32_t rate : {0, 48000}) {
    for (const auto& stream : SampleStreams()) {
      int frames = 0;
      const size_t used = StackUse(kStack, [&] {
        const auto state = std::make_unique<DecoderState>();
        frames = DecodeCounting(*state, stream, rate);
      });
      EXPECT_GT(frames, 0);
      EXPECT_LE(used - baseline, kBound) << "rate " << rate;
      worst = std::max(worst, used - baseline);
    }
  }
  RecordProperty("decoder_stack_bytes", static_cast<int>(worst));
  std::printf("stack of a decoding call: %zu bytes (thread of %zu KiB; the thread itself took %zu)\n", worst,
              kStack / 1024, baseline);
}

#ifdef QUORVEL_CLI
// The command line decodes a 10-minute stream (a corpus stream repeated, or
// silent frames) in little memory: it reads in chunks and keeps no PCM.
TEST(Resources, CommandLinePeakMemoryOnTenMinutes) {
#ifdef QUORVEL_SANITIZED
  GTEST_SKIP() << "peak memory is measured in the plain build";
#endif
  std::vector<uint8_t> unit = Good();
  double unitSeconds = 1152.0 / 44100;
  if (const auto corpus = CorpusDir()) {
    unit = ReadFile(*corpus / "twolame/l2_44100_js_192k_nocrc_pad_loud.mp2");
    unitSeconds = static_cast<double>(WalkFrames(unit).size()) * 1152.0 / 44100;
  }
  ASSERT_GT(unitSeconds, 0);
  const auto path = std::filesystem::temp_directory_path() / ("quorvel-ten-minutes-" + std::to_string(getpid()));
  {
    std::ofstream file(path, std::ios::binary);
    for (double t = 0; t < 600; t += unitSeconds) file.write(reinterpret_cast<const char*>(unit.data()), unit.size());
  }
  const std::string file = path.string();
  const char* argv[] = {QUORVEL_CLI, "decode", file.c_str(), "--sink", "null", "-q", nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, QUORVEL_CLI, nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
  int status = 0;
  rusage usage{};
  ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
  std::filesystem::remove(path);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const long peakKiB = usage.ru_maxrss;
  RecordProperty("cli_peak_rss_kib", static_cast<int>(peakKiB));
  std::printf("peak RSS of the command line on 10 minutes of %s: %ld KiB\n", file.c_str(), peakKiB);
  EXPECT_LE(peakKiB, 16 * 1024) << "KiB";
}
#endif

}  // namespace
}  // namespace quorvel::test
