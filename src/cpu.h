// The processor's kernel levels: which ones this build and this processor
// run, the best of them, and the level every stage uses.
//
// Each stage (layers, synthesis, output) keeps a table of its kernels for
// every level, built once: it installs its plain versions, then lets the
// instruction-set code beside it override what the level offers. A stage asks
// ActiveKernelLevel() which of its tables to use, so a level forced here
// reaches every stage at once. Nothing is read from the environment.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// Which instruction-set kernels this build compiles (the build can leave them
// all out with QUORVEL_NO_SIMD).
#if !defined(QUORVEL_NO_SIMD) && (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEL_HAVE_X86_KERNELS 1
#endif
// NEON: always there on AArch64. On 32-bit ARM Linux the kernels are built
// whatever the baseline (GCC's target attribute, simd_target.h) and chosen
// at run time, where the build has a floating-point unit (soft float has no
// NEON registers to use) and stores little-endian lanes.
#if !defined(QUORVEL_NO_SIMD) && defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEL_HAVE_NEON_KERNELS 1
#endif
#if !defined(QUORVEL_NO_SIMD) && defined(__arm__) && defined(__ARM_FP) && !defined(__ARM_BIG_ENDIAN) && \
    defined(__linux__) && ((defined(__GNUC__) && !defined(__clang__)) || defined(__ARM_NEON))
#define QUORVEL_HAVE_NEON_KERNELS 1
#define QUORVEL_NEON_AT_RUN_TIME 1
#endif

namespace quorvel {

enum class KernelLevel : int32_t { kPlain = 0, kSse41 = 1, kAvx2 = 2, kNeon = 3 };

constexpr int kKernelLevelCount = 4;

// Every level, plain first.
inline constexpr std::array<KernelLevel, kKernelLevelCount> kAllKernelLevels = {
    KernelLevel::kPlain, KernelLevel::kSse41, KernelLevel::kAvx2, KernelLevel::kNeon};

// The name of a level, as QUORVEL_KERNELS and the benchmarks take it.
const char* KernelLevelName(KernelLevel level);

// The level of that name, if there is one.
std::optional<KernelLevel> KernelLevelNamed(std::string_view name);

// Whether this build and processor can run `level` (kPlain always can).
bool KernelLevelSupported(KernelLevel level);

// The best supported level.
KernelLevel BestKernelLevel();

// The level in use: on first use the best one. One load, no locking.
KernelLevel ActiveKernelLevel();

// Switches every later decode to `level`, or to the best supported level
// below it when this build or processor lacks it; returns the level chosen.
// For tests and benchmarks; not meant to be called while decoding.
KernelLevel ForceKernelLevel(KernelLevel level);

// Whether a table built for `level` takes the kernels written for `isa`: a
// level takes its own, and AVX2 also those of SSE4.1 that it does not replace.
constexpr bool LevelIncludes(KernelLevel level, KernelLevel isa) {
  return level == isa || (level == KernelLevel::kAvx2 && isa == KernelLevel::kSse41);
}

// What a stage without kernels for an instruction set installs for it:
// nothing. A stage that has some declares its own InitKernelsX86 or
// InitKernelsArm for its table beside it (a *_x86.h or *_arm.h header), which
// is the better match.
template <class Table>
void InitKernelsX86(Table&, KernelLevel) {}
template <class Table>
void InitKernelsArm(Table&, KernelLevel) {}

// The kernel table of one stage for `level`. The tables of every level are
// built on the first call, the way dav1d builds its DSP contexts: the stage's
// plain kernels first, then the instruction-set init of this build overrides
// what the level offers. A level this build or processor cannot run gets the
// plain table. The stage's own init overloads must be declared before the
// call.
template <class Table>
const Table& KernelTableFor(KernelLevel level, const Table& plain) {
  static const std::array<Table, kKernelLevelCount> tables = [&plain] {
    std::array<Table, kKernelLevelCount> built{};
    for (KernelLevel l : kAllKernelLevels) {
      Table& table = built[static_cast<size_t>(l)];
      table = plain;
      [[maybe_unused]] const KernelLevel runnable = KernelLevelSupported(l) ? l : KernelLevel::kPlain;
#if QUORVEL_HAVE_X86_KERNELS
      InitKernelsX86(table, runnable);
#endif
#if QUORVEL_HAVE_NEON_KERNELS
      InitKernelsArm(table, runnable);
#endif
    }
    return built;
  }();
  const auto index = static_cast<size_t>(level);
  return tables[index < tables.size() ? index : 0];
}

}  // namespace quorvel
