#!/usr/bin/env bash
# Makes sure a tool from Debian's archive is present, installing its package when run as root:
#   tools/ensure-debian.sh PACKAGE COMMAND   present when COMMAND is on the PATH
#   tools/ensure-debian.sh libgtest-dev      GoogleTest's header and static libraries
#   tools/ensure-debian.sh libzstd-dev       zstd's header and library (stored documents)
# (Debian's clang ships libFuzzer; clang-format and valgrind are their own packages.)
set -euo pipefail
package=${1:?package}
if [ "$package" = libgtest-dev ]; then
  [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a >/dev/null 2>&1 && exit 0
elif [ "$package" = libzstd-dev ]; then
  [ -f /usr/include/zstd.h ] && ls /usr/lib/*/libzstd.so >/dev/null 2>&1 && exit 0
else
  command -v "${2:?command}" >/dev/null 2>&1 && exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "error: $package is missing; install it from Debian (sudo apt-get install $package)." >&2
  exit 1
fi
echo "Installing $package ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "$package" >/dev/null
