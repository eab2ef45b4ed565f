#!/usr/bin/env bash
# Quorvel as other projects take it in.
# Usage: package_test.sh pkg-config SOURCE_DIR BUILD_DIR CC [SANITIZE]
#        package_test.sh subproject SOURCE_DIR BUILD_DIR CC CXX GENERATOR
#   pkg-config  install the build into a temporary prefix; build examples/host.c
#               with the flags of pkg-config, against the shared library and
#               against libquorvel.a, and run both
#   subproject  examples/consumer with the source tree as a subproject, in a
#               parent project that sets no build type and no C++ standard
set -euo pipefail
mode=$1 src=$2 build=$3 cc=$4
sample=$src/examples/sample.mp2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# examples/sample.mp2: 500 frames of 1152 stereo samples, 16 bits each.
pcm_bytes=$((500 * 1152 * 2 * 2))

case $mode in
pkg-config)
  command -v pkg-config >/dev/null || { echo "pkg-config is not installed"; exit 77; }
  flags=()
  [ "${5:-OFF}" != ON ] || flags=(-fsanitize=address,undefined)
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  pc=$(find "$prefix" -name quorvel.pc)
  [ -n "$pc" ] || fail "no quorvel.pc installed"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$pc")
  libdir=$(pkg-config --variable=libdir quorvel)
  read -ra cflags <<<"$(pkg-config --cflags quorvel)"
  read -ra shared <<<"$(pkg-config --libs quorvel)"
  # Given -lquorvel, the linker takes the shared library when both are there,
  # so the static one is named, with everything else pkg-config --static gives.
  static=()
  for flag in $(pkg-config --static --libs quorvel); do
    [ "$flag" = -lquorvel ] || static+=("$flag")
  done

  "$cc" "${flags[@]}" -std=c99 "${cflags[@]}" "$src/examples/host.c" "${shared[@]}" -o "$tmp/host-shared" ||
    fail "the C host does not link against the shared library with: ${shared[*]}"
  "$cc" "${flags[@]}" -std=c99 "${cflags[@]}" "$src/examples/host.c" "$libdir/libquorvel.a" "${static[@]}" \
    -o "$tmp/host-static" || fail "the C host does not link against libquorvel.a with: ${static[*]}"
  if command -v readelf >/dev/null && readelf -d "$tmp/host-static" | grep -q 'NEEDED.*libquorvel'; then
    fail "the static host needs libquorvel.so"
  fi

  LD_LIBRARY_PATH=$libdir "$tmp/host-shared" "$sample" "$tmp/shared.raw" || fail "the shared host failed"
  "$tmp/host-static" "$sample" "$tmp/static.raw" || fail "the static host failed"
  [ "$(wc -c <"$tmp/shared.raw")" = "$pcm_bytes" ] || fail "the shared host wrote $(wc -c <"$tmp/shared.raw") bytes"
  cmp "$tmp/shared.raw" "$tmp/static.raw" || fail "the shared and the static library disagree"
  ;;

subproject)
  cxx=$5 generator=$6
  # No CMAKE_BUILD_TYPE: the parent has none, and Quorvel must not give it one.
  cmake -S "$src/examples/consumer" -B "$tmp/parent" -G "$generator" -DQUORVEL_SOURCE_DIR="$src" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$tmp/configure.log" 2>&1 ||
    { cat "$tmp/configure.log"; fail "configuring a parent project with Quorvel as a subproject"; }
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$tmp/parent/CMakeCache.txt")
  [ -z "$type" ] || fail "the subproject set the parent's build type to '$type'"
  for option in QUORVEL_INSTALL QUORVEL_BUILD_TESTS QUORVEL_BUILD_CLI QUORVEL_BUILD_BENCH; do
    grep -q "^$option:BOOL=OFF$" "$tmp/parent/CMakeCache.txt" || fail "$option is not OFF in a subproject"
  done
  cmake --build "$tmp/parent" >"$tmp/build.log" 2>&1 || { tail -n 40 "$tmp/build.log"; fail "building the parent"; }
  "$tmp/parent/consumer" "$sample" "$tmp/cpp.raw" compatible | grep -q "500 frames" || fail "the consumer of Quorvel::quorvel_cpp"
  LD_LIBRARY_PATH=$tmp/parent/quorvel "$tmp/parent/host" "$sample" "$tmp/c.raw" || fail "the host of Quorvel::quorvel"
  [ "$(wc -c <"$tmp/c.raw")" = "$pcm_bytes" ] || fail "the host wrote $(wc -c <"$tmp/c.raw") bytes"
  cmp "$tmp/cpp.raw" "$tmp/c.raw" || fail "the C++ API and the C calls disagree"
  # Installing the parent installs nothing of Quorvel's.
  cmake --install "$tmp/parent" --prefix "$tmp/installed" >/dev/null
  [ -z "$(find "$tmp/installed" -type f 2>/dev/null)" ] || fail "the subproject installed: $(find "$tmp/installed" -type f)"
  ;;

*) fail "unknown mode $mode" ;;
esac
echo "package_test $mode: passed"
