#!/bin/sh
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: it only calls apt-get when something is missing.
set -eu

. "$(dirname "$0")/packages.sh"

install_missing build-essential cmake pkg-config libasound2-dev libboost-json1.81-dev nlohmann-json3-dev \
    libutf8proc-dev googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind \
    clang libclang-rt-14-dev lintian groff-base file

# The virtual MIDI machine that the ALSA tests run in.
guest="$(dirname "$0")/../guest/setup.sh"
if [ -x "$guest" ]; then "$guest"; fi
