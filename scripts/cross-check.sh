#!/usr/bin/env bash
# Builds Quorvel for the processors and systems it is meant for but this
# machine is not, and checks each build:
#   dll  Quorvel.dll for 64-bit Windows (mingw-w64): the export table holds the
#        six calls at ordinals 1-6 and the two CQuorvel members at 7 and 8,
#        nothing else; the example C host links against it.
#   arm  32-bit ARM (armv7 hard float), the home devices' processor family:
#        every test under qemu-arm, the recorded corpus outputs bit for bit,
#        and the example C host on the shared library; the NEON kernels are
#        taken by default there (qemu's processor has NEON) and the corpus
#        tests run once more with the plain level forced (tests/kernels.cmake);
#        then the kernel tests and the recorded outputs on a core without NEON
#        (qemu's cortex-r5f), where the library must find none and run plain.
#   aarch64  64-bit ARM: the kernel bit-identity tests and the recorded
#        outputs under qemu-aarch64, with the NEON level and with the plain
#        level forced.
#   be   big-endian s390x: the recorded corpus outputs bit for bit under
#        qemu-s390x, then the other tests but the corpus-wide repeats.
# With arm, aarch64 or be, the full tier's PCM of every Layer I/II stream of
# the corpus (the streams of golden/INDEX.tsv and bench/), of the Layer III
# compliance streams and of the two MPEG-2.5 Layer III streams is hashed on this machine at
# each kernel level it runs and on each target under qemu, by
# tests/pcm_md5.cpp; every list must be the same. Nothing records these MD5s:
# the full tier's arithmetic may still change, and what must hold is that it
# gives the same PCM everywhere.
# Installs the Debian packages it needs when they are missing. Prints one
# summary line per check and exits non-zero if any fails.
# Usage: scripts/cross-check.sh [dll] [arm] [aarch64] [be]     (default: dll arm be)
# AArch64 runs when named: it adds two minutes to a CI run that must stay
# short, and its kernels change seldom; run it after changing a NEON kernel.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(dll arm be)
for c in "${checks[@]}"; do
  case $c in dll | arm | aarch64 | be) ;; *) echo "usage: scripts/cross-check.sh [dll] [arm] [aarch64] [be]" >&2; exit 2 ;; esac
done
wants() { [[ " ${checks[*]} " == *" $1 "* ]]; }

packages=(googletest)
wants dll && packages+=(g++-mingw-w64-x86-64-win32)
wants arm && packages+=(g++-arm-linux-gnueabihf gcc-arm-linux-gnueabihf qemu-user)
wants aarch64 && packages+=(g++-aarch64-linux-gnu gcc-aarch64-linux-gnu qemu-user)
wants be && packages+=(g++-s390x-linux-gnu gcc-s390x-linux-gnu qemu-user)
scripts/install-deps.sh "${packages[@]}" || exit 1

export QUORVEL_CORPUS="${QUORVEL_CORPUS:-$(cd .. && pwd)/shared/corpus}"
corpus_ok=0
[ -f "$QUORVEL_CORPUS/golden/INDEX.tsv" ] && corpus_ok=1
jobs=2
logs=$root/build-cross-logs
mkdir -p "$logs"
summary=()
failed=0
report() {  # report PASS|FAIL|SKIP check text
  summary+=("cross-check: $1 $2: $3")
  [ "$1" = FAIL ] && failed=1
  return 0
}

# configure_and_build DIR TOOLCHAIN LOG [cmake args...]: builds everything, or
# the targets named in $build_targets.
configure_and_build() {
  local dir=$1 toolchain=$2 log=$3 targets=()
  shift 3
  [ -n "${build_targets:-}" ] && read -ra targets <<<"--target $build_targets"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$toolchain.cmake" \
    -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_BUILD_CLI=OFF -DQUORVEL_BUILD_FUZZ=OFF "$@" >"$log" 2>&1 &&
    cmake --build "$dir" -j "$jobs" "${targets[@]}" >>"$log" 2>&1
}

# The recorded row of one stream decoded by the plain host loop (4096-byte
# buffers, 8 zero bytes after the stream, no processing, no rate): its PCM
# size and MD5.
host_stream=iso/l2-fl16.bit
host_row() {
  awk -F'\t' -v s="$host_stream" '$2 == s && $4 == 4096 && $5 == 1 && $6 == 0 && $7 == 0 && $8 == "-" { print $9, $10; exit }' \
    "$QUORVEL_CORPUS/golden/INDEX.tsv"
}

# host_check NAME RUNNER... : runs the example host built as build-dir/host on
# the stream and compares its PCM with the recorded checksum.
host_check() {
  local name=$1 exe=$2
  shift 2
  if [ ! -f examples/host.c ]; then
    report SKIP "$name host" "examples/host.c is not in the tree"
    return
  fi
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "$name host" "no corpus at $QUORVEL_CORPUS"
    return
  fi
  local want out
  want=$(host_row)
  out=$(mktemp)
  if "$@" "$exe" "$QUORVEL_CORPUS/$host_stream" "$out" 4096 >"$logs/$name-host.log" 2>&1; then
    local got
    got="$(stat -c %s "$out") $(md5sum <"$out" | cut -d' ' -f1)"
    if [ "$got" = "$want" ]; then
      report PASS "$name host" "examples/host.c through the exported calls of the shared library, $host_stream: $got as recorded"
    else
      report FAIL "$name host" "$host_stream: PCM $got, recorded $want"
    fi
  else
    report FAIL "$name host" "examples/host.c failed on $host_stream (see $logs/$name-host.log)"
  fi
  rm -f "$out"
}

# golden_check NAME DIR RUNNER... : the recorded-outputs comparison alone.
golden_check() {
  local name=$1 dir=$2
  shift 2
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "$name golden" "no corpus at $QUORVEL_CORPUS"
    return
  fi
  local rows
  rows=$(($(wc -l <"$QUORVEL_CORPUS/golden/INDEX.tsv") - 1))
  if "$@" "$dir/tests/quorvel_tests" --gtest_filter='Golden.*' >"$logs/$name-golden.log" 2>&1 &&
    grep -q '^\[  PASSED  \] 1 test' "$logs/$name-golden.log"; then
    report PASS "$name golden" "all $rows recorded configurations: PCM and per-call log identical"
  else
    report FAIL "$name golden" "$(grep -m1 -E 'Failure|EXPECT|failures' "$logs/$name-golden.log" || echo "see $logs/$name-golden.log")"
  fi
}

# tests_check NAME DIR [EXCLUDE] : every test but the recorded-outputs
# comparison (and those EXCLUDE matches), through ctest (which runs the
# target's programs under the emulator).
tests_check() {
  local name=$1 dir=$2 exclude='^Golden\.'
  [ -n "${3:-}" ] && exclude+="|$3"
  if ctest --test-dir "$dir" -j "$jobs" -E "$exclude" --output-on-failure >"$logs/$name-tests.log" 2>&1; then
    report PASS "$name tests" "$(grep -E 'tests passed' "$logs/$name-tests.log")"
  else
    report FAIL "$name tests" "$(grep -E 'tests passed|tests failed' "$logs/$name-tests.log"), see $logs/$name-tests.log"
  fi
}

if wants dll; then
  started=$SECONDS
  dir=build-cross-mingw
  if configure_and_build $dir x86_64-w64-mingw32 "$logs/dll-build.log" -DQUORVEL_BUILD_TESTS=OFF; then
    if line=$(scripts/check-dll-exports.sh $dir/Quorvel.dll x86_64-w64-mingw32- 2>&1); then
      report PASS dll "Quorvel.dll exports $line"
    else
      report FAIL dll "$line"
    fi
    # A C host builds against the import library and imports every call from
    # Quorvel.dll by name. (No Windows to run it on here: see README.)
    if [ -f examples/host.c ]; then
      if x86_64-w64-mingw32-gcc -std=c99 -O2 -Wall -Wextra -Werror -Iinclude examples/host.c \
        $dir/libQuorvel.dll.a -o $dir/host.exe >"$logs/dll-host.log" 2>&1; then
        imported=$(x86_64-w64-mingw32-objdump -p $dir/host.exe |
          awk '/DLL Name:/ { dll = $3 } dll == "Quorvel.dll" && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | sort | tr '\n' ' ')
        if [ -n "$imported" ]; then
          report PASS "dll host" "examples/host.c links against Quorvel.dll and imports: ${imported% }"
        else
          report FAIL "dll host" "host.exe imports nothing from Quorvel.dll"
        fi
      else
        report FAIL "dll host" "examples/host.c does not build for Windows (see $logs/dll-host.log)"
      fi
    fi
  else
    report FAIL dll "build failed (see $logs/dll-build.log)"
  fi
  echo "dll: $((SECONDS - started)) s"
fi

# The full tier on every platform. The lists, "md5  path" per stream in the
# order of $full_streams, are $logs/full-<platform>.md5; this machine's
# are full-<arch>-<level>.md5, and the first of them (plain) is the one the
# others are compared with.
native=$(uname -m)
[ "$native" = x86_64 ] && native=x86-64
full_streams=$logs/full-streams.txt
full_reference=""
full_count=0

# full_list LIST LOG RUNNER... : hashes every stream of $full_streams with the
# program RUNNER (an emulator and quorvel_pcm_md5, or that alone).
full_list() {
  local list=$1 log=$2
  shift 2
  "$@" "$QUORVEL_CORPUS" <"$full_streams" >"$list" 2>"$log"
}

# full_differences LIST: the streams, in list order, whose MD5 in LIST is not
# that of the reference list (or that one of the two lacks).
full_differences() {
  awk 'FILENAME == ARGV[1] { order[++n] = $0; next }
       FILENAME == ARGV[2] { want[substr($0, 35)] = substr($0, 1, 32); next }
       { got[substr($0, 35)] = substr($0, 1, 32) }
       END { for (i = 1; i <= n; ++i) { p = order[i]; if (!(p in want) || !(p in got) || want[p] != got[p]) print p } }' \
    "$full_streams" "$full_reference" "$1"
}

# first_of N: the first three of the N lines of standard input, comma-separated.
first_of() {
  local shown
  shown=$(head -n 3 | paste -sd, | sed 's/,/, /g')
  [ "$1" -gt 3 ] && shown+=", ..."
  echo "$shown"
}

# full_native: builds quorvel_pcm_md5 for this machine and makes its list at
# every kernel level the build and the processor run.
full_native() {
  local dir=build-cross-native started=$SECONDS
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "$native full tier" "no corpus at $QUORVEL_CORPUS"
    return
  fi
  awk -F'\t' 'NR > 1 { print $2 }' "$QUORVEL_CORPUS/golden/INDEX.tsv" >"$full_streams.all"
  (cd "$QUORVEL_CORPUS" && find bench -maxdepth 1 -type f \( -name '*.mp1' -o -name '*.mp2' \)) >>"$full_streams.all"
  # Layer III: the compliance streams (MPEG-1 and LSF) and the two MPEG-2.5
  # streams, whose low rates keep them cheap under emulation.
  (cd "$QUORVEL_CORPUS" && find iso-layer3 -maxdepth 1 -type f -name '*.bit' &&
    find bench-layer3 -maxdepth 1 -type f \( -name 'l3_8000_*.mp3' -o -name 'l3_11025_*.mp3' \)) >>"$full_streams.all"
  grep -E '^(iso|iso-layer3|twolame|ffmpeg|synth|bench|bench-layer3)/' "$full_streams.all" | sort -u >"$full_streams"
  rm -f "$full_streams.all"
  full_count=$(wc -l <"$full_streams")
  # The release build of scripts/test.sh (CI runs it first) serves, when there
  # is one without sanitizers: the tool is then built already.
  if grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' build/CMakeCache.txt 2>/dev/null &&
    ! grep -qx 'QUORVEL_SANITIZE:BOOL=ON' build/CMakeCache.txt; then
    dir=build
  fi
  if ! { { [ "$dir" = build ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_BUILD_CLI=OFF -DQUORVEL_BUILD_FUZZ=OFF >"$logs/native-build.log" 2>&1; } &&
    cmake --build "$dir" -j "$jobs" --target quorvel_pcm_md5 >>"$logs/native-build.log" 2>&1; }; then
    report FAIL "$native full tier" "build failed (see $logs/native-build.log)"
    return
  fi
  local tool=$dir/tests/quorvel_pcm_md5 level levels=() failures=()
  mapfile -t levels < <("$tool" --levels)
  if [ ${#levels[@]} -eq 0 ]; then
    report FAIL "$native full tier" "quorvel_pcm_md5 --levels names no kernel level"
    return
  fi
  for level in "${levels[@]}"; do
    local list=$logs/full-$native-$level.md5
    if ! QUORVEL_KERNELS=$level full_list "$list" "$logs/full-$native-$level.log" "$tool"; then
      failures+=("$level: quorvel_pcm_md5 failed (see $logs/full-$native-$level.log)")
      continue
    fi
    if [ -z "$full_reference" ]; then
      full_reference=$list
      continue
    fi
    local differ
    differ=$(full_differences "$list")
    if [ -n "$differ" ]; then
      local n
      n=$(wc -l <<<"$differ")
      failures+=("$level differs from ${levels[0]} in $n of $full_count streams: $(first_of "$n" <<<"$differ") (lists in $logs)")
    fi
  done
  if [ ${#failures[@]} -gt 0 ]; then
    local joined
    joined=$(printf '%s; ' "${failures[@]}")
    report FAIL "$native full tier" "${joined%; }"
  else
    report PASS "$native full tier" "$full_count streams, the same PCM at each level: ${levels[*]}"
  fi
  echo "$native full tier: $((SECONDS - started)) s"
}

# full_check NAME DIR RUNNER... : the target's list against this machine's.
full_check() {
  local name=$1 dir=$2
  shift 2
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "$name full tier" "no corpus at $QUORVEL_CORPUS"
    return
  fi
  if [ -z "$full_reference" ]; then
    report SKIP "$name full tier" "no list of $native to compare with"
    return
  fi
  local list=$logs/full-$name.md5
  # The target's best level; a level forced for this machine means nothing there.
  if ! QUORVEL_KERNELS='' full_list "$list" "$logs/full-$name.log" "$@" "$dir/tests/quorvel_pcm_md5"; then
    report FAIL "$name full tier" "quorvel_pcm_md5 failed (see $logs/full-$name.log)"
    return
  fi
  local differ n level
  differ=$(full_differences "$list")
  level=$(sed -n 's/.* at the \(.*\) level$/\1/p' "$logs/full-$name.log")
  if [ -z "$differ" ]; then
    report PASS "$name full tier" "$full_count streams at its ${level:-best} level, PCM identical to that of $native"
  else
    n=$(wc -l <<<"$differ")
    report FAIL "$name full tier" \
      "$n of $full_count streams differ from $native: $(first_of "$n" <<<"$differ") (lists: $list, $full_reference)"
  fi
}

if wants arm || wants aarch64 || wants be; then
  full_native
fi

# linux_target NAME TOOLCHAIN TRIPLET QEMU ORDER [EXCLUDE]: ORDER is
# "tests-first" or "golden-first"; the first part is the one the target exists
# for. EXCLUDE names tests the target leaves out.
linux_target() {
  local name=$1 toolchain=$2 triplet=$3 qemu=$4 order=$5 exclude=${6:-}
  local dir=build-cross-$name started=$SECONDS
  local run=("$qemu" -L "/usr/$triplet")
  if ! configure_and_build "$dir" "$toolchain" "$logs/$name-build.log"; then
    report FAIL "$name" "build failed (see $logs/$name-build.log)"
    return
  fi
  if [ "$order" = tests-first ]; then
    tests_check "$name" "$dir" "$exclude"
    golden_check "$name" "$dir" "${run[@]}"
  else
    golden_check "$name" "$dir" "${run[@]}"
    tests_check "$name" "$dir" "$exclude"
  fi
  full_check "$name" "$dir" "${run[@]}"
  rm -f "$dir/host"
  if [ -f examples/host.c ]; then
    "$triplet-gcc" -std=c99 -O2 -Wall -Wextra -Werror -Iinclude examples/host.c -L"$dir" -lquorvel \
      -Wl,-rpath,"$root/$dir" -o "$dir/host" >"$logs/$name-host-build.log" 2>&1 ||
      report FAIL "$name host" "examples/host.c does not build (see $logs/$name-host-build.log)"
  fi
  [ -x "$dir/host" ] && host_check "$name" "$dir/host" "${run[@]}"
  echo "$name: $((SECONDS - started)) s"
}

# The bit-identity tests of every kernel, both tiers.
kernel_tests='Kernels.*:FullRequant.KernelsGiveThePlainBits:FullSynthesis.*KernelsGiveThePlainBits:FullPcm.VectorConversionGivesThePlainBytes'

# level_run NAME DIR LEVEL FILTER RUNNER... : runs the tests of FILTER with
# the kernel level LEVEL forced (or, for "-", the level the processor gets by
# itself), into $logs/NAME-LEVEL.log and its exit status into .rc beside it.
# Two can run at once; level_report judges each afterwards.
level_log() { [ "$3" = - ] && echo "$logs/$1-detected.log" || echo "$logs/$1-$3.log"; }
level_run() {
  local name=$1 dir=$2 level=$3 filter=$4 log
  shift 4
  log=$(level_log "$name" "$dir" "$level")
  local asked=$level
  [ "$level" = - ] && asked=""
  QUORVEL_KERNELS=$asked QUORVEL_REQUIRE_CORPUS=1 "$@" "$dir/tests/quorvel_tests" --gtest_filter="$filter" >"$log" 2>&1
  echo $? >"$log.rc"
}

# level_report NAME DIR LEVEL RUNNER... : the verdict on a level_run, the level
# reported by the tests compared with the one asked for, so that a quiet
# fallback cannot pass; for "-" the library must find plain alone.
level_report() {
  local name=$1 dir=$2 level=$3 log what="$3 level"
  shift 3
  log=$(level_log "$name" "$dir" "$level")
  [ "$level" = - ] && what="detected level"
  if [ "$(cat "$log.rc" 2>/dev/null)" != 0 ] || ! grep -q '^\[  PASSED  \]' "$log"; then
    report FAIL "$name $what" "$(grep -m1 -E 'Failure|FAILED|failures' "$log" || echo "see $log")"
    return
  fi
  local ran passed
  ran=$(sed -n 's/^kernels: \([^ ]*\) (asked for .*/\1/p' "$log" | head -n 1)
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log")
  if [ "$level" = - ]; then
    local levels
    levels=$("$@" "$dir/tests/quorvel_pcm_md5" --levels 2>&1 | paste -sd' ')
    if [ "$levels" != plain ]; then
      report FAIL "$name $what" "the library runs '$levels' on a core without NEON"
      return
    fi
    report PASS "$name $what" "no NEON found, plain alone: $passed tests of the kernels and the recorded outputs"
  elif [ "$ran" != "$level" ]; then
    report FAIL "$name $what" "asked for $level, the tests ran ${ran:-an unreported level}"
  else
    report PASS "$name $what" "$passed tests of the kernels and the recorded outputs at $level"
  fi
}

# level_checks NAME DIR FILTER RUNNER... : level_run at the NEON and at the
# plain level side by side, then their verdicts.
level_checks() {
  local name=$1 dir=$2 filter=$3
  shift 3
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "$name levels" "no corpus at $QUORVEL_CORPUS"
    return
  fi
  level_run "$name" "$dir" neon "$filter" "$@" &
  level_run "$name" "$dir" plain "$filter" "$@" &
  wait
  level_report "$name" "$dir" neon "$@"
  level_report "$name" "$dir" plain "$@"
}

# aarch64_target: the kernel tests and the recorded outputs at both levels,
# and the full tier's PCM; the rest of the tests run on the other targets.
aarch64_target() {
  local name=aarch64 dir=build-cross-aarch64 started=$SECONDS
  local run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  # Only the two programs it runs.
  if ! build_targets="quorvel_tests quorvel_pcm_md5" configure_and_build "$dir" aarch64-linux-gnu "$logs/$name-build.log"; then
    report FAIL "$name" "build failed (see $logs/$name-build.log)"
    return
  fi
  level_checks "$name" "$dir" "$kernel_tests:Golden.*:Conformance.*" "${run[@]}"
  full_check "$name" "$dir" "${run[@]}"
  echo "$name: $((SECONDS - started)) s"
}

if wants arm; then
  linux_target arm arm-linux-gnueabihf arm-linux-gnueabihf qemu-arm tests-first
  # A core without NEON (ARMv7-R with VFPv3-D16, like the armhf baseline).
  started=$SECONDS
  no_neon=(qemu-arm -cpu cortex-r5f -L /usr/arm-linux-gnueabihf)
  if [ $corpus_ok -eq 0 ]; then
    report SKIP "arm detected level" "no corpus at $QUORVEL_CORPUS"
  elif [ -x build-cross-arm/tests/quorvel_tests ]; then
    level_run arm build-cross-arm - "$kernel_tests:Golden.*:Conformance.*" "${no_neon[@]}"
    level_report arm build-cross-arm - "${no_neon[@]}"
  fi
  echo "arm without NEON: $((SECONDS - started)) s"
fi
wants aarch64 && aarch64_target
# On s390x the tests that decode the whole corpus again to compare two paths
# of the library (wrappers, buffer sizes, slices, the two tiers, threads), and
# those whose cost is their own double-precision reference, are left out:
# there they took half of the target's time, the recorded outputs and the full
# tier's MD5s compare the target's PCM bit for bit already, and 32-bit ARM runs
# them all.
be_exclude='^ContainerCorpus\.|^NothingLost\.EveryFrameAndTheSamePcm|^Seek\.EverySlice|^CppDecoder\.(BothTiers|MatchesEveryRecorded)|^ResamplerFullQuality\.|^FullSynthesis\.DctIsCloseToTheExact'
wants be && linux_target be s390x-linux-gnu s390x-linux-gnu qemu-s390x golden-first "$be_exclude"

echo
printf '%s\n' "${summary[@]}"
exit $failed
