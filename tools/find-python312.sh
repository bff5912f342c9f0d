#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter, preferring pyenv's, or fails with a clear message.
set -euo pipefail
candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  while read -r v; do
    candidates+=("$root/versions/$v/bin/python3.12")
  done < <(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3,3nr)
fi
for dir in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*; do
  [ -d "$dir" ] && candidates+=("$dir/bin/python3.12")
done
candidates+=("$(command -v python3.12 2>/dev/null || true)")
for py in "${candidates[@]}"; do
  if [ -n "$py" ] && [ -x "$py" ] && "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    echo "$py"
    exit 0
  fi
done
echo "error: no CPython 3.12 found (looked in pyenv versions and on PATH). Install one, e.g. 'pyenv install 3.12'." >&2
exit 1
