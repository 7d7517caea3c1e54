#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with; apt-get runs only when
# one of them is missing, so a second run costs a few dpkg queries.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  googletest libgtest-dev libgmock-dev
  libusb-1.0-0-dev libcurl4-openssl-dev zlib1g-dev libhidapi-dev libczmq-dev libzmq3-dev
  python3 openssl curl umockdev libumockdev-dev iproute2 util-linux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
