#!/usr/bin/env bash
# Starts the bundled target simulator on COM25 (through the device map
# override) and then the host. The simulator ends when the host ends.
set -uo pipefail
build=${1:-build}
host="$build/app/pmv-host"
sim="$build/tools/qxm-sim"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "pmv-host: no display found (DISPLAY is not set)." >&2
  echo "Run it on a desktop, or under a virtual display:  xvfb-run -a make run" >&2
  exit 1
fi
sim_pid=
host_pid=
stop_sim() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
  fi
}
# The simulator (and the host) go when the script ends, however it ends.
trap stop_sim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if [ -x "$sim" ]; then
  rm -f "$build/qxm-sim.log"
  "$sim" --com 25 --log "$build/qxm-sim.log" &
  sim_pid=$!
  # Wait until the simulator has published its port in the device map.
  for _ in $(seq 1 100); do
    grep -q "published" "$build/qxm-sim.log" 2>/dev/null && break
    sleep 0.05
  done
  echo "Target simulator running on COM25 (log: $build/qxm-sim.log)."
  echo "Load examples/qxm300-pump.ini to talk to it."
fi
"$host" &
host_pid=$!
wait "$host_pid"
rc=$?
host_pid=
exit $rc
