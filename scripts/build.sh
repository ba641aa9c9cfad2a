#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [--target NAME]... [cmake options...]
# Without --target everything is built.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
extra=() targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--target" ]; then
    targets+=(--target "$2"); shift 2
  else
    extra+=("$1"); shift
  fi
done
[ -n "${CI:-}" ] && extra+=(-DQX_WERROR=ON)
# A compiler cache, where installed, makes rebuilds of other trees and checkouts cheap; paths are
# taken relative to the checkout so that two checkouts share their objects.
if command -v ccache >/dev/null; then
  extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
else
  cmake -S . -B "$dir" "${extra[@]}" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
