#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing. Needs root for the installation (as on the CI machine); otherwise
# it only names what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libfreetype-dev
          libpng-dev fonts-dejavu-core python3 binutils clang-14 libclang-rt-14-dev
          g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user valgrind strace
          clang-format-14 gdb libxml2-utils)
# gdb: the debugging recipes of docs/developing.md; libxml2-utils: xmllint,
# which checks tapsim's JUnit results against their schema.
# Installed without recommends: chromium (the HTML report's browser test)
# would bring a desktop's worth of them.
bare=(chromium)
if [ "${1:-}" = "--minimal" ]; then
  packages=(cmake ninja-build g++ libgtest-dev libfreetype-dev libpng-dev fonts-dejavu-core python3)
  bare=()
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
missing_bare=()
for p in "${bare[@]}"; do
  installed "$p" || missing_bare+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_bare[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]} ${missing_bare[*]}"
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ${#missing_bare[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing_bare[@]}" >/dev/null
  fi
else
  echo "Missing Debian packages (run as root to install them): ${missing[*]} ${missing_bare[*]}" >&2
  exit 1
fi
