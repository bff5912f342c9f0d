#!/usr/bin/env bash
# Makes sure GoogleTest's headers and static libraries (Debian's libgtest-dev) are present.
set -euo pipefail
if [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "error: GoogleTest is missing; install Debian's libgtest-dev (sudo apt-get install libgtest-dev)." >&2
  exit 1
fi
echo "Installing libgtest-dev ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq libgtest-dev >/dev/null
