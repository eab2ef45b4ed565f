#!/usr/bin/env bash
# Checks the export table of a Windows build of Quorvel.dll: hosts call the
# library by ordinal, so each ordinal must carry its call and nothing else may
# be exported. Also checks that the DLL has an entry point and needs no DLL of
# the compiler's runtime.
# Usage: scripts/check-dll-exports.sh Quorvel.dll [tool-prefix]
#   tool-prefix  prefix of the binutils that read the DLL (default
#                x86_64-w64-mingw32-, from Debian's binutils-mingw-w64-x86-64)
set -euo pipefail

dll=${1:?usage: check-dll-exports.sh Quorvel.dll [tool-prefix]}
prefix=${2:-x86_64-w64-mingw32-}
objdump=${prefix}objdump
cxxfilt=${prefix}c++filt

# Ordinal, then the export's name (the C++ members as c++filt spells them).
expected=(
  "1 Init"
  "2 Exit"
  "3 DecompressAudio"
  "4 GetHeaderInfo"
  "5 SeekStart"
  "6 SeekEnd"
  "7 CQuorvel::CQuorvel()"
  "8 CQuorvel::operator=(CQuorvel const&)"
)

dump=$("$objdump" -p "$dll")
fail() {
  echo "check-dll-exports: $dll: $*" >&2
  exit 1
}

base=$(awk '/^Ordinal Base/ { print $3; exit }' <<<"$dump")
[ -n "$base" ] || fail "no export table"
dllname=$(awk '/^Name[ \t]/ { print $3; exit }' <<<"$dump")
[ "$dllname" = "Quorvel.dll" ] || fail "export table names the module '$dllname', not Quorvel.dll"

# "[   0] +base[   1] 1a60 Export RVA": every slot of the address table, named
# or not, so that an unnamed extra export is counted too.
slots=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" | grep -c 'Export RVA' || true)
# "[   2] DecompressAudio": the name table, with the ordinal less the base.
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p')
actual=$(while read -r index name; do
  echo "$((index + base)) $("$cxxfilt" "$name")"
done <<<"$names" | sort -n)

want=$(printf '%s\n' "${expected[@]}")
if [ "$actual" != "$want" ] || [ "$slots" -ne ${#expected[@]} ]; then
  echo "expected:" >&2
  echo "$want" >&2
  echo "found ($slots address table slots):" >&2
  echo "$actual" >&2
  fail "wrong exports"
fi

entry=$(awk '/^AddressOfEntryPoint/ { print $2; exit }' <<<"$dump")
[ -n "$entry" ] && [ $((16#$entry)) -ne 0 ] || fail "no entry point"

imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u | tr '\n' ' ')
if grep -qiE 'libstdc\+\+|libgcc|libwinpthread' <<<"$imports"; then
  fail "needs the compiler's runtime DLLs: $imports"
fi

echo "$(tr '\n' ',' <<<"$actual" | sed 's/,$//; s/,/, /g'); nothing else; imports: ${imports% }"
