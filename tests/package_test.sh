#!/bin/sh
# Makes the Debian package from a build and checks it as a user gets it.
#   package_test.sh BUILD_DIR PROGRAM VERSION
set -eu
build=$1 program=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test.sh: $*"; exit 1; }

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$work/quorvane-monitor_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work"; fail "no $(basename "$deb")"; }

# Errors fail; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian found errors"

dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/files"
for f in ./usr/bin/quorvane-monitor ./usr/share/man/man1/quorvane-monitor.1.gz \
    ./usr/share/doc/quorvane-monitor/README.md ./usr/share/doc/quorvane-monitor/copyright \
    ./usr/share/doc/quorvane-monitor/changelog.gz; do
    grep -qxF "$f" "$work/files" || { cat "$work/files"; fail "$f is not in the package"; }
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libasound2' || fail "the package does not depend on libasound2"

# The packaged program starts as the built one does: here, with no
# sequencer, the same failure line and status.
dpkg-deb -x "$deb" "$work/root"
run() { s=0; "$1" </dev/null 2>&1 || s=$?; echo "exit status $s"; }
built=$(run "$program")
packaged=$(run "$work/root/usr/bin/quorvane-monitor")
echo "built:    $built"
echo "packaged: $packaged"
[ "$packaged" = "$built" ] || fail "the packaged program does not start as the built one"
[ "$("$work/root/usr/bin/quorvane-monitor" --version)" = "quorvane-monitor $version" ] ||
    fail "the packaged program's --version is wrong"
