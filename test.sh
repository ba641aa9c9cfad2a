#!/usr/bin/env bash
# Builds QX-Com and runs every test through ctest.
#   ./test.sh               all tests
#   ./test.sh --sanitize    the threaded layers (comm, protocol) under ThreadSanitizer and ASan+UBSan
#   ./test.sh -R NAME       extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
jobs=$(nproc)
if [ "${1:-}" = "--sanitize" ]; then
  shift
  scripts/build.sh build-tsan -DQX_SANITIZE=thread -DQX_WITH_QT=OFF
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
     ctest --output-on-failure -j "$jobs" -L threaded "$@")
  scripts/build.sh build-asan -DQX_SANITIZE=address -DQX_WITH_QT=OFF
  (cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
     ctest --output-on-failure -j "$jobs" -L threaded "$@")
else
  scripts/build.sh build -DQX_WITH_QT=ON -DQX_SANITIZE=
  (cd build && ctest --output-on-failure -j "$jobs" "$@")
fi
