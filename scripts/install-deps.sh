#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Quorvel.
# Usage: scripts/install-deps.sh [extra Debian packages...]
set -euo pipefail

wanted=(cmake ninja-build g++ clang python3 libgtest-dev libgmock-dev libbenchmark-dev pkg-config "$@")
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
