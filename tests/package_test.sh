#!/usr/bin/env bash
# package_test.sh BUILD SAMPLE [lintian LEVELS]: builds the Debian package,
# checks its fields and documents and runs the program it holds on a copy
# of the sample; with lintian, checks the package with lintian instead, and
# fails on a tag of any of the comma-separated LEVELS (error,warning,...).
# Exits 77, which ctest counts as skipped, when a tool it needs is missing.
set -euo pipefail
build=$1 sample=$2 mode=${3:-} levels=${4:-}
tools=(dpkg-deb dpkg-shlibdeps)
[ "$mode" = lintian ] && tools+=(lintian)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/decode_*.deb)

if [ "$mode" = lintian ]; then
    # Every tag is shown, the pedantic and informational ones included.
    lintian -I --pedantic --fail-on "$levels" --tag-display-limit 0 "$deb"
    exit
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
test "$(dpkg-deb -f "$deb" Package)" = decode
test "$(dpkg-deb -f "$deb" Version)" = "$version"
test "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= '
dpkg-deb -x "$deb" "$work/root"
doc=$work/root/usr/share/doc/decode
head -1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'
grep -qx 'License: Expat' "$doc/copyright"
zcat "$doc/changelog.gz" | head -1 | grep -qx "decode ($version) unstable; urgency=medium"
# The manual page carries the package's version and the changelog's date.
date=$(zcat "$doc/changelog.gz" | sed -n 's/^ -- .*  //p')
for page in decode decode-replace; do
    zcat "$work/root/usr/share/man/man1/$page.1.gz" | head -1 |
        grep -qx "\.TH ${page^^} 1 $(date -ud "$date" +%F) \"decode $version\" \"User Commands\""
done
cp "$sample" "$work/sample.txt"
cd "$work"
# A run that does not end is stopped, even if ctest itself is gone.
test "$(timeout 60 root/usr/bin/decode sample.txt | tail -1)" = "Done!"
test "$(LC_ALL=C tr -d '\000-\177' < sample.new | wc -c)" = 0
timeout 60 root/usr/bin/decode-replace sample.txt >/dev/null
cmp sample.txt sample.new
