#!/bin/sh
# Installs what is missing, builds the bridge and starts it on this terminal,
# on this machine's ALSA sequencer. Where there is none (no /dev/snd/seq) it
# starts the bridge inside the virtual MIDI machine instead, among virtual
# ports and a MIDI monitor whose output appears on standard error.
# Standard output carries only the bridge's own lines.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j"$(nproc)" --target quorvane-monitor guest_console >&2
if [ -e /dev/snd/seq ]; then exec build/quorvane-monitor; fi
echo "run.sh: no ALSA sequencer here; starting the bridge in the virtual MIDI machine" >&2
exec guest/boot.sh run build/quorvane-monitor build/guest/guest_console
