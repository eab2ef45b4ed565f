#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, address and undefined-behaviour
# sanitizers) and runs each for a bounded time with a fixed seed, starting from
# the corpus streams when $QUORVEL_CORPUS is present, after replaying the
# regression inputs. Fails on any crash, leak, timeout or broken invariant;
# the failing input is left in build-fuzz/artifacts/ and belongs, once fixed,
# in tests/regressions/.
# Usage: scripts/fuzz-ci.sh [seconds per harness]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${QUORVEL_FUZZ_SECONDS:-60}}
max_len=16384
build=build-fuzz
scripts/install-deps.sh libclang-rt-dev

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_BUILD_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j 2 --target fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QUORVEL_FUZZ_MAX_LEN=$max_len fuzz/make-seeds.sh "$work/seeds" "${QUORVEL_CORPUS:-}"
mkdir -p "$build/artifacts"
# A 16 MB quarantine instead of 256 still holds every block an input frees
# (an input allocates about a megabyte), and keeps the heap in the caches; with
# the default, and the allocator purged every second, a third of an execution
# went to page faults and cold memory.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

summary=()
for harness in $(cd "$build/fuzz" && ls ./*_fuzzer | sed 's|^\./||'); do
  echo "== $harness: regression inputs =="
  "$build/fuzz/${harness}_replay" -max_len=$max_len tests/regressions
  echo "== $harness: ${seconds}s of fuzzing =="
  mkdir -p "$work/$harness"
  log="$work/$harness.log"
  if ! "$build/fuzz/$harness" -seed=1 -max_total_time="$seconds" -max_len=$max_len -rss_limit_mb=1024 \
      -purge_allocator_interval=-1 -timeout=30 -dict=fuzz/mpeg.dict -print_final_stats=1 -artifact_prefix="$build/artifacts/$harness-" \
      "$work/$harness" "$work/seeds" tests/regressions >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $harness; the input is in $build/artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$harness: $runs executions, $rate per second, no failure")
done
printf '%s\n' "${summary[@]}"
