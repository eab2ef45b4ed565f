#!/usr/bin/env bash
# Fills a directory with fuzzing seeds: a few tiny inputs, and the first
# 16 KiB of every stream listed in the corpus manifest when the corpus is
# present. Seeds go to a directory of the caller's choosing, never into the
# source tree.
# Usage: fuzz/make-seeds.sh OUT_DIR [CORPUS_DIR]   (default: $QUORVEL_CORPUS)
set -euo pipefail
out=${1:?usage: make-seeds.sh OUT_DIR [CORPUS_DIR]}
corpus=${2:-${QUORVEL_CORPUS:-}}
max_len=${QUORVEL_FUZZ_MAX_LEN:-16384}
mkdir -p "$out"
: > "$out/empty"
printf '\xff\xfd\x90\x64' > "$out/header-only"
printf 'ID3\x04\x00\x00\x00\x00\x00\x0a0123456789\xff\xfd\x90\x64' > "$out/id3-then-header"
# Two Layer III frames (32 kHz mono, 32 kbit/s): one of silence, one whose
# main data reaches back into the first.
{ printf '\xff\xfb\x18\xc0'; head -c 140 /dev/zero
  printf '\xff\xfb\x18\xc0\x3d\x80\x00\x30\x05\x00\x00\x00\x40'; head -c 131 /dev/zero; } > "$out/layer3-reservoir"
if [ -n "$corpus" ] && [ -f "$corpus/MANIFEST.tsv" ]; then
  count=0
  while IFS=$'\t' read -r file _bytes layer _rest; do
    [ "$layer" = "-" ] || [ "$layer" = "layer" ] && continue
    head -c "$max_len" "$corpus/$file" > "$out/$(printf '%s' "$file" | tr '/' '_')"
    count=$((count + 1))
  done < "$corpus/MANIFEST.tsv"
  # The Layer III streams, which the manifest does not list.
  for file in "$corpus"/iso-layer3/*.bit "$corpus"/bench-layer3/*.mp3; do
    [ -f "$file" ] || continue
    head -c "$max_len" "$file" > "$out/layer3_$(basename "$file")"
    count=$((count + 1))
  done
  echo "seeds: $count corpus streams (first $max_len bytes) and 4 tiny inputs in $out"
else
  echo "seeds: no corpus at '${corpus}', starting from 4 tiny inputs" >&2
fi
