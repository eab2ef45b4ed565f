// The full tier's band-limited converter at the five ratios its quality is
// measured at: taps per output sample, and the cost per output sample and
// channel. Instructions are counted by the processor's counter where the
// system lets a program read it (Linux perf events); otherwise run the
// program under `valgrind --tool=callgrind` and divide by the outputs it
// prints. Wall time is printed as well.
//
//   quorvel_resample_cost [seconds of input per ratio, default 10] [ratio 0..4]
//   valgrind --tool=callgrind --toggle-collect='quorvel::FullResampler::Process*'
//     quorvel_resample_cost 1 RATIO      (instructions of Process alone)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "output/resampler_full.h"

#if defined(__linux__)
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Counts the user-space instructions of this thread between Start and Stop;
// -1 where no counter can be opened.
class InstructionCounter {
 public:
  InstructionCounter() {
#if defined(__linux__)
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.type = PERF_TYPE_HARDWARE;
    attr.size = sizeof attr;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
#endif
  }
  ~InstructionCounter() {
#if defined(__linux__)
    if (fd_ >= 0) close(fd_);
#endif
  }
  void Start() {
#if defined(__linux__)
    if (fd_ < 0) return;
    ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
    ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
#endif
  }
  long long Stop() {
#if defined(__linux__)
    if (fd_ < 0) return -1;
    ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
    long long count = 0;
    if (read(fd_, &count, sizeof count) != sizeof count) return -1;
    return count;
#else
    return -1;
#endif
  }

 private:
  int fd_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int only = argc > 2 ? std::atoi(argv[2]) : -1;
  const std::pair<int32_t, int32_t> ratios[] = {{48000, 44100}, {44100, 48000}, {32000, 48000}, {48000, 16000},
                                                {22050, 44100}};
  quorvel::FullResampler rs;
  InstructionCounter counter;
  std::vector<quorvel::Q28> out0(quorvel::FullResampler::kMaxOutput), out1(quorvel::FullResampler::kMaxOutput);
  std::printf("%-16s %6s %14s %14s %12s\n", "ratio", "taps", "outputs", "instr/out/ch", "ns/out/ch");
  for (int which = 0; which < 5; ++which) {
    if (only >= 0 && which != only) continue;
    const auto [from, to] = ratios[which];
    rs.Setup(from, to);
    std::mt19937 rng(1);
    std::vector<quorvel::Q28> in0(1152), in1(1152);
    for (size_t i = 0; i < 1152; ++i) {
      in0[i] = static_cast<quorvel::Q28>(rng() % 0x20000000u) - 0x10000000;
      in1[i] = static_cast<quorvel::Q28>(rng() % 0x20000000u) - 0x10000000;
    }
    const uint64_t blocks = static_cast<uint64_t>(seconds * from / 1152) + 1;
    uint64_t outputs = 0;
    const auto begin = std::chrono::steady_clock::now();
    counter.Start();
    for (uint64_t b = 0; b < blocks; ++b) outputs += rs.Process(in0.data(), in1.data(), 1152, out0.data(), out1.data());
    const long long instructions = counter.Stop();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count();
    char label[32];
    std::snprintf(label, sizeof label, "%d->%d", from, to);
    const double perChannel = 2.0 * static_cast<double>(outputs);
    if (instructions >= 0) {
      std::printf("%-16s %6u %14llu %14.1f %12.2f\n", label, rs.ratio().Taps(),
                  static_cast<unsigned long long>(outputs), instructions / perChannel, ns / perChannel);
    } else {
      std::printf("%-16s %6u %14llu %14s %12.2f\n", label, rs.ratio().Taps(),
                  static_cast<unsigned long long>(outputs), "n/a", ns / perChannel);
    }
  }
  return 0;
}
