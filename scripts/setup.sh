#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, where missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config binutils iproute2 util-linux
  libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev libhidapi-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
