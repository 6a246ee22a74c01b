#!/usr/bin/env bash
# package_test.sh BUILD SAMPLE: builds the Debian package, checks its fields
# and runs the program it holds on a copy of the sample.
set -euo pipefail
build=$1 sample=$2
for tool in dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool (Debian's dpkg-dev) is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/decode_*.deb)
test "$(dpkg-deb -f "$deb" Package)" = decode
test "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
test "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= '
dpkg-deb -x "$deb" "$work/root"
test -f "$work/root/usr/share/man/man1/decode.1.gz"
cp "$sample" "$work/sample.txt"
cd "$work"
test "$(root/usr/bin/decode sample.txt | tail -1)" = "Done!"
test "$(LC_ALL=C tr -d '\000-\177' < sample.new | wc -c)" = 0
