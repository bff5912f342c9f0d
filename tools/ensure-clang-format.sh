#!/usr/bin/env bash
# Makes sure clang-format is present (Debian's clang-format package), installing it as root.
set -euo pipefail
if command -v clang-format >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "error: clang-format is missing; install Debian's clang-format (sudo apt-get install clang-format)." >&2
  exit 1
fi
echo "Installing clang-format ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq clang-format >/dev/null
