#!/usr/bin/env bash
# Fails when a file includes a project header from a layer above its own.
#
#   platform/            the Windows-named calls over POSIX, the thread class
#   config/              slot table, file format, the command set as a document,
#                        comparisons and snapshots (uses the port setting types)
#   comport/             the serial port component package, on platform/
#   dialogs/             the forms the window opens, on config/
#   app/link/            the request engine and comparison runs, on config/ (PortLink, PortWatch:
#                        also comport/, platform/)
#   app/                 the main window: may use everything above; its units
#                        (header with source) include each other in no circle
#   tools/               programs: anything but the main window
#   tests/, bench/       anything
set -euo pipefail
cd "$(dirname "$0")/.."

# folder : allowed include prefixes (extended regular expression)
rules=(
  'platform/:platform/'
  'config/:config/|comport/Lnk(Types|Text)\.h'
  'comport/:comport/|platform/'
  'dialogs/:dialogs/|config/|comport/Lnk(Types|Text)\.h'
  'app/link/Port:app/link/|config/|comport/|platform/'
  'app/link/:app/link/|config/|comport/Lnk(Types|Text)\.h'
  'tools/:tools/|config/|comport/|platform/|app/link/'
)
bad=0
while IFS= read -r file; do
  allowed=
  for rule in "${rules[@]}"; do
    prefix=${rule%%:*}
    if [[ $file == "$prefix"* ]]; then allowed=${rule#*:}; break; fi
  done
  [ -n "$allowed" ] || continue
  while IFS= read -r inc; do
    [[ $inc =~ ^($allowed) ]] && continue
    echo "$file includes \"$inc\", above its layer" >&2
    bad=1
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\/[^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.cpp' '*.h')

# The window's files: no two units (a header with its source) may include each
# other, directly or through others.
edges=$(git ls-files 'app/*.cpp' 'app/*.h' | while IFS= read -r file; do
  from=${file%.*}
  sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\(app\/[^"]*\)".*/\1/p' "$file" |
    while IFS= read -r inc; do
      to=${inc%.*}
      [ "$to" = "$from" ] || echo "$from $to"
    done
done)
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null) || [ -n "$loops" ]; then
  echo "app/ units include each other in a circle:" >&2
  sed -n 's/^tsort: //p' <<<"$loops" | grep -v 'input contains a loop' >&2
  bad=1
fi
[ $bad -eq 0 ] && echo "check-layers: every include stays in its layer, and no two app/ units include each other"
exit $bad
