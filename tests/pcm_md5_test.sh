#!/usr/bin/env bash
# quorvel_pcm_md5 hashes what the command line writes with its defaults and
# without concealment (the full tier, 4096-byte buffers), so that the cross
# check's lists compare the PCM users get.
# Usage: pcm_md5_test.sh QUORVEL_PCM_MD5 QUORVEL
set -euo pipefail
tool=$1 q=$2
corpus=${QUORVEL_CORPUS:-$QUORVEL_CORPUS_DEFAULT}
if [ ! -f "$corpus/golden/INDEX.tsv" ]; then
  echo "corpus not found at $corpus: set QUORVEL_CORPUS"
  exit 77
fi
# Both layers, LSF, a stream that changes layer, rate and mode from frame to
# frame, and one that decodes to noise.
streams=(iso/l1-fl8.bit iso/l2-test32.bit twolame/l2_16000_dc_32k_crc_sweep.mp2
  synth/mixed_random_per_frame.mpa ffmpeg/ff_mp2_44100_st_32k_nonstd_chord.mp2)
mine=$("$tool" "$corpus" "${streams[@]}" 2>/dev/null)
theirs=$(cd "$corpus" && "$q" decode --sink md5 --no-conceal -q "${streams[@]}")
if [ "$mine" != "$theirs" ]; then
  echo "FAIL: quorvel_pcm_md5 and the command line disagree:" >&2
  diff <(echo "$mine") <(echo "$theirs") >&2 || true
  exit 1
fi
echo "${#streams[@]} streams, the same MD5s as the command line"
