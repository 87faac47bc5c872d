#!/bin/sh
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: it only calls apt-get when something is missing.
set -eu

packages="build-essential cmake pkg-config libasound2-dev nlohmann-json3-dev
libutf8proc-dev googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind clang libclang-rt-14-dev"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing
fi

# The virtual MIDI machine that the ALSA tests run in.
if [ -x guest/setup.sh ]; then guest/setup.sh; fi
