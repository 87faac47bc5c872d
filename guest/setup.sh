#!/bin/sh
# Prepares the virtual MIDI machine: qemu, busybox and the tools that build its
# initramfs, plus two Debian kernels unpacked side by side (never installed):
#   .cache/guest/6.1   Debian 12's, the one linux-image-amd64 depends on here
#   .cache/guest/6.12  Debian 13's, fetched with an apt of our own (.cache/apt-trixie)
# Safe to run again: it only calls apt-get when something is missing and skips
# each kernel whose cache is complete.
set -eu
cd "$(dirname "$0")/.."

. scripts/packages.sh

install_missing qemu-system-x86 busybox-static cpio kmod alsa-utils xz-utils zstd binutils

cache=.cache/guest
# Before each kernel had a folder of its own, the one kernel lay in .cache/guest itself.
rm -rf "$cache/root" "$cache/vmlinux" "$cache/release" "$cache/download"

# The stamp is written last, so its presence means the cache is complete.
complete() { [ -f "$cache/$1/release" ] && [ -f "$cache/$1/vmlinux" ]; }

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

# Downloads kernel package $2 with apt-get and the options after it, and unpacks
# it into $cache/$1 (kernel $1, e.g. 6.1): the package's tree in root/, its bare
# ELF kernel in vmlinux.
unpack_kernel() {
    kernel=$1 dir=$cache/$1 image=$2
    shift 2
    case $image in
        linux-image-"$kernel".*) ;;
        *) echo "guest/setup.sh: $image is no $kernel kernel" >&2; exit 1 ;;
    esac
    rm -rf "$dir"
    mkdir -p "$dir/download"
    # apt drops root for downloads; give its user a folder it may write.
    if [ -z "$sudo" ] && id _apt >/dev/null 2>&1; then chown _apt "$dir/download"; fi
    (cd "$dir/download" && apt-get "$@" download -q "$image")
    dpkg-deb -x "$dir"/download/"$image"_*.deb "$dir/root"
    rm -rf "$dir/download"

    # Debian 13's packages keep modules in /usr/lib/modules only.
    if [ -d "$dir/root/lib/modules" ]; then base=$dir/root; else base=$dir/root/usr; fi
    release=$(ls "$base/lib/modules")
    case $release in
        "$kernel".*) ;;
        *) echo "guest/setup.sh: $image holds modules for $release, not $kernel" >&2; exit 1 ;;
    esac
    depmod -b "$base" "$release"
    extract_vmlinux "$dir/root/boot/vmlinuz-$release" "$dir/vmlinux"
    echo "$release" >"$dir/release"
    echo "guest/setup.sh: kernel $release ready in $dir"
}

# The kernel Debian 12's linux-image-amd64 depends on, from this machine's sources.
if ! complete 6.1; then
    apt_update
    image=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1)
    [ -n "$image" ] || { echo "guest/setup.sh: cannot tell which kernel linux-image-amd64 depends on" >&2; exit 1; }
    unpack_kernel 6.1 "$image"
fi

# Debian 13's kernel, from the same mirrors as this machine's bookworm and
# bookworm-security, through an apt whose lists, cache and sources are all in
# .cache/apt-trixie: the machine's own apt state is left as it was. Debian 12's
# archive keyring holds Debian 13's keys too.
if ! complete 6.12; then
    apt=$PWD/.cache/apt-trixie
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    rm -rf "$apt"
    mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/preferences.d"
    : >"$apt/status"
    apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
        sort -u | awk -v keyring="$keyring" '
            $1 == "deb" && ($2 == "bookworm" || $2 == "bookworm-security") && !seen[$2]++ {
                sub(/^bookworm/, "trixie", $2)
                print "deb [signed-by=" keyring "] " $3 " " $2 " main"
            }' >"$apt/sources.list"
    [ "$(wc -l <"$apt/sources.list")" -eq 2 ] || {
        echo "guest/setup.sh: this machine's apt sources need both bookworm and bookworm-security, whose mirrors serve trixie too" >&2
        exit 1
    }
    set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$apt/preferences.d" \
        -o Dir::State="$apt/state" -o Dir::State::status="$apt/status" -o Dir::Cache="$apt/cache"
    if ! apt-get "$@" update -q; then
        echo "guest/setup.sh: apt-get update failed for Debian 13; if its signature did not verify, $keyring lacks Debian 13's keys (upgrade debian-archive-keyring)" >&2
        exit 1
    fi
    # trixie-security's linux-image-amd64 is the newer whenever there is one.
    image=$(apt-cache "$@" depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1)
    [ -n "$image" ] || { echo "guest/setup.sh: cannot tell which kernel Debian 13's linux-image-amd64 depends on" >&2; exit 1; }
    unpack_kernel 6.12 "$image" "$@"
    rm -rf "$apt"
fi
