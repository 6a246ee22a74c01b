#!/usr/bin/env bash
# package_test.sh DEB SAMPLE: checks a package that dpkg-buildpackage built:
# its fields, its files and their modes, its documents, and the programs it
# holds, run on a copy of the sample.
set -euo pipefail
deb=$1 sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(decode VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
test "$(dpkg-deb -f "$deb" Package)" = decode
test "$(dpkg-deb -f "$deb" Version)" = "$version"
test "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)"
# The programs need libc alone.
dpkg-deb -f "$deb" Depends | grep -qx 'libc6 (>= [0-9.]*)'
diff <(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}') - <<'LIST'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/decode
-rwxr-xr-x root/root ./usr/bin/decode-replace
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/decode/
-rw-r--r-- root/root ./usr/share/doc/decode/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/decode/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/decode-replace.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/decode.1.gz
LIST
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
# A run that does not end is stopped, even if the caller is gone.
test "$(timeout 60 root/usr/bin/decode sample.txt | tail -1)" = "Done!"
test "$(LC_ALL=C tr -d '\000-\177' < sample.new | wc -c)" = 0
timeout 60 root/usr/bin/decode-replace sample.txt >/dev/null
cmp sample.txt sample.new
