#!/usr/bin/env bash
# Times whole-process decoding of MPEG audio streams by Quorvel and, where
# they are installed, by mpg123 and ffmpeg, and prints a table of medians.
#
#   bench/compare.sh [options] STREAM...
#
#   --seconds S     first build long streams: repeat each STREAM (MPEG frames
#                   simply concatenate) until it holds at least S seconds
#   --repeat N      ... or repeat each STREAM exactly N times
#   --runs N        timed runs per command and stream (default 5); the
#                   commands alternate run by run
#   --callgrind     also count instructions (valgrind --tool=callgrind,
#                   whole process) per second of audio: a second table with
#                   one row per stream and tier (peers as anchors)
#   --build-dir D   where Quorvel is built (default: build-compare); it is
#                   configured and built in Release mode when needed
#   --work-dir D    where long streams are written (default: $TMPDIR/quorvel-compare)
#   --no-peers      time Quorvel only
#
# Quorvel runs in both arithmetic tiers: `quorvel decode -q --sink null
# STREAM` (the command line's null sink; the full tier, its default) and the
# same with `--accuracy compatible`. A build without the command line runs
# quorvel_decode_file instead, which decodes through the exported C calls (the
# compatible tier) only. A peer that is not installed is reported as such; it
# never makes the script fail. Figures are medians of whole-process wall-clock
# times; CPU is user + system time of the same runs.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
seconds=0
repeat=0
runs=5
callgrind=0
peers=1
build_dir=$here/build-compare
work_dir=${TMPDIR:-/tmp}/quorvel-compare
streams=()

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --callgrind) callgrind=1; shift ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --work-dir) work_dir=$2; shift 2 ;;
    --no-peers) peers=0; shift ;;
    -h|--help) usage 0 ;;
    -*) echo "compare.sh: unknown option $1" >&2; usage 2 >&2 ;;
    *) streams+=("$1"); shift ;;
  esac
done
[ ${#streams[@]} -gt 0 ] || { echo "compare.sh: no stream given" >&2; usage 2 >&2; }
for s in "${streams[@]}"; do
  [ -r "$s" ] || { echo "compare.sh: cannot read $s" >&2; exit 2; }
done

# --- Quorvel, built if needed ---------------------------------------------
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  echo "== configuring a release build in $build_dir"
  cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build_dir" -j 2 >/dev/null
cli=$build_dir/src/cli/quorvel
tool=$build_dir/bench/quorvel_decode_file
tiers=()
if [ -x "$cli" ] && "$cli" decode --help 2>&1 | grep -q -- '--accuracy'; then
  tiers=(full compatible)
  ours_name="quorvel decode --sink null [--accuracy compatible]"
elif [ -x "$tool" ]; then
  tiers=(compatible)
  ours_name="quorvel_decode_file (the C calls)"
else
  echo "compare.sh: neither $cli nor $tool was built" >&2
  exit 1
fi

# --- the peers that are installed ------------------------------------------
peer_names=()
if [ "$peers" = 1 ]; then
  if command -v mpg123 >/dev/null 2>&1; then peer_names+=(mpg123); else echo "note: mpg123 is not installed: its column stays empty"; fi
  if command -v ffmpeg >/dev/null 2>&1; then peer_names+=(ffmpeg); else echo "note: ffmpeg is not installed: its column stays empty"; fi
fi

# Sets the array `cmd` to the command that decodes stream $2 with program $1.
command_for() {
  case $1 in
    full) cmd=("$cli" decode -q --sink null "$2") ;;
    compatible)
      if [ ${#tiers[@]} -eq 2 ]; then cmd=("$cli" decode -q --sink null --accuracy compatible "$2"); else cmd=("$tool" "$2"); fi
      ;;
    mpg123) cmd=(mpg123 -q -w /dev/null "$2") ;;
    ffmpeg) cmd=(ffmpeg -nostdin -v error -i "$2" -f null -) ;;
  esac
}

# Seconds of audio in a stream, from Quorvel's own decode.
audio_seconds() {
  "$tool" "$1" 2>&1 >/dev/null | sed -n 's/.* frames, \([0-9.]*\) s of audio.*/\1/p'
}

# --- long streams ----------------------------------------------------------
inputs=()
mkdir -p "$work_dir"
for s in "${streams[@]}"; do
  n=1
  if [ "$repeat" -gt 0 ]; then
    n=$repeat
  elif [ "$seconds" != 0 ]; then
    d=$(audio_seconds "$s")
    n=$(awk -v want="$seconds" -v d="$d" 'BEGIN { n = (d > 0) ? int(want / d) : 1; if (n * d < want) n++; print (n < 1) ? 1 : n }')
  fi
  if [ "$n" -le 1 ]; then
    inputs+=("$s")
    continue
  fi
  base=$(basename "$s")
  long=$work_dir/${base%.*}.x$n.${base##*.}
  if [ ! -s "$long" ] || [ "$long" -ot "$s" ]; then
    : >"$long.tmp"
    for _ in $(seq "$n"); do cat "$s" >>"$long.tmp"; done
    mv "$long.tmp" "$long"
  fi
  inputs+=("$long")
done

# --- timing ----------------------------------------------------------------
# Prints "wall cpu" in seconds for one run of a command.
time_once() {
  local TIMEFORMAT='%3R %3U %3S' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || true
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print ""; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Instructions (Ir) of the whole process under callgrind.
instructions() {
  local out
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" >/dev/null 2>"$out" || true
  sed -n 's/.*Collected : *\([0-9]*\).*/\1/p; s/.*I *refs: *\([0-9,]*\).*/\1/p' "$out" | tr -d , | head -n 1
  rm -f "$out"
}

echo "== machine: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2 | sed 's/^ //') ($(nproc) cores), $(uname -sr)"
echo "== compiler: $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt" | xargs -r -I{} sh -c '{} --version | head -n 1')"
echo "== quorvel: $ours_name, kernels $("$tool" --kernels-used 2>/dev/null || echo '?'); $runs runs per command, medians of whole-process times"
for p in "${peer_names[@]}"; do
  case $p in
    mpg123) echo "== mpg123: $(mpg123 --version 2>/dev/null | head -n 1)" ;;
    ffmpeg) echo "== ffmpeg: $(ffmpeg -version 2>/dev/null | head -n 1)" ;;
  esac
done
if [ "$callgrind" = 1 ] && ! command -v valgrind >/dev/null 2>&1; then
  echo "note: valgrind is not installed: no instruction counts"
  callgrind=0
fi

rows=()
cg_rows=()
for input in "${inputs[@]}"; do
  audio=$(audio_seconds "$input")
  declare -A walls=() cpus=()
  for _ in $(seq "$runs"); do
    for p in "${tiers[@]}" "${peer_names[@]}"; do
      command_for "$p" "$input"
      read -r w c < <(time_once "${cmd[@]}")
      walls[$p]+="$w "; cpus[$p]+="$c "
    done
  done
  row=$(awk -v a="$audio" 'BEGIN { printf "%.1f s", a }')
  for t in full compatible; do
    if [[ " ${tiers[*]} " == *" $t "* ]]; then
      w=$(tr ' ' '\n' <<<"${walls[$t]}" | sed '/^$/d' | median)
      c=$(tr ' ' '\n' <<<"${cpus[$t]}" | sed '/^$/d' | median)
      row+=$(awk -v a="$audio" -v w="$w" -v c="$c" 'BEGIN { printf " | %.3f s (%.0fx), CPU %.3f s", w, (w > 0 ? a / w : 0), c }')
    else
      row+=" | not built"
    fi
  done
  # The peers against the first tier measured (the full tier when built).
  ours_wall=$(tr ' ' '\n' <<<"${walls[${tiers[0]}]}" | sed '/^$/d' | median)
  for p in mpg123 ffmpeg; do
    if [[ " ${peer_names[*]-} " == *" $p "* ]]; then
      pw=$(tr ' ' '\n' <<<"${walls[$p]}" | sed '/^$/d' | median)
      row+=$(awk -v a="$audio" -v w="$pw" -v o="$ours_wall" 'BEGIN { printf " | %.3f s (%.0fx), ours %.2fx faster", w, (w > 0 ? a / w : 0), (o > 0 ? w / o : 0) }')
    else
      row+=" | not installed"
    fi
  done
  if [ "$callgrind" = 1 ]; then
    for p in "${tiers[@]}" "${peer_names[@]}"; do
      command_for "$p" "$input"
      ir=$(instructions "${cmd[@]}")
      case $p in full|compatible) label="$p tier" ;; *) label="$p (anchor)" ;; esac
      cg_rows+=("$(awk -v s="$(basename "$input")" -v p="$label" -v i="$ir" -v a="$audio" \
        'BEGIN { printf "| %s | %s | %.0f | %.3f M |", s, p, i, (a > 0 ? i / a / 1e6 : 0) }')")
    done
  fi
  rows+=("| $(basename "$input") | $row |")
  unset walls cpus
done

echo
echo "| stream | audio | full tier wall (x realtime), CPU | compatible tier wall (x realtime), CPU | mpg123 | ffmpeg |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ "$callgrind" = 1 ]; then
  # Instructions of the whole process (start-up and I/O included) per second
  # of audio, one row per stream and tier (and per peer that is installed).
  echo
  echo "| stream | tier | instructions (callgrind, whole process) | per audio second |"
  echo "|---|---|---|---|"
  printf '%s\n' "${cg_rows[@]}"
fi
