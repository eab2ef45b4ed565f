// The decoder's hot loops in interchangeable versions, and the one place
// that chooses between them.
//
// Every kernel has a plain C++ version, which is the reference, and may have
// versions for SSE4.1 and AVX2 (x86-64, chosen at run time from what the
// processor reports) or NEON (ARM builds). All versions of a kernel produce
// the same bits for every input, wraparound included; tests/kernels_test.cpp
// proves this on random and extreme input, and the corpus tests run with each
// level forced.
#pragma once

#include <cstdint>

#include "fixed.h"
#include "layers/requant.h"
#include "synth/synthesis.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEL_HAVE_X86_KERNELS 1
#endif
#if defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEL_HAVE_NEON_KERNELS 1
#endif

namespace quorvel {

enum class KernelLevel : int32_t { kPlain = 0, kSse41 = 1, kAvx2 = 2, kNeon = 3 };

// The DCT results of up to eight consecutive slots: lanes[m][j] = X[m] of
// slot j (Q16). Lanes beyond the slot count hold unspecified values.
using DctLanes = int32_t[32][8];

struct Kernels {
  KernelLevel level;
  const char* name;
  // The windowed sums of one slot (see WindowSlot).
  void (*windowSlot)(const ChannelHistory& history, int b, Q28 out[32]);
  // Dct32Values of `count` (1..8) consecutive slots of 32 samples each.
  void (*dct32Lanes)(const Q28* slots, int count, DctLanes& out);
  // WritePcmPlain: the same contract and the same bytes.
  // RequantRowsPlain: sample codes stored in place to scaled samples.
  void (*requantRows)(Q28* rows, int rowCount, const RequantParams& params);
  int32_t (*writePcm)(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);
};

// The kernels in use: on first use the best level that this build and this
// processor support. One load, no locking.
const Kernels& ActiveKernels();

// Switches every later decode to `level`, or to the best supported level
// below it when this build or processor lacks it; returns the level chosen.
// For tests and benchmarks; not meant to be called while decoding.
KernelLevel SelectKernels(KernelLevel level);

// Whether this build and processor can run `level` (kPlain always can).
bool KernelLevelSupported(KernelLevel level);

// The kernel table of `level` (the plain table when it is not supported).
const Kernels& KernelsFor(KernelLevel level);

// The best supported level.
KernelLevel BestKernelLevel();

// Plain versions of the kernels that have no other home.
void Dct32LanesPlain(const Q28* slots, int count, DctLanes& out);

#if QUORVEL_HAVE_X86_KERNELS
void WindowSlotSse41(const ChannelHistory& history, int b, Q28 out[32]);
void WindowSlotAvx2(const ChannelHistory& history, int b, Q28 out[32]);
void Dct32LanesSse41(const Q28* slots, int count, DctLanes& out);
void Dct32LanesAvx2(const Q28* slots, int count, DctLanes& out);
void RequantRowsSse41(Q28* rows, int rowCount, const RequantParams& params);
void RequantRowsAvx2(Q28* rows, int rowCount, const RequantParams& params);
int32_t WritePcmSse41(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);
int32_t WritePcmAvx2(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                     int32_t& maxOvershoot);
#endif
#if QUORVEL_HAVE_NEON_KERNELS
void WindowSlotNeon(const ChannelHistory& history, int b, Q28 out[32]);
void Dct32LanesNeon(const Q28* slots, int count, DctLanes& out);
void RequantRowsNeon(Q28* rows, int rowCount, const RequantParams& params);
#endif

}  // namespace quorvel
