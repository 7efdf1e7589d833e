#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing. Needs root for the installation (as on the CI machine); otherwise
# it only names what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libfreetype-dev
          libpng-dev fonts-dejavu-core python3 binutils clang-14 libclang-rt-14-dev
          g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user valgrind strace)
if [ "${1:-}" = "--minimal" ]; then
  packages=(cmake ninja-build g++ libgtest-dev libfreetype-dev libpng-dev fonts-dejavu-core python3)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "Missing Debian packages (run as root to install them): ${missing[*]}" >&2
  exit 1
fi
