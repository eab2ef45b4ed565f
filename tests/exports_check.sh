#!/bin/sh
# Fails unless the shared library defines exactly the six exported calls and
# the two CQuorvel members, nothing more and nothing less.
# Usage: exports_check.sh <nm> <libquorvel.so>
set -eu
expected='DecompressAudio
Exit
GetHeaderInfo
Init
SeekEnd
SeekStart
_ZN8CQuorvelC1Ev
_ZN8CQuorvelaSERKS_'
actual=$("$1" -D --defined-only "$2" | awk 'NF >= 2 { print $NF }' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  printf 'symbols defined by %s:\n%s\n\nexpected exactly:\n%s\n' "$2" "$actual" "$expected" >&2
  exit 1
fi
echo "exports: exactly the six calls and the two CQuorvel members"
