#!/usr/bin/env bash
# Installs a wheel into a fresh venv outside the source tree and runs the demo, an index search
# and the command line from it, so a wheel that lacks a file or a shared library fails here and
# not on a user's machine. Usage: tools/test-wheel.sh WHEEL
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
# The demo's index ranks the sample's apt-get line first for the software query; anything else
# means a broken install.
grep -A1 "^query: 安装软件包 " <<<"$demo" | grep -q "#14 .*apt-get"
# An index built, saved, loaded and searched with the wheel's modules alone.
"$scratch/venv/bin/python" - <<'PY'
from lumotext import Index

index = Index()
index.add(["长江大桥今天正式通车", "北京的天气很好", "武汉长江大桥是万里长江第一桥"])
index.save("wheel.index")
hits = Index.load("wheel.index").search("長江大橋", k=3)
assert [number for number, _ in hits] == [number for number, _ in index.search("长江大桥", k=3)], hits
assert {number for number, _ in hits} == {0, 2}, hits
PY
echo '长江大桥今天正式通车' | "$scratch/venv/bin/lumotext" cut | grep -qx '长江 大桥 今天 正式 通车'
# The module must come from the wheel, not from a source tree on the path.
"$scratch/venv/bin/python" -c 'import pylumotext, sys; sys.exit(not pylumotext.__file__.startswith(sys.prefix))'
echo "wheel ok: $(basename "$wheel") installs into a fresh venv, runs the demo and searches an index"
