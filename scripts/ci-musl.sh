#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Compiles every source of the service (src/ without the fleet process)
# against musl's C headers (Debian's musl-dev), as an OpenWrt SDK would, to
# find the C library calls that only glibc declares. Syntax only: the C++
# library headers are the build machine's (configured for glibc), so a few
# declarations stand in for what they expect of glibc; Linux's own headers
# are taken as they are. Each call in KNOWN is listed in the README
# (OpenWrt, musl); any other missing declaration fails.
# Usage: scripts/ci-musl.sh
set -euo pipefail
cd "$(dirname "$0")/.."
KNOWN=""
musl=/usr/include/$(gcc -dumpmachine | sed 's/-gnu.*$/-musl/')
[ -f "$musl/stdio.h" ] || { echo "ci-musl: no musl headers in $musl (scripts/install-deps.sh installs musl-tools)" >&2; exit 1; }
version=$(g++ -dumpversion)
triple=$(gcc -dumpmachine)
work=$(mktemp -d /tmp/gnssd-musl.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Linux's headers, without glibc's.
mkdir -p "$work/kernel" "$work/cxx/bits"
ln -s /usr/include/linux "$work/kernel/linux"
ln -s /usr/include/asm-generic "$work/kernel/asm-generic"
ln -s "/usr/include/$triple/asm" "$work/kernel/asm"
# What the glibc-configured C++ headers take from glibc.
cat >"$work/glibc-names.h" <<'H'
#include <locale.h>
#include <pthread.h>
#include <time.h>
typedef locale_t __locale_t;
extern "C" int pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
extern "C" int pthread_mutex_clocklock(pthread_mutex_t*, clockid_t, const struct timespec*);
extern "C" int pthread_rwlock_clockrdlock(pthread_rwlock_t*, clockid_t, const struct timespec*);
extern "C" int pthread_rwlock_clockwrlock(pthread_rwlock_t*, clockid_t, const struct timespec*);
H
cat >"$work/cxx/bits/ctype_base.h" <<'H'
namespace std _GLIBCXX_VISIBILITY(default)
{
_GLIBCXX_BEGIN_NAMESPACE_VERSION
  struct ctype_base
  {
    typedef const int* __to_type;
    typedef unsigned short mask;
    static const mask upper = 1 << 0, lower = 1 << 1, alpha = 1 << 2, digit = 1 << 3,
      xdigit = 1 << 4, space = 1 << 5, print = 1 << 6, cntrl = 1 << 8, punct = 1 << 9,
      blank = 1 << 10, graph = alpha | digit | punct, alnum = alpha | digit;
  };
_GLIBCXX_END_NAMESPACE_VERSION
}
H

sources=$(ls src/*/*.cpp | grep -v '^src/fleet/')
echo "ci-musl: $(echo "$sources" | wc -l) sources against $musl"
: >"$work/errors"
for f in $sources; do
  g++ -std=c++20 -fsyntax-only -fno-exceptions -nostdinc \
    -isystem "$work/cxx" -isystem "/usr/include/c++/$version" -isystem "/usr/include/$triple/c++/$version" \
    -isystem "$(gcc -print-file-name=include)" -isystem "$musl" -idirafter "$work/kernel" \
    -D'__GLIBC_PREREQ(a,b)=0' -include "$work/glibc-names.h" \
    -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -D_GNU_SOURCE -Isrc "$f" 2>&1 | grep ': error: ' >>"$work/errors" || true
done
status=0
while IFS= read -r line; do
  name=$(printf '%s\n' "$line" | sed -n "s/.*error: .\(.*\). was not declared in this scope.*/\1/p")
  case " $KNOWN " in
  *" ${name:-?} "*) echo "known glibc-only call: $line" ;;
  *) echo "$line" >&2; status=1 ;;
  esac
done <"$work/errors"
[ "$status" = 0 ] && echo "ci-musl: no other call needs glibc"
exit "$status"
