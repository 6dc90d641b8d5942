#!/usr/bin/env bash
# The USB test: boots a small Linux machine under QEMU (software emulation)
# with an emulated FTDI adapter on an xhci controller, driven by the real
# ftdi_sio driver, and Debian's udev for the /dev/serial/by-id links. The
# guest program (tests/usb/usb_guest.cpp) runs the host's serial code
# against it and against a CDC-ACM gadget it makes on dummy_hcd; the host
# program plays the adapters' cables, unplugs and plugs them through QMP on
# the guest's request (usb-check peer) and checks QEMU's trace of the
# adapter (usb-check report). Ends with one "N passed, M failed" line;
# exits 1 when anything failed or the machine did not power off within its
# time limit.
#
# Usage: tests/usb/run-usb-test.sh BUILD_DIR
# Needs the Debian packages of `scripts/deps.sh uart` and the built targets
# usb-guest, usb-check and pmv-ports. The kernel and udev are Debian's
# packages, fetched with `apt-get download` and unpacked into BUILD_DIR/uart
# (no install), where they are kept for the next run.
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = --help ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$build/usb
guest=$build/tests/usb/usb-guest
check=$build/tests/usb/usb-check
ports=$build/tools/ports/pmv-ports
limit=600 # seconds from the emulator's start to the guest's power-off (a busy host slows it)
# The guest program's own bound, on the guest's clock (which runs no faster
# than the host's, so it never cuts short a run the host would let finish):
# a guest program stuck beyond its own deadlines is stopped, and the machine
# still reports and powers off.
guest_limit=420
for f in "$guest" "$check" "$ports"; do
    [ -x "$f" ] || { echo "run-usb-test: $f is not built" >&2; exit 2; }
done
mkdir -p "$work"

# shellcheck source=tests/machine/machine.sh
. "$src/../machine/machine.sh"
machine_kernel "$build/uart"
machine_udev "$build/uart"
root=$work/initramfs
machine_root "$root" virtio_pci virtio_console xhci-pci ftdi_sio dummy_hcd usb_f_acm cdc-acm
machine_add "$root" "$guest" "$ports"
machine_add_udev "$root"
machine_pack "$root" "$work/initramfs.cpio"

run=$(mktemp -d /tmp/pmv-usb.XXXXXX) # short: a socket path has at most 107 bytes
trace=$work/trace.log
console=$work/console.log
peer=$work/peer.log
rm -f "$trace" "$console" "$peer"
start=$(date +%s)
status=0
# The first adapter is there from the start, the second only when the guest
# asks for it (its socket waits from the start). Each adapter's socket is
# named as its chardev (UsbCases.h).
# -icount: the guest's clock counts its instructions (1 ns each), so the
# times it measures are its own, however busy the host. ioeventfd=off: the
# console and control port are served in the processor's thread, which
# waits for them, rather than in the main loop, which a busy host can hold up for long.
# setsid: the emulator gets a session of its own. The kernel shares the
# processors between sessions first (autogroup), so in the caller's session
# it would get only a slice of that session's share, next to whatever else
# runs there.
timeout -k 5 "$limit" setsid qemu-system-x86_64 \
    -machine pc -accel tcg -icount shift=0,sleep=on -m 512M \
    -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=hvc0 quiet panic=-1 no_timer_check guest=usb-guest guest_limit=$guest_limit" \
    -device virtio-serial-pci,ioeventfd=off -chardev "file,id=con,path=$console" \
    -device virtconsole,chardev=con \
    -chardev "socket,id=ctl,path=$run/ctl,server=on,wait=off" \
    -device virtserialport,chardev=ctl,name=pmv.ctl \
    -qmp "unix:$run/qmp,server=on,wait=off" \
    -serial none \
    -device qemu-xhci,id=xhci \
    -chardev "socket,id=u0,path=$run/u0,server=on,wait=off" \
    -chardev "socket,id=u1,path=$run/u1,server=on,wait=off" \
    -device usb-serial,bus=xhci.0,port=1,chardev=u0,id=us0,serial=FT0001 \
    -msg timestamp=on -trace 'usb_serial_*' -D "$trace" \
    >"$work/qemu.log" 2>&1 &
qemupid=$!
"$check" peer "$run" "$peer" &
peerpid=$!
wait "$qemupid" || status=$?
elapsed=$(($(date +%s) - start))
# The peer ends when the guest says so or the emulator closes the sockets.
for _ in $(seq 100); do kill -0 "$peerpid" 2>/dev/null || break; sleep 0.1; done
kill "$peerpid" 2>/dev/null || true
wait "$peerpid" 2>/dev/null || true
rm -rf "$run"
case $status in
0) poweroff=off:$elapsed ;;
124 | 137) poweroff=timeout:$elapsed ;;
*)
    poweroff=exit$status:$elapsed
    echo "run-usb-test: qemu-system-x86_64 exited with $status:" >&2
    cat "$work/qemu.log" >&2
    ;;
esac
echo "run-usb-test: machine ran $elapsed s (limit $limit s)"
"$check" report "$trace" "$console" "$peer" "$poweroff"
