# SPDX-License-Identifier: BSD-2-Clause
# The packaging tests' shared start, sourced: a scratch folder $work removed
# at exit, fail() that reports and counts, and passed() that ends the test.
set -eu
work=$(mktemp -d /tmp/gnssd-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}
# passed WHAT: exits 1 after any failure, else says that WHAT passed.
passed() {
	[ "$failures" = 0 ] || exit 1
	echo "$*: ok"
}
