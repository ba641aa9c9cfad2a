#!/usr/bin/env bash
# Builds QX-Com and starts it.
#   ./run.sh          starts QX-Com; with no serial device on the machine it starts the demo too
#   ./run.sh --demo   also starts a simulated display module and lists it in the port box
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
# The build's progress is kept quiet; its errors are shown.
log=$(mktemp)
if ! scripts/build.sh build -DQX_WITH_QT=ON -DQX_SANITIZE= >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "The build failed; see above." >&2
  exit 1
fi
rm -f "$log"

demo=0
[ "${1:-}" = "--demo" ] && { demo=1; shift; }
[ "$demo" = 1 ] || scripts/has-serial-device.sh || demo=1
if [ "$demo" = 1 ]; then
  dir="/tmp/qx-demo-$(id -u)"
  mkdir -p "$dir"
  # The simulated devices end when this script ends, which is when QX-Com ends: the display, the
  # addressed (ASI) device and two boards with a boot loader of each generation (the second one
  # re-enumerates after an update, as a board whose loader speaks USB).
  for device in display:display asi:asi board1:loader1 board2:loader2-usb; do
    name=${device%%:*}
    profile=${device#*:}
    build/devsim/qx-devsim --profile "qxtools/devsim/$profile.ini" --link "$dir/qx-$name" \
      --out "$dir/out-$name" --exit-with-pid $$ >"$dir/$name.pty" 2>"$dir/$name.err" &
    echo $! >"$dir/$name.pid"
  done
  for _ in $(seq 100); do [ -e "$dir/qx-board2" ] && break; sleep 0.05; done
  python3 scripts/add-extra-port.py build/app/qx-com-103.ini "$dir/qx-*"
  echo "Demo: simulated devices are on $dir/qx-display, qx-asi, qx-board1 and qx-board2 (pick one in the port box)."
  # QX-Com runs as a child of this script, which stays the simulators' parent and so reaps one that
  # ends early. Signals to the script go on to QX-Com; its exit code is the script's.
  build/app/qx-com "$@" &
  app=$!
  for sig in TERM INT HUP; do
    trap 'kill -'"$sig"' "$app" 2>/dev/null || true' "$sig"
  done
  status=0
  while :; do
    if wait "$app"; then status=0; else status=$?; fi
    kill -0 "$app" 2>/dev/null || break
  done
  exit "$status"
fi
exec build/app/qx-com "$@"
