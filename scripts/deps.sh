#!/usr/bin/env bash
# Installs the Debian packages the project needs, or says which apt-get line to run.
# Usage: scripts/deps.sh [build|run|package|fuzz|uart|bench]
set -euo pipefail
# fonts-liberation: the narrow face the window's layouts are drawn for (dialogs/Dlgutils.h).
want=(cmake ninja-build g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
      libbenchmark-dev libjpeg62-turbo-dev fonts-dejavu-core fonts-liberation clang-format scdoc)
# ser2net: the serial server the network port tests and benchmarks start (tests/support/Ser2net.h).
want+=(ser2net)
case "${1:-build}" in
  run)  want+=(xvfb xauth) ;;
  # make package (dpkg-shlibdeps, file) and its check
  package) want+=(dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin man-db) ;;
  fuzz) want+=(clang libclang-rt-14-dev) ;;
  # The emulated test machines (UART and USB); their kernel and udev are
  # fetched with apt-get download by tests/machine/machine.sh.
  uart) want+=(qemu-system-x86 busybox-static cpio xz-utils) ;;
  # bench_cli's yardstick: a pyserial script run by /usr/bin/python3.
  bench) want+=(python3 python3-serial) ;;
esac
missing=()
for p in "${want[@]}"; do
  st=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$st" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing Debian packages. Run as root:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
