#!/usr/bin/env bash
# Builds QX-Com and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh build -DQX_WITH_QT=ON -DQX_SANITIZE= >/dev/null
exec build/app/qx-com "$@"
