#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz,
# replays the seeds and kept crash inputs, then fuzzes each target for
# SECONDS. Exits non-zero on any finding (crash, leak, timeout, sanitizer
# report); the input is left in build-fuzz/findings/<target>/ and belongs in
# fuzz/regressions/<target>/ once the fault is mended.
# Usage: scripts/ci-fuzz.sh SECONDS [target...]     (e.g. 3600 for a long run)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: $0 SECONDS [target...]}
shift
jobs=$(nproc); [ "$jobs" -gt 2 ] && jobs=2
build=build-fuzz

scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DGNSSD_FUZZ=ON -DGNSSD_TESTS=OFF -DGNSSD_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs" --target fuzz

status=0
# Every seed and every kept crash input first, once each; a failure here is
# reported but the fuzzing below still runs.
ctest --test-dir "$build/fuzz" -j"$jobs" --output-on-failure || status=1

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do
    t=$(basename "$src" .cpp)
    targets+=("${t#fuzz_}")
  done
fi

# Longest input per target: past the reader's 1023-byte buffer, the settings
# reader's 16384-byte line, the 8191-byte AT reply; the shell reads 1500.
max_len() {
  case $1 in
    reader) echo 8192 ;;
    settings) echo 20000 ;;
    at_reply) echo 20000 ;;
    *) echo 4096 ;;
  esac
}

# One target: fuzz, then write its one-line result next to its log.
run_one() {
  local t=$1 work=$build/corpus/$1 findings=$build/findings/$1 log=$build/fuzz-$1.log rc=0
  mkdir -p "$work" "$findings"
  # The daemon's log lines (stderr mirror) are muted: -close_fd_mask=2 keeps
  # the sanitizers' and libFuzzer's own reports on a separate descriptor.
  timeout --kill-after=30 $((seconds + 120)) "$build/fuzz/fuzz_$t" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  local execs rate cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  if [ "$rc" != 0 ] || [ -n "$(ls -A "$findings")" ]; then
    echo "FINDING $t: exit $rc after ${execs:-?} executions; log $log, inputs in $findings/" >"$log.result"
  else
    echo "ok $t: ${execs:-?} executions, ${rate:-?}/s, ${cov:-cov ?}, no finding" >"$log.result"
  fi
}

# As many targets at once as there are cores (at most 2).
rm -rf "$build"/fuzz-*.log.result "$build/findings"
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$t" &
done
wait

echo "=== fuzzing, ${seconds} s per target"
for t in "${targets[@]}"; do
  result=$(cat "$build/fuzz-$t.log.result" 2>/dev/null || echo "FINDING $t: no result")
  echo "${result#ok }"
  if [[ "$result" == FINDING* ]]; then
    status=1
    grep -A40 -m1 -E '==ERROR|runtime error|ALARM|Timeout|out-of-memory|deadly signal' "$build/fuzz-$t.log" \
      || tail -40 "$build/fuzz-$t.log"
  fi
done
exit "$status"
