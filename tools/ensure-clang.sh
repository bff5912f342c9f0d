#!/usr/bin/env bash
# Makes sure clang++ with libFuzzer is present (Debian's clang package ships libFuzzer).
set -euo pipefail
if command -v clang++ >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "error: clang is missing; install Debian's clang (sudo apt-get install clang)." >&2
  exit 1
fi
echo "Installing clang ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq clang >/dev/null
