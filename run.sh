#!/usr/bin/env bash
# Builds QX-Com and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh build >/dev/null
exec build/app/qx-com "$@"
