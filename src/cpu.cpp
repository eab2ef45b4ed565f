// Processor detection and the one choice of kernel level. The processor is
// asked once; nothing is read from the environment.
#include "cpu.h"

#include <atomic>

#if QUORVEL_NEON_AT_RUN_TIME
#include <sys/auxv.h>
#endif

namespace quorvel {
namespace {

constexpr std::array<const char*, kKernelLevelCount> kNames = {"plain", "sse4.1", "avx2", "neon"};

// -1 until the first use.
std::atomic<int32_t> active{-1};

#if QUORVEL_NEON_AT_RUN_TIME
// Whether the kernel reports NEON (HWCAP_NEON of 32-bit ARM, bit 12 of
// AT_HWCAP); asked once.
bool NeonPresent() {
  constexpr unsigned long kHwcapNeon = 1ul << 12;
  static const bool present = (getauxval(AT_HWCAP) & kHwcapNeon) != 0;
  return present;
}
#endif

}  // namespace

const char* KernelLevelName(KernelLevel level) {
  const auto index = static_cast<size_t>(level);
  return index < kNames.size() ? kNames[index] : "unknown";
}

std::optional<KernelLevel> KernelLevelNamed(std::string_view name) {
  for (KernelLevel level : kAllKernelLevels) {
    if (name == KernelLevelName(level)) return level;
  }
  return std::nullopt;
}

bool KernelLevelSupported(KernelLevel level) {
  switch (level) {
    case KernelLevel::kPlain:
      return true;
#if QUORVEL_HAVE_X86_KERNELS
    case KernelLevel::kSse41:
      return __builtin_cpu_supports("sse4.1");
    case KernelLevel::kAvx2:
      return __builtin_cpu_supports("avx2");
#endif
#if QUORVEL_NEON_AT_RUN_TIME
    case KernelLevel::kNeon:
      return NeonPresent();
#elif QUORVEL_HAVE_NEON_KERNELS
    case KernelLevel::kNeon:
      return true;
#endif
    default:
      return false;
  }
}

KernelLevel BestKernelLevel() {
  for (KernelLevel level : {KernelLevel::kAvx2, KernelLevel::kNeon, KernelLevel::kSse41}) {
    if (KernelLevelSupported(level)) return level;
  }
  return KernelLevel::kPlain;
}

KernelLevel ActiveKernelLevel() {
  const int32_t level = active.load(std::memory_order_relaxed);
  if (level >= 0) return static_cast<KernelLevel>(level);
  // Racing first calls all store the same level.
  const KernelLevel best = BestKernelLevel();
  active.store(static_cast<int32_t>(best), std::memory_order_relaxed);
  return best;
}

KernelLevel ForceKernelLevel(KernelLevel level) {
  // An unsupported request falls back level by level: AVX2 to SSE4.1 to plain.
  while (!KernelLevelSupported(level)) {
    level = level == KernelLevel::kAvx2 ? KernelLevel::kSse41 : KernelLevel::kPlain;
  }
  active.store(static_cast<int32_t>(level), std::memory_order_relaxed);
  return level;
}

}  // namespace quorvel
