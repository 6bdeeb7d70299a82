#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks that every C++ source of the repository is laid out as .clang-format
# says (clang-format 14). Lists the files that differ and fails if any does.
# Usage: scripts/check-format.sh [file...]   (default: all tracked sources)
#        CLANG_FORMAT=clang-format-15 scripts/check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$tool" >/dev/null 2>&1; then
  echo "$tool not found (apt-get install clang-format-14)" >&2
  exit 2
fi
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
bad=0
for f in "${files[@]}"; do
  if ! "$tool" --style=file --dry-run -Werror "$f" >/dev/null 2>&1; then
    echo "needs formatting: $f" >&2
    bad=$((bad + 1))
  fi
done
if [ "$bad" -gt 0 ]; then
  echo "$bad of ${#files[@]} files differ from .clang-format; show one with: $tool --style=file FILE | diff FILE -" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
