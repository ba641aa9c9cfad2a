#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
extra=()
[ -n "${CI:-}" ] && extra+=(-DQX_WERROR=ON)
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${extra[@]}" "$@" >/dev/null
else
  cmake -S . -B "$dir" "${extra[@]}" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
