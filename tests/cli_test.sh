#!/usr/bin/env bash
# Tests of the quorvel command line, the example C host and the installed
# package.
# Usage: cli_test.sh cli|corpus|package QUORVEL HOST SOURCE_DIR BUILD_DIR [SANITIZE]
#   cli      bad input, WAV output, concealment, mixed formats (no corpus needed)
#   corpus   the CLI's PCM against the C host's over every corpus stream
#   package  install into a temporary prefix and build a consumer against it
set -euo pipefail
mode=$1 q=$2 host=$3 src=$4 build=$5 sanitize=${6:-OFF}
sample=$src/examples/sample.mp2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# expect STATUS PATTERN CMD...: CMD exits with STATUS and its standard error
# matches PATTERN (is empty for ""); a failure is a single line.
expect() {
  local want=$1 pattern=$2 status=0
  shift 2
  "$@" >"$tmp/stdout" 2>"$tmp/stderr" || status=$?
  [ "$status" = "$want" ] || fail "$*: exit $status, not $want: $(cat "$tmp/stderr")"
  if [ -z "$pattern" ]; then
    [ ! -s "$tmp/stderr" ] || fail "$*: unexpected message: $(cat "$tmp/stderr")"
  else
    grep -Eq -- "$pattern" "$tmp/stderr" || fail "$*: stderr lacks /$pattern/: $(cat "$tmp/stderr")"
  fi
  [ "$want" = 0 ] || [ "$(wc -l <"$tmp/stderr")" = 1 ] || fail "$*: more than one line: $(cat "$tmp/stderr")"
}

# wav FILE RATE CHANNELS FRAMES: Python's wave module reads FILE with this format.
wav() {
  python3 - "$@" <<'EOF'
import sys, wave
with wave.open(sys.argv[1]) as w:
    got = (w.getframerate(), w.getnchannels(), w.getnframes(), w.getsampwidth())
want = tuple(map(int, sys.argv[2:5])) + (2,)
sys.exit(0 if got == want else f"{sys.argv[1]}: (rate, channels, frames, width) {got} != {want}")
EOF
}

case $mode in
cli)
  cd "$tmp"
  cp "$sample" s.mp2
  # Layer I, 32 kHz, single channel, 48-byte frames of silence; one with a wrong CRC.
  good() { printf '\xff\xff\x18\xc0'; head -c 44 /dev/zero; }
  { good; good; printf '\xff\xfe\x18\xc0'; head -c 44 /dev/zero; good; good; } >crc.mp1
  { good; good; good; head -c 2880 s.mp2; good; good; } >mixed.mp2  # + 5 frames of 48 kHz stereo
  head -c 10000 s.mp2 >cut.mp2
  head -c 5000 /dev/zero | tr '\0' y >junk.bin
  : >empty.mp2

  # Bad input and bad options: one line, non-zero exit, no output left behind.
  expect 1 "missing.mp2: No such file or directory" "$q" decode missing.mp2
  expect 1 "$tmp: is a directory" "$q" decode "$tmp"
  expect 1 "empty.mp2: the file is empty" "$q" decode empty.mp2
  expect 1 "no MPEG audio Layer I/II frames found in junk.bin$" "$q" decode junk.bin
  [ ! -e junk.wav ] || fail "a failed decode left junk.wav behind"
  expect 1 "no MPEG audio Layer I/II frames found in junk.bin$" "$q" info junk.bin
  expect 1 "nodir/x.wav: No such file or directory" "$q" decode s.mp2 -o nodir/x.wav
  expect 1 "/dev/full: No space left on device" "$q" decode s.mp2 -o /dev/full
  expect 1 "PCM MD5 [0-9a-f]{32} does not match 0123" "$q" decode s.mp2 --sink null --verify 0123456789abcdef0123456789abcdef
  expect 2 "unknown option '--bogus' \(see quorvel --help\)" "$q" decode --bogus s.mp2
  expect 2 "unknown command 'frob'" "$q" frob
  expect 2 "no input file" "$q" decode
  expect 2 "--rate 44000: not one of 8000, 11025" "$q" decode s.mp2 --rate 44000
  expect 2 "--eq 1,2: needs ten" "$q" decode s.mp2 --eq 1,2
  expect 2 "--buffer 100: not a size from 2889 to 32768" "$q" decode s.mp2 --buffer 100
  expect 2 "-o names one output, but there are 2 inputs" "$q" decode s.mp2 crc.mp1 -o x.wav
  expect 1 "s.mp2: the output would overwrite its input" "$q" decode s.mp2 -o s.mp2

  # Layer III (32 kHz mono, 32 kbit/s, 144-byte frames of silence): decoded in
  # the full tier, refused by name in the compatible one. An Info frame with
  # a LAME extension (delay 576, padding 1000) is never audio, and its delay
  # and padding are trimmed unless --no-gapless.
  l3() { printf '\xff\xfb\x18\xc0'; head -c 140 /dev/zero; }
  { l3; l3; l3; } >l3.mp3
  expect 1 "l3.mp3: MPEG audio Layer III, which --accuracy compatible does not decode$" "$q" decode --accuracy compatible l3.mp3
  expect 1 "l3.mp3: MPEG audio Layer III, which --accuracy compatible does not decode$" "$q" info --accuracy compatible l3.mp3
  expect 0 "" "$q" decode --raw l3.mp3 -o l3.raw
  [ "$(wc -c <l3.raw)" = 6912 ] || fail "Layer III: $(wc -c <l3.raw) bytes, not 3 x 1152 x 2"
  # --start on a Layer III file seeks by the frame index (40 frames: the
  # decode resumes a few frames before the sample), as on Layers I and II.
  expect 0 "" "$q" decode --raw --start 1000s l3.mp3 -o l3cut.raw
  [ "$(wc -c <l3cut.raw)" = 4912 ] || fail "Layer III --start: $(wc -c <l3cut.raw) bytes, not (3456 - 1000) x 2"
  for i in $(seq 40); do l3; done >l3long.mp3
  expect 0 "" "$q" decode --raw --start 40000s --end 45000s l3long.mp3 -o l3seek.raw
  [ "$(wc -c <l3seek.raw)" = 10000 ] || fail "Layer III seek: $(wc -c <l3seek.raw) bytes, not 5000 x 2"
  { printf '\xff\xfb\x18\xc0'; head -c 17 /dev/zero; printf 'Info\0\0\0\1\0\0\0\2LAME3.100'; head -c 12 /dev/zero
    printf '\x24\x03\xe8'; head -c 87 /dev/zero; l3; l3; } >gapless.mp3
  "$q" info --json gapless.mp3 | grep -q '"layer":3,.*"frames":2,.*"gapless":{"delay":576,"padding":1000}}' ||
    fail "info --json gapless.mp3: $("$q" info --json gapless.mp3)"
  expect 0 "" "$q" decode --raw gapless.mp3 -o gapless.raw
  [ "$(wc -c <gapless.raw)" = 1456 ] || fail "gapless: $(wc -c <gapless.raw) bytes, not (2304 - 1576) x 2"
  expect 0 "" "$q" decode --raw --no-gapless gapless.mp3 -o whole.raw
  [ "$(wc -c <whole.raw)" = 4608 ] || fail "--no-gapless: $(wc -c <whole.raw) bytes, not 2304 x 2"

  # The default tier is full accuracy; --accuracy compatible gives exactly the
  # C host's PCM. A WAV holds the PCM of --raw; its sizes are right in a file
  # and at their maximum in a pipe.
  expect 0 "" "$q" decode s.mp2
  wav s.wav 48000 2 576000
  "$host" s.mp2 host.raw
  "$q" decode --raw s.mp2 -o full.raw
  tail -c +45 s.wav | cmp - full.raw || fail "WAV data differs from the raw PCM"
  "$q" decode --accuracy full --raw s.mp2 -o full2.raw && cmp full.raw full2.raw || fail "--accuracy full"
  ! cmp -s full.raw host.raw || fail "the default decode gave the compatible tier's PCM"
  expect 0 "" "$q" decode --accuracy compatible s.mp2 -o compatible.wav
  tail -c +45 compatible.wav | cmp - host.raw || fail "compatible WAV data differs from the C host's PCM"
  "$q" decode --accuracy compatible --raw s.mp2 && cmp s.raw host.raw || fail "compatible --raw differs from the C host's PCM"
  expect 2 "--accuracy exact: not one of full, compatible" "$q" decode s.mp2 --accuracy exact
  [ "$("$q" decode s.mp2 --sink md5)" = "$(md5sum <full.raw | cut -c1-32)  s.mp2" ] || fail "md5 sink"
  "$q" decode s.mp2 --sink null --verify "$(md5sum <full.raw | cut -c1-32)" || fail "--verify of the right MD5"
  "$q" decode - -o - <s.mp2 | cat >piped.wav
  [ "$(od -An -tx1 -j4 -N4 piped.wav)$(od -An -tx1 -j40 -N4 piped.wav)" = " ff ff ff ff ff ff ff ff" ] ||
    fail "a WAV to a pipe must carry the largest sizes"
  tail -c +45 piped.wav | cmp - full.raw || fail "piped WAV data"
  # A device or pipe named as the output takes the stream as standard output
  # does (/dev/stdout and /proc/self/fd/1 lead to a pipe that has no path);
  # when standard output is a file, /dev/stdout is that file.
  mkfifo out.fifo
  for out in - /dev/stdout /proc/self/fd/1 out.fifo; do
    for kind in wav raw; do
      if [ "$out" = out.fifo ]; then
        cat out.fifo >streamed &
        "$q" decode s.mp2 --sink $kind -o out.fifo || fail "--sink $kind -o out.fifo"
        wait $!
      else
        "$q" decode s.mp2 --sink $kind -o "$out" | cat >streamed || fail "--sink $kind -o $out"
      fi
      want=piped.wav
      [ $kind = wav ] || want=full.raw
      cmp streamed $want || fail "--sink $kind -o $out differs from $want"
    done
  done
  "$q" decode s.mp2 -o /dev/stdout >redirected.wav && wav redirected.wav 48000 2 576000
  expect 0 "" "$q" decode s.mp2 -o /dev/null
  [ -c /dev/null ] || fail "/dev/null is gone"
  # The full tier's converter keeps the whole duration: 576000 samples at
  # 48 kHz are 264600 at 22.05 kHz; the compatible tier's interpolation gives
  # ceil(1151 * 22050 / 48000) = 529 per frame.
  "$q" decode s.mp2 --rate 22050 -o r.wav && wav r.wav 22050 2 264600
  "$q" decode s.mp2 --rate 22050 --accuracy compatible -o rc.wav && wav rc.wav 22050 2 $((500 * 529))
  "$q" decode s.mp2 --preamp 0 --raw -o p.raw
  [ "$(tr -d '\0' <p.raw | head -c 1 | wc -c)" = 1 ] || fail "--preamp alone must not mute"

  # A truncated stream decodes what it holds, and says so.
  expect 0 "cut.mp2: the stream ends inside a frame; its last 208 bytes were not decoded" "$q" decode cut.mp2
  wav cut.wav 48000 2 $((17 * 1152))
  # Damaged frames become silence of their length, or are dropped.
  expect 0 "crc.mp1: 1 damaged frame replaced by silence \(1 crc error\)" "$q" decode crc.mp1
  wav crc.wav 32000 1 $((5 * 384))
  expect 0 "1 damaged frame dropped" "$q" decode crc.mp1 --no-conceal -o dropped.wav
  wav dropped.wav 32000 1 $((4 * 384))
  # A change of rate and channels mid-stream: one WAV at the first frame's format.
  expect 0 "changes its sample rate \(32000, 48000 Hz\) and channel count \(1 and 2\) mid-stream; wrote all of it as 32000 Hz with 1 channel" \
    "$q" decode mixed.mp2
  wav mixed.wav 32000 1 $((5 * 384 + 5 * 768))

  # A decode that fails or is stopped by a signal removes the output it
  # created, and nothing else: not a file that was there, not a device, not
  # a pipe (the tests may run as root, where /dev/null could go).
  mkfifo slow.fifo
  # fail_into HOW OUT: sets `got` to the exit status of a decode into OUT that
  # fails HOW: junk (no frames), verify (a wrong MD5), or a signal that comes
  # while the input stalls half-way.
  fail_into() {
    local pid
    got=0
    case $1 in
      junk) "$q" decode junk.bin -o "$2" 2>/dev/null || got=$? ;;
      verify) "$q" decode s.mp2 -o "$2" --verify 0123456789abcdef0123456789abcdef 2>/dev/null || got=$? ;;
      *)
        # A script's background job starts with SIGINT ignored, and the CLI
        # keeps a signal it inherited as ignored.
        env --default-signal=INT,TERM,HUP "$q" decode -q slow.fifo -o "$2" &
        pid=$!
        exec 3>slow.fifo          # once the decoder opens its input
        head -c 100000 s.mp2 >&3  # a pipe holds 64 KiB: the decoder has read, so its output exists
        kill -s "$1" $pid
        { wait $pid || got=$?; } 2>/dev/null
        exec 3>&-
        ;;
    esac
  }
  for failure in junk:1 verify:1 INT:130 TERM:143 HUP:129; do
    how=${failure%:*} status=${failure#*:}
    for out in new.wav old.wav /dev/null out.fifo; do
      rm -f new.wav
      echo "there before" >old.wav
      [ $out != out.fifo ] || { cat out.fifo >/dev/null & reader=$!; }
      fail_into "$how" $out
      [ $out != out.fifo ] || wait $reader
      [ "$got" = "$status" ] || fail "decode into $out failing by $how: exit $got, not $status"
      case $out in
        new.wav) [ ! -e new.wav ] || fail "$how left behind the output it created" ;;
        old.wav) [ -f old.wav ] || fail "$how removed an output file that was there before" ;;
        /dev/null) [ -c /dev/null ] || fail "$how removed /dev/null" ;;
        out.fifo) [ -p out.fifo ] || fail "$how removed a named pipe" ;;
      esac
    done
  done
  # Outputs already finished stay: one job at a time, the first input's WAV
  # is complete before the second input is opened.
  got=0
  env --default-signal=INT "$q" decode -q -d stopped s.mp2 slow.fifo &
  exec 3>slow.fifo
  head -c 100000 s.mp2 >&3
  kill -s INT $!
  { wait $! || got=$?; } 2>/dev/null
  exec 3>&-
  [ "$got" = 130 ] && cmp stopped/s.wav s.wav && [ ! -e stopped/slow.wav ] ||
    fail "SIGINT must keep the finished output and remove only the unfinished one"
  # A hangup inherited as ignored (nohup) does not stop the decode.
  env --ignore-signal=HUP "$q" decode -q slow.fifo -o nohup.wav &
  exec 3>slow.fifo
  head -c 100000 s.mp2 >&3
  kill -s HUP $!
  tail -c +100001 s.mp2 >&3
  exec 3>&-
  wait $! || fail "an ignored SIGHUP stopped the decode"
  cmp nohup.wav s.wav || fail "an ignored SIGHUP changed the output"

  # Several inputs in parallel into a directory; --quiet silences the warnings.
  expect 0 "" "$q" decode -q -j 2 -d out s.mp2 crc.mp1 mixed.mp2
  cmp out/s.wav s.wav && cmp out/crc.wav crc.wav && cmp out/mixed.wav mixed.wav || fail "-d/-j outputs"

  # --start, --end, --duration: the same samples as the slice of the whole
  # decode, in every way of writing a time, converted or not; standard input
  # decodes and discards.
  "$q" decode -q --raw s.mp2 -o whole.raw
  "$q" decode -q --raw --rate 44100 s.mp2 -o whole44.raw
  slice() {  # slice FILE FIRST COUNT (samples of 2 channels)
    tail -c +$(($2 * 4 + 1)) "$1" | head -c $(($3 * 4))
  }
  check_slice() {  # check_slice WHOLE FIRST COUNT ARGS...
    local whole=$1 first=$2 count=$3
    shift 3
    "$q" decode -q --raw "$@" -o part.raw || fail "$*"
    cmp part.raw <(slice "$whole" "$first" "$count") || fail "$* is not samples $first..+$count of $whole"
  }
  check_slice whole.raw 48000 48000 s.mp2 --start 1 --end 2
  check_slice whole.raw 48000 48000 s.mp2 --start 1 --duration 1
  check_slice whole.raw 72000 24000 s.mp2 --start 0:01.5 --end 0:0:02
  check_slice whole.raw 12345 678 s.mp2 --start 12345s --duration 678s
  check_slice whole.raw 0 1000 s.mp2 --end 1000s
  check_slice whole.raw 575000 1000 s.mp2 --start 575000s
  check_slice whole.raw 575000 1000 - --start 575000s <s.mp2
  check_slice whole.raw 1 1 s.mp2 --start 0.00002 --end 0.00004  # 0.96 and 1.92 samples round to 1 and 2
  check_slice whole44.raw 44100 22050 --rate 44100 s.mp2 --start 1 --duration 0.5
  check_slice whole44.raw 529199 1 --rate 44100 s.mp2 --start 529199s
  "$q" decode -q s.mp2 --start 2 --duration 3 -o trimmed.wav && wav trimmed.wav 48000 2 144000
  expect 0 "s.mp2: --end 13 reaches past the end of the stream \\(576000 samples at 48000 Hz\\); wrote up to its end" \
    "$q" decode --raw s.mp2 --start 11 --end 13 -o tail.raw
  cmp tail.raw <(slice whole.raw 528000 48000) || fail "--end past the end"
  # Bad times: one line, non-zero exit, no output left behind.
  expect 1 "s.mp2: --start 12 is past the end of the stream \\(576000 samples at 48000 Hz\\)" \
    "$q" decode s.mp2 --start 12 -o late.wav
  [ ! -e late.wav ] || fail "a start past the end left late.wav behind"
  expect 1 "s.mp2: --start 9999999s is past the end" "$q" decode s.mp2 --start 9999999s -o late.wav
  expect 2 "--end 1 is not after --start 2" "$q" decode s.mp2 --start 2 --end 1
  expect 2 "--end 5s is not after --start 5s" "$q" decode s.mp2 --start 5s --end 5s
  expect 1 "--end 100s is not after --start 1" "$q" decode s.mp2 --start 1 --end 100s -o x.wav
  [ ! -e x.wav ] || fail "an empty slice left x.wav behind"
  expect 1 "--duration 0 is no sample long at 48000 Hz" "$q" decode s.mp2 --duration 0 -o x.wav
  expect 2 "--end and --duration exclude each other" "$q" decode s.mp2 --end 2 --duration 1
  expect 2 "--start -1: negative times are not allowed" "$q" decode s.mp2 --start -1
  for bad in "" abc 1.2.3 1: :5 1:60 1:60:00 1:2:3:4 1.5s 12x . 1. 0.1234567890 99999999999999999999; do
    expect 2 "--start ${bad:-''}: " "$q" decode s.mp2 --start "$bad"
  done
  expect 2 "--end" "$q" decode s.mp2 --end
  expect 2 "unknown option '--start' for info" "$q" info s.mp2 --start 1

  # info: the documented JSON fields.
  "$q" info --json crc.mp1 s.mp2 >info.json
  python3 - <<'EOF' || fail "info --json"
import json
keys = {"file", "mpeg_version", "layer", "sample_rate", "channels", "mode", "bitrate", "average_bitrate", "frames",
        "duration", "samples", "crc_protected_frames", "skipped", "leading_bytes", "trailing_bytes", "truncated",
        "mixed", "tags"}
crc, s = [json.loads(line) for line in open("info.json")]
assert set(crc) == keys == set(s), set(crc) ^ keys
assert (crc["layer"], crc["sample_rate"], crc["channels"], crc["mode"]) == (1, 32000, 1, "single channel")
assert (crc["frames"], crc["crc_protected_frames"], crc["skipped"]["crc_error"]) == (5, 1, 1)
assert (s["mpeg_version"], s["layer"], s["frames"], s["duration"], s["bitrate"]) == ("MPEG-1", 2, 500, 12.0, 192000)
assert (s["samples"], crc["samples"]) == (576000, 5 * 384), (s["samples"], crc["samples"])
assert sum(s["skipped"].values()) == 0 and not s["truncated"] and not s["mixed"]
EOF
  [ "$("$q" --version)" = "quorvel $(sed -n 's/^project(Quorvel VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")" ] ||
    fail "--version"

  # Wrapped files: the sample behind a 657-byte ID3v2.3 tag whose PRIV frame
  # is full of FF FB / FF FD pairs loses no frame and reports its true format;
  # the same in a broadcast WAV file; and inputs that hold nothing to decode.
  python3 - <<'EOF' || fail "building the wrapped files"
import struct
s = open("s.mp2", "rb").read()
def synchsafe(n): return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
def id3(body, claim=None): return b"ID3\x03\x00\x00" + synchsafe(len(body) if claim is None else claim) + body
priv = b"owner\x00" + b"\xff\xfb\x90\x64\x00\xff\xfd\x90\x64\x00" * 60
body = b"PRIV" + struct.pack(">I", len(priv)) + b"\x00\x00" + priv
body += bytes(647 - len(body))
open("tagged.mp2", "wb").write(id3(body) + s)
def chunk(cid, data): return cid + struct.pack("<I", len(data)) + data + (b"\x00" if len(data) % 2 else b"")
def wave(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body
def fmt(tag): return chunk(b"fmt ", struct.pack("<HHIIHH", tag, 2, 48000, 24000, 1, 0) + bytes(24))
bext = (b"Morning news".ljust(256, b"\x00") + b"Quorvel".ljust(32, b"\x00") + bytes(32) + b"2026-12-09" +
        bytes(602 - 330))
listc = chunk(b"LIST", b"INFOISFT" + struct.pack("<I", 5) + b"\xff\xfd\x90\x64\x00")
open("bwf.wav", "wb").write(wave(fmt(0x50), chunk(b"bext", bext), chunk(b"data", s), listc))
open("pcm.wav", "wb").write(wave(fmt(1), chunk(b"data", bytes(400))))
open("empty.wav", "wb").write(wave(fmt(0x50), b"data" + struct.pack("<I", 0)))
open("tagonly.mp3", "wb").write(id3(body))
open("layer3.mp3", "wb").write((b"\xff\xfb\x90\x64" + bytes(413)) * 4)
open("damaged.mp2", "wb").write(id3(body[:100], claim=10**6) + s)
open("both.mp2", "wb").write(id3(body) + s + b"TAG" + bytes(125))
EOF
  "$q" info --json s.mp2 tagged.mp2 bwf.wav both.mp2 >wrapped.json
  python3 - <<'EOF' || fail "info of wrapped files"
import json
s, tagged, bwf, both = [json.loads(line) for line in open("wrapped.json")]
core = lambda a: {k: v for k, v in a.items() if k not in ("file", "tags", "container")}
assert core(s) == core(tagged), tagged
assert tagged["tags"] == [{"type": "id3v2.3", "offset": 0, "size": 657}], tagged["tags"]
assert (tagged["mode"], tagged["bitrate"], tagged["leading_bytes"]) == ("joint stereo", 192000, 0)
assert core(s) == core(bwf), bwf
assert bwf["container"] == {"type": "RIFF/WAVE", "format_tag": 80, "description": "Morning news",
                            "originator": "Quorvel", "origination_date": "2026-12-09"}, bwf["container"]
assert core(s) == core(both) and [t["type"] for t in both["tags"]] == ["id3v2.3", "id3v1"], both
EOF
  "$q" info tagged.mp2 | grep -q "tag: *id3v2.3, 657 bytes at offset 0" || fail "info text lists the tag"
  "$q" info bwf.wav | grep -q "description: *Morning news" || fail "info text shows the bext description"
  for f in tagged.mp2 bwf.wav both.mp2; do
    "$q" decode --raw "$f" -o wrapped.raw && cmp wrapped.raw full.raw || fail "$f decodes to other PCM"
  done
  "$q" decode --raw - -o piped.raw <tagged.mp2 && cmp piped.raw full.raw || fail "a tagged pipe"
  expect 1 "pcm.wav: already PCM audio \(RIFF/WAVE, format 1\), nothing to decode$" "$q" decode --sink null pcm.wav
  expect 1 "empty.wav: an empty RIFF/WAVE file" "$q" info empty.wav
  expect 1 "tagonly.mp3: tags \(id3v2.3\) and no MPEG audio$" "$q" decode tagonly.mp3
  expect 1 "layer3.mp3: MPEG audio Layer III, which --accuracy compatible does not decode$" "$q" decode --accuracy compatible layer3.mp3
  expect 0 "damaged.mp2: a damaged id3v2.3 tag at offset 0 claims 1000010 bytes.*resumes at offset" \
    "$q" decode --raw damaged.mp2 -o damaged.raw
  cmp damaged.raw full.raw || fail "the audio inside a damaged tag's range"
  ;;

corpus)
  corpus=${QUORVEL_CORPUS:-${QUORVEL_CORPUS_DEFAULT:-$src/../shared/corpus}}
  [ -f "$corpus/golden/INDEX.tsv" ] || { echo "corpus not found: set QUORVEL_CORPUS"; exit 77; }
  cd "$corpus"
  mapfile -t streams < <(cut -f2 golden/INDEX.tsv | tail -n +2 | sort -u)
  # The C host on every stream; a sanitized host is slow to start, so there
  # every sixth (the recorded MD5s, which the host matches, cover the rest).
  stride=1
  [ "$sanitize" != ON ] || stride=6
  mkdir "$tmp/host"
  for ((i = 0; i < ${#streams[@]}; i += 2 * stride)); do  # two at a time
    for s in "${streams[i]}" "${streams[i + stride]:-}"; do
      [ -z "$s" ] || { n=${s##*/}; "$host" "$s" "$tmp/host/${n%.*}.raw" & }
    done
    wait
  done
  # Streams without a Layer I/II frame fail (and are checked against the host).
  "$q" decode -q -j 2 --accuracy compatible --raw --no-conceal -d "$tmp/plain" "${streams[@]}" || true
  "$q" decode -q -j 2 --accuracy compatible -d "$tmp/wav" "${streams[@]}" || true
  python3 - "$tmp" <<'EOF'
import csv, hashlib, os, re, sys, wave
tmp = sys.argv[1]
stem = lambda path: os.path.basename(path).rsplit(".", 1)[0]
golden = {r["stream"]: r["pcm_md5"] for r in csv.DictReader(open("golden/INDEX.tsv"), delimiter="\t")
          if r["config"] == "b4096"}
manifest = {r["file"]: r for r in csv.DictReader(open("MANIFEST.tsv"), delimiter="\t")}
nonzero = re.compile(rb"[^\x00]")

def read(path):
    return open(path, "rb").read() if os.path.exists(path) else None

def first_difference(a, b, i, j):  # length of the common run of a[i:] and b[j:]
    n, k, step = min(len(a) - i, len(b) - j), 0, 1 << 16
    while k + step <= n and a[i + k:i + k + step] == b[j + k:j + k + step]: k += step
    lo, hi = k, min(k + step, n)
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if a[i + k:i + mid] == b[j + k:j + mid]: lo = mid
        else: hi = mid - 1
    return lo

def zeros_at(data, i):
    m = nonzero.search(data, i)
    return (m.start() if m else len(data)) - i

def only_silence_added(c, p):
    c, p = memoryview(c), memoryview(p)
    i = j = 0
    while True:
        k = first_difference(c, p, i, j)
        i, j = i + k, j + k
        if j == len(p): return zeros_at(c, i) == len(c) - i
        s = zeros_at(c, i) - zeros_at(p, j)  # c[i:] is s zero bytes, then p[j:]
        if s <= 0 or s % 2: return False
        i += s

bad = []
for stream, md5 in sorted(golden.items()):
    name, m = stem(stream), manifest[stream]
    p, h = read(f"{tmp}/plain/{name}.raw"), read(f"{tmp}/host/{name}.raw")
    if p is None:  # refused: then nothing decodes
        if md5 != hashlib.md5(b"").hexdigest(): bad.append(f"{name}: refused")
        continue
    if hashlib.md5(p).hexdigest() != md5: bad.append(f"{name}: --no-conceal PCM differs from the recorded host's")
    if h is not None and h != p: bad.append(f"{name}: --no-conceal PCM differs from examples/host.c's")
    if "," in m["rate"]: continue  # a mixed stream: one WAV format for all of it
    with wave.open(f"{tmp}/wav/{name}.wav") as w:
        if (w.getframerate(), w.getnchannels()) != (int(m["rate"]), 1 if m["mode"] == "mono" else 2):
            bad.append(f"{name}: WAV format")
        c = w.readframes(w.getnframes())  # concealed
    if c != p and not only_silence_added(c, p): bad.append(f"{name}: concealment changed more than silence")
print(f"{len(golden)} streams compared, {len(os.listdir(tmp + '/host'))} with the C host")
sys.exit("\n".join(bad) if bad else 0)
EOF
  ;;

package)
  prefix=$tmp/prefix
  flags=""
  [ "$sanitize" != ON ] || flags="-fsanitize=address,undefined"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  cmake -S "$src/examples/consumer" -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
  cmake --build "$tmp/consumer" >/dev/null
  "$tmp/consumer/consumer" "$sample" "$tmp/cpp.raw" compatible | grep -q "500 frames" || fail "consumer"
  "$tmp/consumer/host" "$sample" "$tmp/c.raw"
  cmp "$tmp/cpp.raw" "$tmp/c.raw" || fail "the installed C++ and C libraries disagree"
  "$tmp/consumer/consumer" "$sample" "$tmp/full.raw" >/dev/null
  "$prefix/bin/quorvel" decode -q --raw "$sample" -o "$tmp/cli.raw"
  cmp "$tmp/full.raw" "$tmp/cli.raw" || fail "the installed C++ library and quorvel disagree on the full tier"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name quorvel.pc)")
  # shellcheck disable=SC2046
  cc $flags -std=c99 "$src/examples/host.c" $(pkg-config --cflags --libs quorvel) -o "$tmp/pkg-host"
  LD_LIBRARY_PATH=$(pkg-config --variable=libdir quorvel) "$tmp/pkg-host" "$sample" "$tmp/pkg.raw"
  cmp "$tmp/pkg.raw" "$tmp/c.raw" || fail "host built with pkg-config"
  "$prefix/bin/quorvel" info "$sample" | grep -q "frames: *500" || fail "installed quorvel"
  ;;

*) fail "unknown suite $mode" ;;
esac
echo "cli_test $mode: passed"
