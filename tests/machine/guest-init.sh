#!/bin/busybox sh
# /init of the emulated test machines: mounts the kernel's file systems, loads
# the modules of /lib/modules/load-order, opens the virtio console hvc0 (the
# machines' only console), starts udev when the machine has it, runs the
# guest program that the kernel command line names (guest=NAME runs
# /bin/NAME; guest_limit=SECONDS bounds it) and powers off.
#
# The kernel panics when /init ends, and a failed redirection of exec ends
# the shell. So this script never ends on its own and redirects exec only to
# devices that open (/dev/null, and hvc0 once the kernel has it as its
# console: the machines boot with console=hvc0); what goes wrong is said on
# the console (or in the kernel log, which the console shows) before the
# power-off.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs run /run
# The kernel starts /init without descriptors 0-2 when it cannot open the
# console yet; a daemon started now would get its sockets there.
exec </dev/null >/dev/null 2>&1

console=no
say() { # through the kernel log (which the kernel prints on hvc0) until hvc0 is open
    if [ $console = yes ]; then echo "guest: $*"; else echo "<3>guest: $*" >/dev/kmsg; fi
}

finish() {
    say "powering off"
    poweroff -f
    while :; do sleep 1; done
}

# udev (where the machine has it) listens before the modules load, so it sees
# the devices they bring as they come and needs no replay of all devices.
export LD_LIBRARY_PATH=/lib
if [ -x /bin/udevadm ]; then
    /lib/systemd/systemd-udevd --daemon --resolve-names=never || say "udevd did not start"
    udevadm control --ping --timeout=120 || say "udevd does not answer"
fi
for m in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$m.ko" || say "insmod $m failed"
done
[ -d /sys/kernel/config ] && mount -t configfs configfs /sys/kernel/config

# The hvc driver creates the nodes hvc0..hvc7 when the first console port
# registers, and attaches the port to hvc0 only afterwards: in between the
# node exists but opening it fails (ENODEV). The port is attached once the
# kernel lists hvc0 among its consoles; wait for that without opening the
# node (opening and closing it to find out lost all its output in most
# boots on a busy host).
# Generous: on a busy machine the emulated boot can take many seconds.
i=0
until grep -q '^hvc0 ' /proc/consoles; do
    i=$((i + 1))
    [ $i -ge 1200 ] && break
    sleep 0.05
done
if grep -q '^hvc0 ' /proc/consoles; then
    exec >/dev/hvc0 2>&1 </dev/null
    console=yes
else
    say "the console hvc0 did not come; carrying on without it"
fi

echo "guest: Linux $(uname -r), up $(cut -d' ' -f1 /proc/uptime) s"
export QT_QPA_PLATFORM=offscreen
export QT_PLUGIN_PATH=/qt/plugins
export XDG_RUNTIME_DIR=/tmp/runtime
# The emulated machine is slower than the host: every deadline half as long again.
export PMV_TEST_TIME_SCALE=1.5
mkdir -p /tmp/runtime /etc/fonts
chmod 700 /tmp/runtime
# No fonts: nothing is drawn.
echo '<fontconfig><cachedir>/tmp/fontconfig</cachedir></fontconfig>' >/etc/fonts/fonts.conf

[ -x /bin/udevadm ] && { udevadm settle --timeout=60 || say "udev did not settle"; }

if [ -z "${guest-}" ] || [ ! -x "/bin/$guest" ]; then
    say "no guest program: the kernel command line names '${guest-}'"
    finish
fi
echo "guest: running $guest, up $(cut -d' ' -f1 /proc/uptime) s"
# guest_limit=SECONDS (kernel command line): the guest program is stopped
# after that long on the guest's clock, so that a program stuck on something
# its own deadlines do not cover still lets the machine report and power off.
if [ -n "${guest_limit-}" ]; then
    timeout -s KILL "$guest_limit" "/bin/$guest"
    rc=$?
    [ $rc -eq 137 ] && say "$guest did not end within $guest_limit s; stopped"
else
    "/bin/$guest"
    rc=$?
fi
echo "guest: $guest exited with $rc after $(cut -d' ' -f1 /proc/uptime) s of uptime"
finish
