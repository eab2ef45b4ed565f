// Seeds of the randomised tests. A test draws a new seed every run, or takes
// $QUORVEL_TEST_SEED when it is set, and traces it, so that a failure seen once
// can be run again:
//   const uint32_t seed = test::TestSeed();
//   SCOPED_TRACE(test::SeedTrace(seed));
//   std::mt19937 rng(seed);
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace quorvel::test {

// $QUORVEL_TEST_SEED (decimal, or hex with 0x) when it is set, else
// `fallback`; a test that runs with a fixed seed by default passes its own.
inline uint32_t TestSeed(uint32_t fallback) {
  const char* env = std::getenv("QUORVEL_TEST_SEED");
  if (!env || !*env) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(env, &end, 0);
  if (*end != '\0' || value > UINT32_MAX) {
    ADD_FAILURE() << "QUORVEL_TEST_SEED=" << env << " is not a 32-bit number";
    return fallback;
  }
  return static_cast<uint32_t>(value);
}

// $QUORVEL_TEST_SEED when it is set, else a new seed.
inline uint32_t TestSeed() { return TestSeed(std::random_device{}()); }

// The trace that every failure of a seeded test carries: how to repeat it.
inline std::string SeedTrace(uint32_t seed) {
  return "seed " + std::to_string(seed) + " (QUORVEL_TEST_SEED=" + std::to_string(seed) + " repeats it)";
}

}  // namespace quorvel::test
