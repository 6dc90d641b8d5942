#!/usr/bin/env bash
# The UART test: boots a small Linux machine under QEMU (software emulation)
# whose ttyS1 is an emulated 16550A driven by the real 8250 driver, runs the
# serial component against it (tests/uart/uart_guest.cpp), answers it on the
# UART's socket (uart-check peer) and checks QEMU's register trace
# (uart-check report). Ends with one "N passed, M failed" line; exits 1 when
# anything failed or the machine did not power off within its time limit.
#
# Usage: tests/uart/run-uart-test.sh BUILD_DIR
# Needs the Debian packages of `scripts/deps.sh uart` and the built targets
# uart-guest and uart-check. The kernel is Debian's linux-image package,
# fetched with `apt-get download` and unpacked into BUILD_DIR/uart (no
# install); it is kept there for the next run (tests/machine/machine.sh).
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = --help ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$build/uart
guest=$build/tests/uart/uart-guest
check=$build/tests/uart/uart-check
limit=240 # seconds from the emulator's start to the guest's power-off
for f in "$guest" "$check"; do
    [ -x "$f" ] || { echo "run-uart-test: $f is not built" >&2; exit 2; }
done
mkdir -p "$work"

# ---- the machine: kernel, initramfs with the guest program ----
# shellcheck source=tests/machine/machine.sh
. "$src/../machine/machine.sh"
machine_kernel "$work"
root=$work/initramfs
machine_root "$root" virtio_pci virtio_console
machine_add "$root" "$guest"
mkdir -p "$root/qt/plugins/platforms"
qtcore=$(ldd "$guest" | awk '$1 ~ /^libQt6Core/ { print $3 }')
plugin=$(dirname "$qtcore")/qt6/plugins/platforms/libqoffscreen.so
cp "$plugin" "$root/qt/plugins/platforms/"
machine_libs "$root" "$plugin"
machine_pack "$root" "$work/initramfs.cpio"

# ---- run ----
run=$(mktemp -d /tmp/pmv-uart.XXXXXX) # short: a socket path has at most 107 bytes
sock=$run/ttyS1
trace=$work/trace.log
console=$work/console.log
peer=$work/peer.log
rm -f "$trace" "$console" "$peer"
"$check" peer "$sock" "$peer" &
peerpid=$!
start=$(date +%s)
status=0
# no_timer_check: on a busy host the emulated timer interrupt can come late
# enough for the kernel's boot-time timer check to panic.
timeout -k 5 "$limit" qemu-system-x86_64 \
    -machine pc -accel tcg -m 512M -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=hvc0 quiet panic=-1 no_timer_check guest=uart-guest" \
    -device virtio-serial-pci -chardev "file,id=con,path=$console" \
    -device virtconsole,chardev=con \
    -serial none \
    -chardev "socket,id=uart,path=$sock,server=on,wait=on,telnet=on" \
    -device isa-serial,chardev=uart,index=1 \
    -msg timestamp=on -trace serial_write -D "$trace" \
    >"$work/qemu.log" 2>&1 || status=$?
elapsed=$(($(date +%s) - start))
# The peer ends when the emulator closes the socket; it never waits long.
for _ in $(seq 100); do kill -0 "$peerpid" 2>/dev/null || break; sleep 0.1; done
kill "$peerpid" 2>/dev/null || true
wait "$peerpid" 2>/dev/null || true
rm -rf "$run"
case $status in
0) poweroff=off:$elapsed ;;
124 | 137) poweroff=timeout:$elapsed ;;
*)
    poweroff=exit$status:$elapsed
    echo "run-uart-test: qemu-system-x86_64 exited with $status:" >&2
    cat "$work/qemu.log" >&2
    ;;
esac
echo "run-uart-test: machine ran $elapsed s (limit $limit s)"
"$check" report "$trace" "$console" "$peer" "$poweroff"
