#!/usr/bin/env bash
# Checks the Debian package that `make package` wrote: unpacks it into a
# temporary root and checks what it installs (programs, manual pages, examples,
# desktop entry, icons, AppStream metadata, copyright and changelog), runs each
# unpacked program's --help and --version and the unpacked checker on the
# unpacked example, and runs desktop-file-validate, appstreamcli validate and
# lintian. The programs and their pages come from <build>/pmv-programs.txt
# (written by pmv_install_program), so a new program is checked without a
# change here. Needs the Debian packages of `scripts/deps.sh package`.
# Usage: scripts/check-package.sh [BUILD]
set -uo pipefail
build=${1:-build}
# Each check is a group of conditions: `fail` records a failed condition,
# `checked` ends the group and counts it passed when none failed.
passed=0
failed=0
group_failed=0
fail() {
  echo "FAILED: $*" >&2
  group_failed=1
}
checked() {
  if [ $group_failed -eq 0 ]; then
    echo "ok: $*"
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  group_failed=0
}

debs=("$build"/pmv-host_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "check-package: expected one $build/pmv-host_*.deb (make package), found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || exit 1
echo "== $deb"

# --- control fields: the version of the build, dependencies from the shared libraries
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Package)" = pmv-host ] || fail "package name"
[ "$version" = "$project_version" ] || fail "version '$version', project $project_version"
checked "version $version"
for dep in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libjpeg62-turbo qt6-qpa-plugins fonts-liberation; do
  [[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]] || fail "Depends lacks $dep: $depends"
done
checked "Depends: $depends"
for field in Maintainer Section Priority Description; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done
checked "Maintainer, Section, Priority, Description"

# --- nothing outside the install layout
unexpected=$(cd "$root" && find . -type f | grep -Ev '^\./usr/(bin|share/(applications|metainfo|icons/hicolor|man/man[1-9]|pmv-host/examples|doc/pmv-host))/' || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
checked "all files under the install layout"

# --- programs and manual pages
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM # --help and --version need no display
while read -r program page; do
  [ -n "$program" ] || continue
  exe="$root/usr/bin/$program"
  if [ ! -x "$exe" ]; then
    fail "$program not in usr/bin"
    continue
  fi
  kind=$(file -b "$exe")
  [[ "$kind" == ELF* && "$kind" == *", stripped"* ]] || fail "$program: not a stripped ELF file: $kind"
  out=$("$exe" --version 2>"$root/err"); rc=$?
  [ $rc -eq 0 ] && [ "$out" = "$program $version" ] && [ ! -s "$root/err" ] ||
    fail "$program --version: exit $rc, '$out', stderr '$(cat "$root/err")'"
  out=$("$exe" --help 2>"$root/err"); rc=$?
  [ $rc -eq 0 ] && [[ "$out" == Usage:\ $program* ]] && [[ "$out" == *"Exit status:"* ]] && [ ! -s "$root/err" ] ||
    fail "$program --help: exit $rc, stderr '$(cat "$root/err")'"
  out=$("$exe" --no-such-option 2>"$root/err"); rc=$?
  [ $rc -eq 2 ] && [ -z "$out" ] && [ -s "$root/err" ] ||
    fail "$program --no-such-option: exit $rc (expected 2), stdout '$out'"
  man="$root/usr/share/man/$page"
  if [ ! -f "$man" ]; then
    fail "$program: no manual page $page"
  else
    text=$(MANWIDTH=80 man -l "$man" 2>"$root/err")
    [[ "$text" == *"EXIT STATUS"* ]] && [ ! -s "$root/err" ] ||
      fail "$page: no EXIT STATUS section, or man says: $(cat "$root/err")"
  fi
  checked "$program: --version, --help, bad option, $page"
done <"$build/pmv-programs.txt"

# --- the unpacked checker accepts the unpacked example
example="$root/usr/share/pmv-host/examples/qxm300-pump.ini"
out=$("$root/usr/bin/pmv-configcheck" "$example"); rc=$?
[ $rc -eq 0 ] && [[ "$out" == "COM25: 9600 8 none 1, title \"QXM300 pump station\", 48 of 192 slots defined" ]] ||
  fail "pmv-configcheck on the example: exit $rc, '$out'"
checked "pmv-configcheck on the installed example: $out"

# --- desktop entry, AppStream metadata, icons
metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
id=$(basename "${metainfo[0]}" .metainfo.xml)
desktop="$root/usr/share/applications/$id.desktop"
if [ ${#metainfo[@]} -ne 1 ] || [ ! -f "$desktop" ]; then
  fail "expected one metainfo file and its desktop entry $id.desktop"
else
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
  grep -qx "Exec=pmv-host" "$desktop" && grep -qx "Icon=$id" "$desktop" || fail "$id.desktop: Exec or Icon"
  checked "desktop-file-validate $id.desktop"
  appstreamcli validate --no-net --explain "${metainfo[0]}" || fail "appstreamcli validate"
  grep -q "<release version=\"$version\"" "${metainfo[0]}" || fail "metainfo: no release $version"
  checked "appstreamcli validate $id.metainfo.xml"
fi
icons="$root/usr/share/icons/hicolor"
[ -f "$icons/scalable/apps/$id.svg" ] || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
  png="$icons/${size}x${size}/apps/$id.png"
  file -b "$png" | grep -q "^PNG image data, $size x $size," || fail "$png: $(file -b "$png")"
done
# The scalable icon looks like the drawn one (mean difference in 0..255).
for size in 64 256; do
  rsvg-convert -w $size -h $size "$icons/scalable/apps/$id.svg" -o "$root/svg$size.png" &&
    "$build/data/pmv_render_icon" compare "$root/svg$size.png" "$icons/${size}x${size}/apps/$id.png" 3 ||
    fail "the scalable icon differs from the drawn one at $size pixels"
done
checked "icons: scalable and 16..256 pixels"

# --- Debian documentation and lintian
doc="$root/usr/share/doc/pmv-host"
[ -f "$doc/copyright" ] && gzip -t "$doc/changelog.gz" || fail "copyright or changelog.gz missing"
zcat "$doc/changelog.gz" | head -1 | grep -q "^pmv-host ($version) " || fail "changelog is not for $version"
checked "copyright and changelog.gz"
echo "== lintian"
lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"
checked "lintian: no error"

echo "package check: $passed passed, $failed failed"
[ $failed -eq 0 ]
