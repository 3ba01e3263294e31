#!/usr/bin/env bash
# Prints the path of a CPython of each minor version asked for: pyenv's
# newest of that version, else pythonX.Y on PATH. Fails naming the first
# version it cannot find.
#
# Usage: tools/find-python.sh 3.12 [3.13 ...]
set -euo pipefail
for minor in "$@"; do
  found=
  if command -v pyenv >/dev/null; then
    version=$(pyenv versions --bare | grep -E "^${minor/./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    [ -n "$version" ] && found="$(pyenv root)/versions/$version/bin/python"
  fi
  [ -n "$found" ] || found=$(command -v "python$minor" || true)
  [ -n "$found" ] || { echo "no CPython $minor found (pyenv or python$minor on PATH)" >&2; exit 1; }
  echo "$found"
done
