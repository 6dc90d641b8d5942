# The emulated test machines' common steps, sourced by tests/uart/run-uart-test.sh
# and tests/usb/run-usb-test.sh (bash, with set -euo pipefail):
#   machine_kernel WORK          Debian's kernel image and the modules every
#                                machine needs, fetched with `apt-get download`
#                                and unpacked once into WORK/kernel/<package>
#                                (nothing is installed); sets $kdir and $kernel
#   machine_udev WORK            Debian's udev, unpacked likewise into
#                                WORK/udev/<version>; sets $udevdir
#   machine_root ROOT MODULE...  a fresh initramfs tree: busybox, the common
#                                /init, the modules with their dependencies in
#                                load order
#   machine_add ROOT FILE...     programs into ROOT/bin, with their libraries
#   machine_libs ROOT FILE...    only the libraries (of a plugin, say)
#   machine_add_udev ROOT        udevd and Debian's serial rules (by-id links)
#   machine_pack ROOT OUT        the cpio archive

# Every module a machine may load; one fetch serves all machines.
machine_modules=(virtio_pci virtio_console xhci-pci ftdi_sio dummy_hcd usb_f_acm cdc-acm)

machine_fetch() { # DIR PACKAGE: downloads PACKAGE's .deb into DIR
    (cd "$1" && apt-get download -qq -o APT::Sandbox::User=root "$2")
}

machine_kernel() {
    local work=$1 kpkg tmp m off
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
        echo "machine: apt knows no linux-image-amd64; run apt-get update" >&2
        exit 2
    fi
    kdir=$work/kernel/$kpkg
    if [ "$(cat "$kdir/fetched" 2>/dev/null)" != "${machine_modules[*]}" ]; then
        echo "machine: fetching $kpkg"
        tmp=$work/fetch.tmp # not /tmp: whatever a failed fetch leaves goes next time
        rm -rf "$tmp" "$kdir"
        mkdir -p "$tmp" "$kdir/modules"
        machine_fetch "$tmp" "$kpkg"
        dpkg-deb -x "$tmp"/*.deb "$tmp/x"
        cp "$tmp"/x/boot/vmlinuz-* "$kdir/vmlinuz"
        # Unpacked once here: the emulated processor would take seconds to
        # unpack the image at every boot. QEMU boots the ELF through its PVH
        # entry; an image that does not unpack is booted as it is.
        off=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$kdir/vmlinuz" | head -n 1 | cut -d: -f1)
        tail -c +$((${off:-0} + 1)) "$kdir/vmlinuz" | xz -dcq >"$kdir/vmlinux" 2>/dev/null || true
        [ "$(head -c 4 "$kdir/vmlinux" | od -An -c | tr -d ' ')" = 177ELF ] || rm -f "$kdir/vmlinux"
        for m in "${machine_modules[@]}"; do
            machine_copy_module "$tmp/x/lib/modules" "$m" "$kdir/modules"
        done
        rm -rf "$tmp"
        echo "${machine_modules[*]}" >"$kdir/fetched"
    fi
    kernel=$kdir/vmlinux
    [ -f "$kernel" ] || kernel=$kdir/vmlinuz
}

machine_depends() { # MODULE_FILE: the modules it needs, one a line
    tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | tr ',' '\n' | sed '/^$/d'
}

machine_copy_module() { # TREE NAME DEST: NAME and what it depends on
    local file dep
    [ -f "$3/$2.ko" ] && return 0
    file=$(find "$1" -name "$2.ko" | head -n 1)
    [ -n "$file" ] || { echo "machine: module $2 not in the kernel package" >&2; exit 2; }
    cp "$file" "$3/"
    for dep in $(machine_depends "$file"); do machine_copy_module "$1" "$dep" "$3"; done
}

machine_load_order() { # DIR NAME...: depth first, dependencies first
    local dir=$1 name
    shift
    for name in "$@"; do
        case " ${loaded[*]-} " in *" $name "*) continue ;; esac
        machine_load_order "$dir" $(machine_depends "$dir/$name.ko")
        loaded+=("$name")
    done
}

machine_udev() {
    local work=$1 version tmp
    version=$(apt-cache policy udev 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        echo "machine: apt knows no udev package; run apt-get update" >&2
        exit 2
    fi
    udevdir=$work/udev/${version//[:~]/_}
    [ -x "$udevdir/bin/udevadm" ] && return 0
    echo "machine: fetching udev $version"
    tmp=$work/fetch.tmp
    rm -rf "$tmp" "$udevdir"
    mkdir -p "$tmp" "$udevdir"
    machine_fetch "$tmp" udev
    dpkg-deb -x "$tmp"/udev_*.deb "$udevdir"
    rm -rf "$tmp"
}

machine_root() {
    local root=$1 src m
    shift
    src=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,run,tmp,lib,lib64,lib/modules}
    cp "$(dpkg -L busybox-static | grep -m1 '/bin/busybox$')" "$root/bin/busybox"
    cp "$src/guest-init.sh" "$root/init"
    chmod 755 "$root/init"
    loaded=()
    machine_load_order "$kdir/modules" "$@"
    for m in "${loaded[@]}"; do cp "$kdir/modules/$m.ko" "$root/lib/modules/"; done
    printf '%s\n' "${loaded[@]}" >"$root/lib/modules/load-order"
}

machine_add() {
    cp "${@:2}" "$1/bin/"
    machine_libs "$@"
}

machine_libs() { # ROOT FILE...: the libraries FILE needs, into ROOT/lib
    local root=$1 loader
    shift
    ldd "$@" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' | sort -u |
        while read -r lib; do cp -L "$lib" "$root/lib/"; done
    loader=$(ldd "$1" | awk '$1 ~ /^\/.*ld-linux/ { print $1 }')
    cp -L "$loader" "$root/lib64/"
}

machine_add_udev() {
    local root=$1
    machine_add "$root" "$udevdir/bin/udevadm"
    mkdir -p "$root/lib/udev/rules.d" "$root/lib/systemd"
    ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
    cp "$udevdir/lib/udev/rules.d/60-serial.rules" "$root/lib/udev/rules.d/"
}

machine_pack() {
    (cd "$1" && find . | cpio -o -H newc --quiet) >"$2"
}
