#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, builds from scratch and runs the whole test suite,
# in a folder of its own (build-test): build/, where the README's install
# recipe and demo put their build, is left alone.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
shift || true
jobs=$(nproc)
start=$(date +%s)
step() { echo "=== scripts/test.sh: $* ($(( $(date +%s) - start )) s)"; }

step "1/4 installing what is missing (scripts/install-deps.sh)"
scripts/install-deps.sh
step "2/4 configuring $build from scratch"
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
step "3/4 building the daemon, simulator and test programs (the compiler's progress below)"
cmake --build "$build" -j"$jobs"
step "4/4 running the tests ($(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p') of them, $jobs at a time)"
ctest --test-dir "$build" -j"$jobs" --output-on-failure --progress
step "done"
