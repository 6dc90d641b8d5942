#!/bin/busybox sh
# /init of the UART test machine: mounts the kernel's file systems, loads the
# virtio console modules (the console is hvc0, so that ttyS1 is the only UART
# in use), runs the guest program and powers off.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
chmod 666 /dev/ttyS1 # so that a normal user's open meets the port's exclusive flag
mkdir -p /tmp/runtime /etc/fonts
chmod 700 /tmp/runtime
# No fonts: nothing is drawn.
echo '<fontconfig><cachedir>/tmp/fontconfig</cachedir></fontconfig>' >/etc/fonts/fonts.conf

for m in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$m.ko"
done
# Generous: on a busy machine the emulated boot can take many seconds.
i=0
while [ ! -e /dev/hvc0 ] && [ $i -lt 1200 ]; do
    sleep 0.05
    i=$((i + 1))
done
# A failed redirection would end this shell, and with it the machine.
if [ -e /dev/hvc0 ]; then
    exec >/dev/hvc0 2>&1 </dev/null
else
    exec >/dev/null 2>&1 </dev/null
fi

echo "guest: Linux $(uname -r), up $(cut -d' ' -f1 /proc/uptime) s"
echo "guest: ttyS0..3 types $(cat /sys/class/tty/ttyS0/type /sys/class/tty/ttyS1/type \
    /sys/class/tty/ttyS2/type /sys/class/tty/ttyS3/type | tr '\n' ' ')"
export LD_LIBRARY_PATH=/lib
export QT_QPA_PLATFORM=offscreen
export QT_PLUGIN_PATH=/qt/plugins
export XDG_RUNTIME_DIR=/tmp/runtime
# The emulated machine is slower than the host: every deadline half as long again.
export PMV_TEST_TIME_SCALE=1.5
/bin/uart-guest
rc=$?
echo "guest: uart-guest exited with $rc after $(cut -d' ' -f1 /proc/uptime) s of uptime"
echo "guest: powering off"
poweroff -f
