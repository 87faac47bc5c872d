#!/bin/sh
# Prepares the virtual MIDI machine: qemu, busybox and the tools that build its
# initramfs, plus a Debian kernel unpacked into .cache/guest (never installed).
# Safe to run again: it only calls apt-get when something is missing and skips
# the kernel when the cache is complete.
set -eu
cd "$(dirname "$0")/.."

. scripts/packages.sh

install_missing qemu-system-x86 busybox-static cpio kmod alsa-utils xz-utils zstd binutils

cache=.cache/guest
# The stamp is written last, so its presence means the cache is complete.
if [ -f "$cache/release" ] && [ -f "$cache/vmlinux" ]; then exit 0; fi

# Writes the ELF kernel inside a bzImage to $2: tries every compressed stream
# the image could start with until one unpacks to an ELF file.
extract_vmlinux() {
    for try in 'fd377a585a00:xz -dcq' '1f8b08:gzip -dcq' '28b52ffd:zstd -dcq' \
               '02214c18:lz4 -dcq' '5d000000:xz -dcq --format=lzma' '425a68:bzip2 -dcq'; do
        magic=$(printf '%s' "${try%%:*}" | sed 's/../\\x&/g')
        tool=${try#*:}
        positions=$(LC_ALL=C grep -obUaP "$magic" "$1" | cut -d: -f1)
        [ -n "$positions" ] || continue
        command -v "${tool%% *}" >/dev/null || {
            echo "guest/setup.sh: $1 may hold a ${tool%% *} stream, and ${tool%% *} is not installed" >&2
            return 1
        }
        for pos in $positions; do
            # Trailing data after the stream makes the tool fail; what it wrote still counts.
            tail -c +"$((pos + 1))" "$1" | $tool >"$2.part" 2>/dev/null || true
            if [ "$(od -An -tx1 -N4 "$2.part" | tr -d ' \n')" = 7f454c46 ]; then
                mv "$2.part" "$2"
                return 0
            fi
        done
    done
    rm -f "$2.part"
    echo "guest/setup.sh: no ELF kernel found inside $1" >&2
    return 1
}

apt_update
image=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1)
[ -n "$image" ] || { echo "guest/setup.sh: cannot tell which kernel linux-image-amd64 depends on" >&2; exit 1; }

rm -rf "$cache"
mkdir -p "$cache/download"
# apt drops root for downloads; give its user a folder it may write.
if [ -z "$sudo" ] && id _apt >/dev/null 2>&1; then chown _apt "$cache/download"; fi
(cd "$cache/download" && apt-get download -q "$image")
dpkg-deb -x "$cache"/download/"$image"_*.deb "$cache/root"
rm -rf "$cache/download"

release=$(ls "$cache/root/lib/modules")
depmod -b "$cache/root" "$release"
extract_vmlinux "$cache/root/boot/vmlinuz-$release" "$cache/vmlinux"
echo "$release" >"$cache/release"
echo "guest/setup.sh: kernel $release ready in $cache"
