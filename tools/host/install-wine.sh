#!/usr/bin/env bash
# Makes this machine able to run ARM64 Windows images: Debian's Wine for arm64, started
# through qemu-user registered with binfmt_misc. Quiet when everything is in place.
# Never fails the caller: when something cannot be done, it says why on stderr and
# writes the reason to $PELLORA_WINE_STATUS (if set), which the Wine tests report as
# their skip reason.
set -uo pipefail

status_file=${PELLORA_WINE_STATUS:-}
report() {  # report <ok|reason...>
  [ -n "$status_file" ] && printf '%s\n' "$*" >"$status_file"
  [ "$1" = ok ] || echo "install-wine: $*; the Wine tests will be skipped" >&2
  exit 0
}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo -n)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! installed qemu-user-static || ! installed binfmt-support || ! installed wine64:arm64; then
  echo "Installing Wine for arm64 with qemu-user-static (a few minutes, once)"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo_cmd[@]}" dpkg --add-architecture arm64 || report "dpkg --add-architecture arm64 failed"
  fi
  "${sudo_cmd[@]}" apt-get update -qq || report "apt-get update failed"
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
      qemu-user-static binfmt-support wine64:arm64 >/dev/null \
    || report "apt-get install qemu-user-static binfmt-support wine64:arm64 failed"
fi
[ -x /usr/lib/wine/wine64 ] || report "/usr/lib/wine/wine64 is missing after installing wine64:arm64"

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
    || report "binfmt_misc cannot be mounted at $binfmt (a container without that right?)"
fi
if [ ! -e "$binfmt/qemu-aarch64" ] || ! grep -qx enabled "$binfmt/qemu-aarch64"; then
  "${sudo_cmd[@]}" update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 \
    || report "update-binfmts --enable qemu-aarch64 failed"
fi
grep -qx enabled "$binfmt/qemu-aarch64" 2>/dev/null || report "qemu-aarch64 is not registered with binfmt_misc"
report ok
