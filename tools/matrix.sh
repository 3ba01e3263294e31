#!/usr/bin/env bash
# Builds the cp311-abi3 wheel once and runs the whole pytest suite with it on
# every CPython 3.11+ found on this machine: the system interpreter, those
# pyenv knows, and Debian's debug interpreter. Also audits the wheel's ABI and
# its exported symbols. Usage: tools/matrix.sh  (or: make matrix)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=build/matrix
mkdir -p "$out"

make -s wheel >/dev/null
wheel=$(ls "$root"/dist/quarrine-*-cp311-abi3-*.whl)
echo "wheel: $(basename "$wheel")"

# The exported symbols of the module: PyInit_quarrine only.
unzip -o -q "$wheel" quarrine.abi3.so -d "$out/unpacked"
exported=$(nm -D --defined-only "$out/unpacked/quarrine.abi3.so" | awk '{print $3}')
echo "exported symbols: $exported"
[ "$exported" = "PyInit_quarrine" ] || { echo "unexpected exported symbols" >&2; exit 1; }

# The stable ABI audit.
.venv/bin/python -m pip install -q abi3audit
.venv/bin/abi3audit --strict --report "$wheel" | tail -n 5

candidates=()
[ -x /usr/bin/python3.11 ] && candidates+=(/usr/bin/python3.11)
command -v python3.11-dbg >/dev/null && candidates+=("$(command -v python3.11-dbg)")
if command -v pyenv >/dev/null; then
  for version in $(pyenv versions --bare); do
    candidates+=("$(pyenv root)/versions/$version/bin/python")
  done
fi
for extra in python3.12 python3.13 python3.14; do
  command -v "$extra" >/dev/null && candidates+=("$(command -v "$extra")")
done

declare -A seen=()
results=()
status=0
for python in "${candidates[@]}"; do
  [ -x "$python" ] || continue
  real=$(readlink -f "$python")
  [ -n "${seen[$real]:-}" ] && continue
  seen[$real]=1
  if ! "$python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 11) else 1)' 2>/dev/null; then
    continue
  fi
  label=$("$python" -c 'import sys; print(sys.version.split()[0] + ("-dbg" if hasattr(sys, "gettotalrefcount") else ""))')
  venv="$out/venv-$label"
  echo "== CPython $label ($python)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  "$venv/bin/python" -m pip install -q pytest hypothesis >/dev/null
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel" >/dev/null
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests > "$out/$label.log" 2>&1 || true)
  summary=$(tail -n 1 "$out/$label.log")
  echo "$summary   (full output: $out/$label.log)"
  if ! grep -q " passed" <<<"$summary" || grep -q -E "failed|error" <<<"$summary"; then
    status=1
  fi
  results+=("CPython $label: $summary")
done

echo
echo "Summary"
for line in "${results[@]}"; do echo "  $line"; done
exit $status
