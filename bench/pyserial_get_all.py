#!/usr/bin/python3
"""Get All of a PMV-Host configuration file with pyserial, as a plain script
would do it: the yardstick for pmv-link get-all in bench_cli.

    pyserial_get_all.py FILE DEVICE [REPEAT]

Reads the 2134-line file, takes the slots the window's Get All reads (kind 3
or 5, marked for Get All, not disabled, with a command word), sends
"QX<word>\\r" for each on DEVICE, one at a time, waits up to 200 ms for the
"QX...\\r" reply and prints slot, command, description and value. Exit 1 when
a reply timed out.

With REPEAT, the Get All runs REPEAT times on the open port and only one line
is printed: "requests=N seconds=S cpu_seconds=C timeouts=T", the time and the
processor time of the runs alone (start-up and file reading not included) and
the replies that did not come within 200 ms (the run goes on with the next
request; a late reply is read and dropped before it is sent).
"""
import sys
import time

import serial

INC_IN_GET_ALL = 2
DISABLED = 16
PARITY = {"none": serial.PARITY_NONE, "odd": serial.PARITY_ODD, "even": serial.PARITY_EVEN}


def main():
    path, device = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").splitlines()

    def value(n):
        return lines[n].split(": ", 1)[1] if ": " in lines[n] else ""

    slots = []
    for k in range(192):
        base = 22 + 11 * k
        kind, word, descr = int(value(base)), value(base + 1), value(base + 2)
        opts = int(value(base + 9))
        if word and kind in (3, 5) and opts & INC_IN_GET_ALL and not opts & DISABLED:
            slots.append((k + 1, word, descr))

    port = serial.Serial(device, baudrate=int(value(6)), bytesize=int(value(7)),
                         parity=PARITY[value(8)], stopbits=int(value(9)), timeout=0.2)
    if len(sys.argv) > 3:
        repeat = int(sys.argv[3])
        start, cpu = time.perf_counter(), time.process_time()
        timeouts = 0
        for _ in range(repeat):
            for _, word, _ in slots:
                port.write(b"QX" + word.encode("latin-1") + b"\r")
                if not port.read_until(b"\r").endswith(b"\r"):
                    timeouts += 1
                    port.reset_input_buffer()
        print("requests=%d seconds=%.6f cpu_seconds=%.6f timeouts=%d" %
              (repeat * len(slots), time.perf_counter() - start, time.process_time() - cpu,
               timeouts))
        return 0
    failed = False
    rows = []
    for slot, word, descr in slots:
        port.write(b"QX" + word.encode("latin-1") + b"\r")
        reply = port.read_until(b"\r")
        start = reply.find(b"QX")
        if not reply.endswith(b"\r") or start < 0:
            rows.append((slot, word, descr, "(timeout)"))
            failed = True
            continue
        body = reply[start + 2:-1].decode("latin-1")
        rows.append((slot, word, descr, body.split(" = ", 1)[1] if " = " in body else ""))
    port.close()
    for row in rows:
        print("%4d  %-8s %-32s %s" % row)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
