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
  # The simulated display ends when QX-Com (this process, after exec) ends.
  build/devsim/qx-devsim --profile qxtools/devsim/display.ini --link "$dir/qx-display" \
    --out "$dir/out" --exit-with-pid $$ >"$dir/pty" 2>"$dir/devsim.err" &
  for _ in $(seq 100); do [ -e "$dir/qx-display" ] && break; sleep 0.05; done
  python3 scripts/add-extra-port.py build/app/qx-com-103.ini "$dir/qx-*"
  echo "Demo: a simulated display is on $dir/qx-display (pick it in the port box)."
fi
exec build/app/qx-com "$@"
