#!/bin/busybox sh
# /init of the emulated test machines: mounts the kernel's file systems, loads
# the modules of /lib/modules/load-order, opens the virtio console hvc0 (the
# machines' only console), starts udev when the machine has it, runs the
# guest program that the kernel command line names (guest=NAME runs
# /bin/NAME) and powers off.
#
# The kernel panics when /init ends, and a failed redirection of exec ends
# the shell. So this script never ends on its own and never redirects exec
# to a device it has not opened yet; what goes wrong is said on the console
# (or in the kernel log, which the console shows) before the power-off.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs run /run

console=no
say() { # through the kernel log (which the kernel prints on hvc0) until hvc0 is open
    if [ $console = yes ]; then echo "guest: $*"; else echo "<3>guest: $*" >/dev/kmsg; fi
}

finish() {
    say "powering off"
    poweroff -f
    while :; do sleep 1; done
}

for m in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$m.ko" || say "insmod $m failed"
done
[ -d /sys/kernel/config ] && mount -t configfs configfs /sys/kernel/config

# The hvc driver creates the nodes hvc0..hvc7 when the first console port
# registers, and attaches the port to hvc0 only afterwards: in between the
# node exists but opening it fails (ENODEV). Wait until it opens.
# Generous: on a busy machine the emulated boot can take many seconds.
i=0
until true 2>/dev/null >/dev/hvc0; do
    i=$((i + 1))
    [ $i -ge 1200 ] && break
    sleep 0.05
done
if true 2>/dev/null >/dev/hvc0; then
    exec >/dev/hvc0 2>&1 </dev/null
    console=yes
else
    exec >/dev/null 2>&1 </dev/null
    say "the console hvc0 does not open; carrying on without it"
fi
[ $i -gt 0 ] && echo "guest: hvc0 opened after $i failed attempts"

echo "guest: Linux $(uname -r), up $(cut -d' ' -f1 /proc/uptime) s"
export LD_LIBRARY_PATH=/lib
export QT_QPA_PLATFORM=offscreen
export QT_PLUGIN_PATH=/qt/plugins
export XDG_RUNTIME_DIR=/tmp/runtime
mkdir -p /tmp/runtime /etc/fonts
chmod 700 /tmp/runtime
# No fonts: nothing is drawn.
echo '<fontconfig><cachedir>/tmp/fontconfig</cachedir></fontconfig>' >/etc/fonts/fonts.conf

if [ -x /bin/udevadm ]; then
    /lib/systemd/systemd-udevd --daemon --resolve-names=never || say "udevd did not start"
    udevadm trigger --action=add
    udevadm settle --timeout=60 || say "udev did not settle"
fi

if [ ! -x "/bin/${guest-}" ]; then
    say "no guest program: the kernel command line names '${guest-}'"
    finish
fi
"/bin/$guest"
rc=$?
echo "guest: $guest exited with $rc after $(cut -d' ' -f1 /proc/uptime) s of uptime"
finish
