#!/usr/bin/env bash
# The Debian package as `cpack -G DEB` makes it from this build folder:
# lintian reports no error and none of the warnings that once held it back,
# its programs are stripped, and the -dbgsym package holds their debug
# symbols under the build ids the programs carry.
# debian_package.sh BUILD_DIR
set -uo pipefail
build=$1

for tool in cpack lintian dpkg-deb dpkg-shlibdeps file readelf objcopy; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (./scripts/setup installs it); no package test"
    exit 77
  fi
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! (cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1); then
  echo "FAILED: cpack"; tail -n 20 "$out/cpack.log"; exit 1
fi
deb=$(ls "$out"/kemascopia_*.deb 2>/dev/null | head -n 1)
ddeb=$(ls "$out"/kemascopia-dbgsym_*.ddeb 2>/dev/null | head -n 1)
[ -n "$deb" ] && [ -n "$ddeb" ] || { echo "FAILED: no package and -dbgsym package in $out"; ls "$out"; exit 1; }

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
echo "packages: $(basename "$deb") $(stat -c %s "$deb") bytes, $(basename "$ddeb") $(stat -c %s "$ddeb") bytes"

# Tags the package once had: their return is a fault even at warning level.
lintian --display-info --tag-display-limit 0 "$deb" "$ddeb" >"$out/lintian.txt" 2>&1
grep -v 'root privileges' "$out/lintian.txt"
grep -E '^E: ' "$out/lintian.txt" >/dev/null && fail "lintian reports errors"
grep -E ': (no-manual-page|hardening-no-[a-z-]+|unstripped-binary-or-object|no-copyright-file|no-changelog|extended-description-is-empty)( |$)' \
  "$out/lintian.txt" >/dev/null && fail "lintian reports a tag this package is meant to be free of"

dpkg-deb -x "$deb" "$out/root"
dpkg-deb -x "$ddeb" "$out/dbgsym"
for exe in "$out"/root/usr/bin/*; do
  name=$(basename "$exe")
  file -b "$exe" | grep -q ', stripped' || fail "$name is not stripped"
  echo "$name: $(stat -c %s "$exe") bytes in the package"
  id=$(readelf -n "$exe" 2>/dev/null | sed -n 's/^ *Build ID: //p')
  [ -n "$id" ] || { fail "$name has no build id"; continue; }
  debug=$out/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -s "$debug" ] || { fail "no debug symbols for $name in the -dbgsym package"; continue; }
  readelf -S "$debug" 2>/dev/null | grep -q '\.debug_info' || fail "$(basename "$debug") for $name holds no .debug_info"
done

[ "$failures" -eq 0 ] || exit 1
echo "debian package: ok"
