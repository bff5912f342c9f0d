#!/usr/bin/env bash
# Makes sure valgrind is present.
set -euo pipefail
if command -v valgrind >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "error: valgrind is missing; install Debian's valgrind (sudo apt-get install valgrind)." >&2
  exit 1
fi
echo "Installing valgrind ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq valgrind >/dev/null
