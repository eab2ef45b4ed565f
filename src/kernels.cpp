// Kernel selection: the only place that decides which version of a hot loop
// runs. The processor is asked once; nothing is read from the environment.
#include "kernels.h"

#include <atomic>

#include "output/pcm.h"

namespace quorvel {
namespace {

constexpr Kernels kPlainKernels = {KernelLevel::kPlain, "plain", WindowSlot, Dct32LanesPlain, RequantRowsPlain, WritePcmPlain};

#if QUORVEL_HAVE_X86_KERNELS
constexpr Kernels kSse41Kernels = {KernelLevel::kSse41, "sse4.1", WindowSlotSse41, Dct32LanesSse41, RequantRowsSse41,
                                        WritePcmSse41};
constexpr Kernels kAvx2Kernels = {KernelLevel::kAvx2, "avx2", WindowSlotAvx2, Dct32LanesAvx2, RequantRowsAvx2,
                                       WritePcmAvx2};
#endif
#if QUORVEL_HAVE_NEON_KERNELS
constexpr Kernels kNeonKernels = {KernelLevel::kNeon, "neon", WindowSlotNeon, Dct32LanesNeon, RequantRowsNeon,
                                       WritePcmPlain};
#endif

std::atomic<const Kernels*> active{nullptr};

}  // namespace

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
#if QUORVEL_HAVE_NEON_KERNELS
    case KernelLevel::kNeon:
      return true;
#endif
    default:
      return false;
  }
}

const Kernels& KernelsFor(KernelLevel level) {
  if (!KernelLevelSupported(level)) return kPlainKernels;
  switch (level) {
#if QUORVEL_HAVE_X86_KERNELS
    case KernelLevel::kSse41:
      return kSse41Kernels;
    case KernelLevel::kAvx2:
      return kAvx2Kernels;
#endif
#if QUORVEL_HAVE_NEON_KERNELS
    case KernelLevel::kNeon:
      return kNeonKernels;
#endif
    default:
      return kPlainKernels;
  }
}

KernelLevel BestKernelLevel() {
  for (KernelLevel level : {KernelLevel::kAvx2, KernelLevel::kNeon, KernelLevel::kSse41}) {
    if (KernelLevelSupported(level)) return level;
  }
  return KernelLevel::kPlain;
}

KernelLevel SelectKernels(KernelLevel level) {
  // An unsupported request falls back level by level: AVX2 to SSE4.1 to plain.
  while (!KernelLevelSupported(level)) {
    level = level == KernelLevel::kAvx2 ? KernelLevel::kSse41 : KernelLevel::kPlain;
  }
  const Kernels& k = KernelsFor(level);
  active.store(&k, std::memory_order_release);
  return level;
}

const Kernels& ActiveKernels() {
  const Kernels* k = active.load(std::memory_order_acquire);
  if (k) return *k;
  // Racing first calls all store the same table.
  const Kernels& best = KernelsFor(BestKernelLevel());
  active.store(&best, std::memory_order_release);
  return best;
}

}  // namespace quorvel
