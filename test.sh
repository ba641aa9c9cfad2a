#!/usr/bin/env bash
# Builds QX-Com and runs every test through ctest.
#   ./test.sh                   all tests
#   ./test.sh --sanitize        all tests under AddressSanitizer + UndefinedBehaviorSanitizer (Qt
#                               windows included), and the threaded plain C++ layers (comm,
#                               protocol) under ThreadSanitizer
#   ./test.sh --fuzz [SECONDS]  builds the fuzz targets (clang, ASan + UBSan) and runs each one for
#                               SECONDS (default 20) on its seed corpus; fails on a crash
#   ./test.sh -R NAME           extra arguments go to ctest (after --fuzz SECONDS: target names)
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
case "${1:-}" in
  --sanitize)
    shift
    scripts/setup.sh
    scripts/build.sh build-tsan -DQX_SANITIZE=thread -DQX_WITH_QT=OFF -DQX_BENCH=OFF
    (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
       ctest --output-on-failure -j "$jobs" -L threaded "$@")
    scripts/build.sh build-asan -DQX_SANITIZE=address -DQX_WITH_QT=ON -DQX_BENCH=OFF
    (cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
       ctest --output-on-failure -j "$jobs" "$@")
    ;;
  --fuzz)
    shift
    seconds=20
    if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
    scripts/setup.sh fuzz
    CXX=clang++ scripts/build.sh build-fuzz --target fuzzers -DQX_SANITIZE=address -DQX_FUZZ=ON \
      -DQX_WITH_QT=ON -DQX_BENCH=OFF -DBUILD_TESTING=OFF
    scripts/fuzz.sh --build build-fuzz "$seconds" "$@"
    ;;
  *)
    scripts/setup.sh
    scripts/build.sh build -DQX_WITH_QT=ON -DQX_SANITIZE=
    (cd build && ctest --output-on-failure -j "$jobs" "$@")
    ;;
esac
