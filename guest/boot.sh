#!/bin/sh
# Boots the virtual MIDI machine (a Debian kernel under qemu with its virtual
# MIDI drivers) from a fresh initramfs holding the given programs.
#   boot.sh test BRIDGE TESTS  runs the guest tests; exits 0 when all passed
#   boot.sh run BRIDGE CONSOLE runs the bridge on this terminal's standard input
#                              and output through CONSOLE (guest_console), with
#                              a MIDI monitor on standard error
#   boot.sh bench BRIDGE BENCH runs the guest benchmarks under software
#                              emulation, or KVM with GUEST_KVM=1 where it works
# GUEST_KERNEL picks the guest's kernel: 6.1 (Debian 12's, the default) or 6.12
# (Debian 13's), each prepared by guest/setup.sh in .cache/guest/KERNEL.
# GUEST_TIMEOUT (seconds) bounds the machine's life: 240 for test and bench, 3600 for run.
# GUEST_MEMORY is the machine's memory, as qemu's -m takes it: 256M unless set.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
kernel=${GUEST_KERNEL:-6.1}
case $kernel in
    6.1 | 6.12) ;;
    *) echo "boot.sh: GUEST_KERNEL is 6.1 or 6.12, not $kernel" >&2; exit 2 ;;
esac
cache=$here/../.cache/guest/$kernel
mode=${1:-} bridge=${2:-} tests=${3:-}
case $mode in
    test) [ -n "$tests" ] || { echo "usage: boot.sh test BRIDGE TESTS" >&2; exit 2; } ;;
    bench) [ -n "$tests" ] || { echo "usage: boot.sh bench BRIDGE BENCH" >&2; exit 2; } ;;
    run) [ -n "$tests" ] || { echo "usage: boot.sh run BRIDGE CONSOLE" >&2; exit 2; } ;;
    *) echo "usage: boot.sh test BRIDGE TESTS | boot.sh run BRIDGE CONSOLE | boot.sh bench BRIDGE BENCH" >&2; exit 2 ;;
esac
if [ ! -f "$cache/release" ] || [ ! -f "$cache/vmlinux" ]; then
    echo "boot.sh: the guest kernel $kernel is not in .cache/guest/$kernel; run scripts/setup.sh (or guest/setup.sh) first" >&2
    exit 1
fi
release=$(cat "$cache/release")

work=$(mktemp -d)
qemu= reader=
cleanup() {
    [ -z "$qemu" ] || kill "$qemu" 2>/dev/null || true
    [ -z "$reader" ] || kill "$reader" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

root=$work/root
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/etc" "$root/lib/modules" "$root/usr/share/alsa"
cp /bin/busybox "$root/bin/busybox"
cp "$here/init" "$root/init"
# snd_seq_open("default") reads the ALSA configuration.
cp /usr/share/alsa/alsa.conf "$root/usr/share/alsa/"
echo "mode=$mode" >"$root/etc/guest.conf"

# The MIDI drivers the guest loads, with everything each depends on, in load
# order (modprobe reads the order off the unpacked tree). busybox insmod takes
# only plain modules, so they are unpacked here. The virtual MIDI drivers come
# first; then a USB MIDI interface on a software USB bus: dummy_hcd is the bus
# (two controllers, so that two devices can be plugged in at once), usb_f_midi
# the device side, snd-usb-audio with snd-seq-midi the host side.
wanted="snd-seq-virmidi snd-seq-dummy snd-virmidi snd-seq-midi snd-usb-audio dummy_hcd usb_f_midi"
# Debian 13's packages keep modules in /usr/lib/modules only.
base=$cache/root
[ -d "$base/lib/modules/$release" ] || base=$cache/root/usr
: >"$root/lib/modules/order"
for top in $wanted; do
    modprobe -d "$base" -S "$release" --show-depends "$top" >>"$work/depends" ||
        { echo "boot.sh: module $top not found in the guest kernel" >&2; exit 1; }
done
awk '$1 == "insmod" && !seen[$2]++ { print $2 }' "$work/depends" | while read -r file; do
    m=$(basename "$file")
    m=${m%%.ko*}
    case $file in
        *.ko) cp "$file" "$root/lib/modules/$m.ko" ;;
        *.ko.xz) xz -dc "$file" >"$root/lib/modules/$m.ko" ;;
        *.ko.zst) zstd -dcq "$file" >"$root/lib/modules/$m.ko" ;;
        *.ko.gz) gzip -dc "$file" >"$root/lib/modules/$m.ko" ;;
        *) echo "boot.sh: cannot unpack $file" >&2; exit 1 ;;
    esac
    case $m in
        dummy_hcd) echo "$m num=2" ;;
        *) echo "$m" ;;
    esac >>"$root/lib/modules/order"
done

# Copies a program to /bin/NAME with every shared library it loads, at the same paths.
add_program() {
    strip --strip-debug -o "$root/bin/$2" "$1"
    ldd "$1" | awk '/not found/ { print "missing:" $1; next } { for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }' |
        while read -r lib; do
            case $lib in missing:*) echo "boot.sh: $1 needs ${lib#missing:}, not found" >&2; exit 1 ;; esac
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        done
}
add_program "$bridge" quorvane-monitor
case $mode in
    test) add_program "$tests" guest_tests ;;
    run) add_program "$(command -v aseqdump)" aseqdump ;;
    bench)
        add_program "$tests" guest_bench
        add_program "$(command -v aconnect)" aconnect
        ;;
esac
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio"

# No display, no monitor, no default devices: the guest's only devices are
# two serial ports, ttyS0 (the console) and ttyS1 (our own channel).
set -- -M pc -m "${GUEST_MEMORY:-256M}" -nodefaults -no-reboot -display none -monitor none \
    -kernel "$cache/vmlinux" -initrd "$work/initramfs.cpio"

# KVM is opt-in: on a nested host it can stop the guest with an emulation
# failure (seen on lock cmpxchg16b) that only the timeout ends.
accel="tcg"
if [ "$mode" = bench ]; then
    if [ "${GUEST_KVM:-0}" = 1 ] && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
        accel="kvm"
        set -- "$@" -enable-kvm -cpu host,-arch-capabilities
    fi
    set -- "$@" -smp "${GUEST_CPUS:-1}"
    echo "guest: accelerator $accel"
fi

if [ "$mode" = test ] || [ "$mode" = bench ]; then
    status=0
    # Test output streams to our standard output and, for the result, to out.log.
    timeout -k 5 "${GUEST_TIMEOUT:-240}" qemu-system-x86_64 "$@" \
        -append "console=ttyS0 quiet panic=-1" \
        -chardev file,id=console,path="$work/console.log" -serial chardev:console \
        -chardev file,id=out,path=/dev/stdout,append=on,logfile="$work/out.log" -serial chardev:out \
        </dev/null || status=$?
    result=$(sed -n 's/^@@guest-exit=\([0-9]*\)@@$/\1/p' "$work/out.log")
    if [ -z "$result" ]; then
        [ "$status" -ne 124 ] || echo "boot.sh: the guest ran past ${GUEST_TIMEOUT:-240} s"
        echo "boot.sh: the guest ended without a result (qemu status $status); its console:"
        cat "$work/console.log"
        exit 1
    fi
    exit "$result"
fi

# Run: the guest's ttyS1 meets our standard streams through two FIFOs, which
# qemu holds open read-write; the console goes to standard error. qemu opens
# its own descriptions of our streams: it makes the ones it is given
# non-blocking, and a terminal's are shared with our input. CONSOLE copies
# lines both ways and ends the guest's input once every request is answered.
mkfifo "$work/io.in" "$work/io.out"
console=$tests
exec 3<&0  # background jobs would get /dev/null as standard input instead
"$console" "$work/io.in" "$work/io.out" <&3 &
reader=$!
status=0
timeout -k 5 "${GUEST_TIMEOUT:-3600}" qemu-system-x86_64 "$@" \
    -append "console=ttyS0 loglevel=1 panic=-1" \
    -chardev file,id=console,path=/dev/stderr,append=on,logfile="$work/console.log" -serial chardev:console \
    -chardev pipe,id=io,path="$work/io" -serial chardev:io \
    </dev/null >&2 &
qemu=$!
wait "$qemu" || status=$?
qemu=
# A reader still waiting to open the FIFO (qemu never did) sees its end now.
while kill -0 "$reader" 2>/dev/null; do
    exec 4<>"$work/io.out"
    exec 4>&-
    sleep 0.1
done
reader=
result=$(sed -n 's/^quorvane-monitor exited with status \([0-9]*\)\r*$/\1/p' "$work/console.log")
if [ -z "$result" ]; then
    echo "boot.sh: the virtual MIDI machine ended without the bridge's status (qemu status $status)" >&2
    exit 1
fi
exit "$result"
