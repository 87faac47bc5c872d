#!/bin/sh
# Installs what is missing, builds the bridge and starts it on this terminal.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quorvane-monitor
exec build/quorvane-monitor
