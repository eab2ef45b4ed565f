#!/usr/bin/env bash
# Builds the quorvel tool and decodes an MPEG audio file with it: by default
# the bundled examples/sample.mp2, into build/demo/sample.wav.
# Usage: scripts/demo.sh [IN]   (from anywhere inside the checkout)
# QUORVEL_BUILD_DIR chooses another build directory (default: build).
set -euo pipefail
in=$(realpath "${1:-$(dirname "$0")/../examples/sample.mp2}")
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QUORVEL_BUILD_DIR:-build}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target quorvel_cli >/dev/null

name=$(basename "$in")
out=$build/demo/${name%.*}.wav
mkdir -p "$build/demo"
"$build/src/cli/quorvel" info "$in"
"$build/src/cli/quorvel" decode "$in" -o "$out"
echo "decoded to $out"
