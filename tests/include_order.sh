#!/usr/bin/env bash
# Keeps the include order of src/README.md: a file may include headers of its
# own stage and of the stages below it, never of a stage above. Prints every
# climbing include as FILE:LINE and exits 1 if there is one; a source file in
# src/ that belongs to no stage fails too, so that the list stays complete.
# Usage: tests/include_order.sh [SOURCE_ROOT]   (default: the tree of this script)
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

# Sets rank and stage to those of a file; rank is empty for a file outside the stages.
stage_of() {
  rank=
  stage=
  case $1 in
    src/fixed.h | src/cpu.h | src/cpu.cpp | src/simd_target.h | include/quorvel/quorvel.h) rank=0 stage=vocabulary ;;
    src/bitstream/*) rank=1 stage=bitstream ;;
    src/layers/*) rank=2 stage=layers ;;
    src/synth/*) rank=3 stage=synthesis ;;
    src/output/*) rank=4 stage=output ;;
    src/api/cpp_* | include/quorvel/decoder.hpp) rank=7 stage="C++ API" ;;
    src/api/*) rank=5 stage=api ;;
    src/container/*) rank=6 stage=container ;;
    src/cli/*) rank=8 stage=CLI ;;
  esac
}

# Sets target to the file an #include "name" in `from` reads: beside it, else
# under src/ or include/; empty when it is none of the tree's.
resolve() {
  local from=$1 name=$2 candidate
  target=
  for candidate in "${from%/*}/$name" "src/$name" "include/$name"; do
    if [ -f "$candidate" ]; then
      target=$candidate
      [[ $candidate == *..* || $candidate == */./* ]] && target=$(realpath --relative-to=. "$candidate")
      return
    fi
  done
}

failures=0
files=0
while IFS= read -r file; do
  files=$((files + 1))
  stage_of "$file"
  if [ -z "$rank" ]; then
    echo "$file: belongs to no stage (add it to src/README.md and to $0)"
    failures=$((failures + 1))
    continue
  fi
  file_rank=$rank file_stage=$stage
  while IFS=: read -r line name; do
    resolve "$file" "$name"
    [ -n "$target" ] || continue  # not part of the library
    stage_of "$target"
    [ -n "$rank" ] || continue
    if [ "$rank" -gt "$file_rank" ]; then
      echo "$file:$line: $file_stage includes \"$name\" of $stage, a higher stage"
      failures=$((failures + 1))
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
done < <(find src include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) | sort)

if [ "$files" -eq 0 ]; then
  echo "include order: no sources found under $(pwd)"
  exit 2
fi
if [ "$failures" -gt 0 ]; then
  echo "include order: $failures place(s) out of order in $files files (see src/README.md)"
  exit 1
fi
echo "include order: $files files, every include at its own stage or below"
