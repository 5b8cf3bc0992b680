#!/usr/bin/env bash
# Proves an installed tree usable from outside the source tree: builds
# examples/minimal_host once through the CMake package (find_package) and once
# through the pkg-config module, runs both, and runs the installed xbagent.
#
#   tests/install/check-consumers.sh PREFIX WORKDIR
set -euo pipefail

prefix=$1
work=$2
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
example=$source_dir/examples/minimal_host

fail() { echo "check-consumers: $*" >&2; exit 1; }

expect_output() {  # expect_output WHAT PROGRAM...
  local what=$1; shift
  local output
  output=$(timeout 60 "$@") || fail "$what exited with status $?"
  printf '%s\n' "$output"
  grep -qx 'my-db is stored as my@002ddb' <<<"$output" || fail "$what printed the wrong name"
}

rm -rf "$work"
mkdir -p "$work"

echo "-- CMake package: find_package(XtraBackupUtil 1 CONFIG REQUIRED)"
cmake -S "$example" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
expect_output "the find_package consumer" "$work/cmake/minimal_host"

echo "-- pkg-config module xtrabackuputil"
libdir=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch)/pkgconfig" \
  pkg-config --variable=libdir xtrabackuputil) || fail "pkg-config does not find xtrabackuputil"
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs xtrabackuputil)
echo "pkg-config --cflags --libs xtrabackuputil: $flags"
# shellcheck disable=SC2086  # the flags are words
g++ -std=c++17 -o "$work/pkgconfig_host" "$example/minimal_host.cpp" $flags -Wl,-rpath,"$libdir"
expect_output "the pkg-config consumer" "$work/pkgconfig_host"

if [ -x "$prefix/bin/xbagent" ]; then
  echo "-- installed xbagent"
  version=$(timeout 60 "$prefix/bin/xbagent" --version) || fail "xbagent --version failed"
  printf '%s\n' "$version"
  grep -q '^xbagent [0-9]' <<<"$version" || fail "xbagent --version printed no version"
fi
echo "-- consumers of $prefix build and run"
