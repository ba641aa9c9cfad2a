#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build tree (./test.sh --fuzz makes one), each for SECONDS on its
# seed corpus fuzz/corpus/NAME/ plus what it finds (kept in a temporary folder, so the repository
# is not touched), and prints per target the executions, the coverage (edges and features) and the
# corpus it ended with. Exits 1 when a target failed a check or crashed; the input is kept in
# BUILD/fuzz-crashes/ and belongs in fuzz/corpus/NAME/ once the fault is fixed.
#   scripts/fuzz.sh [--build DIR] [--keep DIR] SECONDS [NAME...]
#   --keep DIR   leave each target's grown corpus in DIR/NAME/ (to pick new seeds from)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-fuzz keep=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) break ;;
  esac
done
seconds=${1:?usage: scripts/fuzz.sh [--build DIR] [--keep DIR] SECONDS [NAME...]}; shift
list=$build/fuzz-targets.txt
[ -f "$list" ] || { echo "no fuzz build in $build (./test.sh --fuzz makes one)" >&2; exit 2; }
targets=("$@")
[ ${#targets[@]} -eq 0 ] && mapfile -t targets < "$list"

# The targets write files; a memory file system keeps them off the disk.
base=${TMPDIR:-/tmp}
[ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/qx-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
scratch=$work/scratch
mkdir -p "$scratch" "$build/fuzz-crashes"

failed=()
printf '%-16s %8s %10s %8s %7s %7s %s\n' target seconds executions exec/s edges features corpus
for name in "${targets[@]}"; do
  exe=$build/fuzz/fuzz_$name
  seeds=fuzz/corpus/$name
  [ -x "$exe" ] && [ -d "$seeds" ] || { echo "$name: no fuzzer or no seed folder" >&2; failed+=("$name"); continue; }
  corpus=${keep:+$keep/$name}
  corpus=${corpus:-$work/$name}
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -print_final_stats=1 -max_len=4096 -timeout=30 -rss_limit_mb=4096
        -artifact_prefix="$build/fuzz-crashes/$name-")
  [ -f "fuzz/$name.dict" ] && args+=(-dict="fuzz/$name.dict")
  log=$work/$name.log
  start=$(date +%s)
  if TMPDIR=$scratch UBSAN_OPTIONS=print_stacktrace=1 "$exe" "${args[@]}" "$corpus" "$seeds" >"$log" 2>&1; then
    status=ok
  else
    status=failed
  fi
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<<"$last")
  printf '%-16s %8s %10s %8s %7s %7s %s\n' "$name" "$took" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
  if [ $status = failed ]; then
    failed+=("$name")
    grep -E -A30 'check failed|ERROR: |runtime error' "$log" | head -60 >&2 || tail -40 "$log" >&2
    grep -E 'Test unit written to' "$log" >&2 || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]} (inputs in $build/fuzz-crashes/)" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no failure"
