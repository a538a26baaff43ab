#!/usr/bin/env bash
# The Wine prefix of one build directory, for the tests that run the release image under
# Wine:  wine-prefix.sh start DIR  |  wine-prefix.sh stop DIR
# start makes DIR/prefix once (wineboot --init, about a minute), then starts one Wine server
# with Wine's services for the whole leg, so that each run skips that start (it ends by
# itself 60 seconds after the last program, or at stop). It writes DIR/status: "ok", or
# why Wine cannot run here, which the tests report as their reason to skip. It never fails.
set -uo pipefail

action=${1:-} dir=${2:-}
[ -n "$dir" ] && { [ "$action" = start ] || [ "$action" = stop ]; } || {
  echo "usage: wine-prefix.sh start|stop DIR" >&2
  exit 2
}
mkdir -p "$dir" && dir=$(cd "$dir" && pwd)  # Wine takes only an absolute prefix
prefix=$dir/prefix
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# Wine keeps its server's socket folder under TMPDIR; under the build directory it leaves the
# system's temporary folder as it found it. Every Wine call on this prefix must use the same.
mkdir -p "$dir/tmp" && export TMPDIR=$dir/tmp

if [ "$action" = stop ]; then
  [ -x "$server" ] && [ -f "$prefix/system.reg" ] && "$server" -k >/dev/null 2>&1
  exit 0
fi

report() {
  printf '%s\n' "$*" >"$dir/status"
  [ "$1" = ok ] || echo "wine-prefix: $*" >&2
  exit 0
}

[ -x "$wine" ] || report "Wine for arm64 is not installed (wine64:arm64; tools/host/install-wine.sh installs it)"
grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null \
  || report "qemu-aarch64 is not registered with binfmt_misc (not mounted here, or qemu-user-static and binfmt-support missing; tools/host/install-wine.sh)"
if [ ! -f "$prefix/system.reg" ]; then
  rm -rf "$prefix"
  "$wine" wineboot --init >"$dir/wineboot.log" 2>&1 || report "wineboot --init failed (see $dir/wineboot.log)"
  "$server" -w >/dev/null 2>&1
  [ -f "$prefix/system.reg" ] || report "wineboot --init made no prefix (see $dir/wineboot.log)"
fi
"$server" -p60 </dev/null >/dev/null 2>&1
"$wine" cmd /c exit 0 </dev/null >"$dir/warm-up.log" 2>&1 || report "Wine cannot run cmd.exe in $prefix (see $dir/warm-up.log)"
report ok
