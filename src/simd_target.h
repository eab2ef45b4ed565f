// Target attributes for code that uses an instruction set beyond the build's
// baseline. A function marked with one is compiled for that instruction set
// and must run only where the processor has it (see cpu.h); helpers it calls
// need the same mark, or one the mark includes (AVX2 includes SSE4.1), to be
// inlined. AArch64 has NEON in its baseline and needs no mark; on 32-bit ARM
// the mark lets the NEON kernels sit in a build for cores without it (Debian's
// armhf baseline is VFPv3-D16), to be chosen at run time.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_TARGET_SSE41 __attribute__((target("sse4.1")))
#define QUORVEL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define QUORVEL_TARGET_SSE41
#define QUORVEL_TARGET_AVX2
#endif

#if defined(__arm__) && !defined(__ARM_NEON) && defined(__GNUC__) && !defined(__clang__)
#define QUORVEL_TARGET_NEON __attribute__((target("fpu=neon")))
#else
#define QUORVEL_TARGET_NEON
#endif
