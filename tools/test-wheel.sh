#!/usr/bin/env bash
# Installs a wheel into a fresh venv outside the source tree and runs the demo and the command
# line from it, so a wheel that lacks a file or a shared library fails here and not on a user's
# machine. Usage: tools/test-wheel.sh WHEEL
set -euo pipefail
wheel=$(realpath "$1")
py312=$(dirname "$0")/find-python312.sh
py312=$("$py312")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$py312" -m venv "$scratch/venv"
"$scratch/venv/bin/python" -m pip install -q "$wheel"
cd "$scratch"
"$scratch/venv/bin/lumotext" --version
demo=$("$scratch/venv/bin/python" -m lumotext.demo)
# The demo ranks the river query's best match first; anything else means a broken install.
grep -A1 "query: river flooded fields" <<<"$demo" | grep -q "the river flooded the fields"
echo '长江大桥今天正式通车' | "$scratch/venv/bin/lumotext" cut | grep -qx '长江 大桥 今天 正式 通车'
# The module must come from the wheel, not from a source tree on the path.
"$scratch/venv/bin/python" -c 'import pylumotext, sys; sys.exit(not pylumotext.__file__.startswith(sys.prefix))'
echo "wheel ok: $(basename "$wheel") installs into a fresh venv and runs the demo"
