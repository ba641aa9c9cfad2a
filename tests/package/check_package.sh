#!/usr/bin/env bash
# Builds the Debian package from a finished build tree and checks it as Debian's tools and a new
# user would: lintian (no errors or warnings beyond the package's own overrides), the desktop entry
# and the AppStream data validate, and the programs of the unpacked package run: they report the
# project's version, and qx-com started offscreen with empty XDG folders seeds the user's tool
# folder, writes its settings into the config folder only and changes nothing it was installed with.
#   check_package.sh BUILD_DIR VERSION DESKTOP_ID
set -euo pipefail
build=$1 version=$2 id=$3
work=$(mktemp -d /tmp/qx-package.XXXXXX)
qxpid=
cleanup() {
  [ -n "$qxpid" ] && kill -KILL "$qxpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== building the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/qx-com_"$version"_*.deb) || fail "no qx-com_${version}_ARCH.deb"
echo "$deb"

echo "== lintian"
lintian_status=0
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors or warnings"

root=$work/root
dpkg-deb -x "$deb" "$root"
echo "== desktop entry and AppStream data"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
for size in 16 32 48 64 128 256; do
  [ -f "$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png" ] || fail "no $size x $size icon"
done
for page in qx-com qx-xmodem qx-devsim; do
  man -l "$root/usr/share/man/man1/$page.1.gz" >/dev/null 2>&1 || fail "man page $page(1) does not format"
done

echo "== versions"
for program in qx-com qx-xmodem qx-devsim; do
  got=$("$root/usr/bin/$program" --version)
  [ "$got" = "$program $version" ] || fail "$program --version printed '$got'"
  echo "$got"
done

echo "== first start of the unpacked qx-com, offscreen, with empty XDG folders"
home=$work/home
mkdir -p "$home"
(cd "$root" && find . | sort) >"$work/installed.before"
env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
  XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen \
  "$root/usr/bin/qx-com" >"$work/qx-com.log" 2>&1 &
qxpid=$!
tools=$home/data/qx-com/qxtools
for _ in $(seq 600); do
  [ -f "$tools/devices.ini" ] && break
  kill -0 "$qxpid" 2>/dev/null || { cat "$work/qx-com.log"; fail "qx-com ended by itself"; }
  sleep 0.1
done
[ -f "$tools/devices.ini" ] || fail "the tool folder was not seeded"
kill -TERM "$qxpid"
status=0
wait "$qxpid" || status=$?
qxpid=
[ "$status" = 0 ] || { cat "$work/qx-com.log"; fail "qx-com ended with status $status after SIGTERM"; }

(cd "$root/usr/share/qx-com/qxtools" && find . -type f | sort) >"$work/tools.installed"
(cd "$tools" && find . -type f | sort) >"$work/tools.seeded"
diff "$work/tools.installed" "$work/tools.seeded" || fail "the seeded tool folder differs from the installed one"
settings=$(cd "$work" && find . -name 'qx-com-103.ini')
[ "$settings" = "./home/config/qx-com/qx-com-103.ini" ] || fail "settings files found: ${settings:-none}"
grep -q '^\[Comms\]' "$home/config/qx-com/qx-com-103.ini" || fail "the settings were not written"
(cd "$root" && find . | sort) >"$work/installed.after"
diff "$work/installed.before" "$work/installed.after" || fail "qx-com changed the installed files"
echo "tool folder seeded, settings in $home/config/qx-com/ only, installed files unchanged"
echo "package checks passed"
