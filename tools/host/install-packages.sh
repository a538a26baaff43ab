#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, once: packages already
# present are left alone, and the script says what it installs.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang lld llvm     # host build, release image toolchain
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  libclang-rt-14-dev                       # libFuzzer and AddressSanitizer for clang
  osslsigncode openssl 7zip cabextract gcab  # signing (with throwaway certificates), and the independent judges
  libssl-dev                               # SHA-256 for the setup stand-ins' patches
  python3                                  # the mutation runner (tools/mutate/)
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The second Windows that judges the release image: Wine for arm64 through qemu-user.
# Where it cannot be installed or registered, it says why and the Wine tests skip.
"$(dirname "$0")/install-wine.sh"
