#!/usr/bin/env bash
# install_test.sh BUILD SAMPLE: installs into a temporary prefix and runs the
# installed program on a copy of the sample.
set -euo pipefail
build=$1 sample=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for program in decode decode-replace; do
    test -x "$prefix/bin/$program"
    test -f "$prefix/share/man/man1/$program.1"
done
cp "$sample" "$prefix/sample.txt"
cd "$prefix"
# A run that does not end is stopped, even if ctest itself is gone.
test "$(timeout 60 bin/decode sample.txt | tail -1)" = "Done!"
# Every byte of the copy is 7-bit, and it is as long as the sample.
test "$(LC_ALL=C tr -d '\000-\177' < sample.new | wc -c)" = 0
test "$(wc -c < sample.new)" = "$(wc -c < sample.txt)"
# The installed decode-replace makes the sample that same copy.
timeout 60 bin/decode-replace sample.txt >/dev/null
cmp sample.txt sample.new
