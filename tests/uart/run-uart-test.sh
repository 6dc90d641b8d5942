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
# install); it is kept there for the next run.
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

# ---- kernel: the image and the virtio console modules of Debian's kernel ----
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    kpkg=$(kernel_package)
fi
if [ -z "$kpkg" ]; then
    echo "run-uart-test: apt knows no linux-image-amd64; run apt-get update" >&2
    exit 2
fi
kdir=$work/kernel/$kpkg
if [ ! -f "$kdir/load-order" ]; then
    echo "run-uart-test: fetching $kpkg"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    (cd "$tmp" && apt-get download -qq -o APT::Sandbox::User=root "$kpkg")
    dpkg-deb -x "$tmp"/*.deb "$tmp/x"
    rm -rf "$kdir"
    mkdir -p "$kdir/modules"
    cp "$tmp"/x/boot/vmlinuz-* "$kdir/vmlinuz"
    order=()
    # Depth first over each module's "depends=" field: dependencies load first.
    add_module() {
        local name=$1 file dep
        for m in "${order[@]}"; do [ "$m" = "$name" ] && return 0; done
        file=$(find "$tmp/x/lib/modules" -name "$name.ko" | head -n 1)
        [ -n "$file" ] || { echo "run-uart-test: module $name not in $kpkg" >&2; exit 2; }
        for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
            add_module "$dep"
        done
        cp "$file" "$kdir/modules/"
        order+=("$name")
    }
    add_module virtio_pci
    add_module virtio_console
    printf '%s\n' "${order[@]}" >"$kdir/modules/load-order.tmp"
    mv "$kdir/modules/load-order.tmp" "$kdir/load-order"
    rm -rf "$tmp"
    trap - EXIT
fi

# ---- initramfs: busybox, init, the guest program, its libraries ----
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib,lib64,lib/modules,qt/plugins/platforms}
busybox=$(dpkg -L busybox-static | grep -m1 '/bin/busybox$')
cp "$busybox" "$root/bin/busybox"
cp "$src/guest-init.sh" "$root/init"
chmod 755 "$root/init"
cp "$guest" "$root/bin/uart-guest"
cp "$kdir"/modules/*.ko "$root/lib/modules/"
cp "$kdir/load-order" "$root/lib/modules/load-order"
qtcore=$(ldd "$guest" | awk '$1 ~ /^libQt6Core/ { print $3 }')
plugin=$(dirname "$qtcore")/qt6/plugins/platforms/libqoffscreen.so
cp "$plugin" "$root/qt/plugins/platforms/"
ldd "$guest" "$plugin" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' | sort -u |
    while read -r lib; do cp -L "$lib" "$root/lib/"; done
loader=$(ldd "$guest" | awk '$1 ~ /^\/.*ld-linux/ { print $1 }')
cp -L "$loader" "$root/lib64/"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

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
    -kernel "$kdir/vmlinuz" -initrd "$work/initramfs.cpio" \
    -append "console=hvc0 quiet panic=-1 no_timer_check" \
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
