#!/usr/bin/env bash
# Builds the files to publish once (`make dist`: the sdist and the manylinux
# cp311-abi3 wheel, with their checks), shows that the wheel's module exports
# only PyInit_quarrine and needs nothing but the C library, and runs the whole
# pytest suite with that wheel in a fresh virtual environment of every
# CPython 3.11+ found on this machine: the system interpreter, Debian's debug
# interpreter and those pyenv knows. Then it installs the sdist, with build
# isolation, where the only build tools on PATH are g++ and its binutils.
#
# Usage: tools/matrix.sh            (or: make matrix) every interpreter, and the sdist
#        tools/matrix.sh PYTHON...  only these interpreters, no sdist install
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=build/matrix
mkdir -p "$out"

make -s dist >"$out/dist.log" 2>&1 || { cat "$out/dist.log"; exit 1; }
wheel=$(ls "$root"/dist/quarrine-*-cp311-abi3-manylinux_*.whl)
sdist=$(ls "$root"/dist/quarrine-*.tar.gz)
echo "wheel: $(basename "$wheel")   (make dist: repaired, abi3audit --strict and twine check passed)"

# What the module shows the dynamic linker: PyInit_quarrine is its only
# export, and the C++ standard library is inside, so it asks for the C
# library and the unwinder only.
rm -rf "$out/unpacked"
unzip -o -q "$wheel" quarrine.abi3.so -d "$out/unpacked"
exported=$(nm -D --defined-only "$out/unpacked/quarrine.abi3.so" | awk '{print $3}')
echo "exported symbols: $exported"
[ "$exported" = "PyInit_quarrine" ] || { echo "unexpected exported symbols" >&2; exit 1; }
needed=$(readelf -d "$out/unpacked/quarrine.abi3.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "needed libraries: $needed"
for library in $needed; do
  case "$library" in
    libc.so.6|libm.so.6|ld-linux-*|libgcc_s.so.1) ;;
    *) echo "the module needs $library: only the C library and libgcc_s are expected" >&2; exit 1 ;;
  esac
done

candidates=()
if [ $# -gt 0 ]; then
  candidates=("$@")
else
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
fi

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
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # The debug interpreter reports the files pip leaves to the collector.
  export PYTHONWARNINGS=ignore::ResourceWarning
  "$venv/bin/python" -m pip install -q pytest hypothesis >"$out/$label.pip.log" 2>&1 || { cat "$out/$label.pip.log"; exit 1; }
  "$venv/bin/python" -m pip install -q --no-deps "$wheel" >>"$out/$label.pip.log" 2>&1 || { cat "$out/$label.pip.log"; exit 1; }
  unset PYTHONWARNINGS
  code=0
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests > "$out/$label.log" 2>&1) || code=$?
  summary=$(tail -n 1 "$out/$label.log")
  if [ $code -ne 0 ] && [ $code -ne 1 ]; then  # 1: tests failed, and the summary says which
    summary="pytest ended with status $code after: ${summary:0:60}"
  fi
  echo "$summary   (full output: $out/$label.log)"
  if ! grep -q " passed" <<<"$summary" || grep -q -E "failed|error" <<<"$summary"; then
    status=1
  fi
  results+=("CPython $label: $summary")
done

if [ $# -eq 0 ]; then
  # The sdist as pip on a bare machine sees it: a fresh venv of the system
  # interpreter (whose headers are installed), build isolation, and a PATH
  # whose only build tools are g++ and binutils, so that scikit-build-core
  # fetches CMake and Ninja itself.
  echo "== sdist: $(basename "$sdist")"
  bare="$out/bare"
  rm -rf "$bare" && mkdir -p "$bare/bin"
  # Both names of each tool: scikit-build-core hands CMake the compiler that
  # the interpreter was built with (Debian's: x86_64-linux-gnu-g++).
  triplet=$(gcc -dumpmachine)
  for tool in g++ gcc c++ cc cpp as ld ar ranlib strip nm objcopy objdump readelf; do
    for name in "$tool" "$triplet-$tool"; do
      if [ -x "/usr/bin/$name" ]; then ln -s "/usr/bin/$name" "$bare/bin/$name"; fi
    done
  done
  /usr/bin/python3.11 -m venv "$bare/venv"
  if PATH="$root/$bare/venv/bin:$root/$bare/bin" "$bare/venv/bin/python" -m pip install --no-cache-dir "$sdist" \
       > "$out/sdist.log" 2>&1 \
     && (cd "$bare" && venv/bin/python -c '
from quarrine import QuarrineBase, quarrined
class C(QuarrineBase):
    @quarrined()
    def f(self, x):
        return [x]
c = C()
assert c.f(1) is c.f(x=1)
print("the module built from the sdist imports and caches:", c.get_cached_values())') >> "$out/sdist.log" 2>&1; then
    tail -n 1 "$out/sdist.log"
    results+=("sdist installed with pip and build isolation: ok")
  else
    tail -n 20 "$out/sdist.log"
    echo "the sdist did not install (full output: $out/sdist.log)"
    status=1
    results+=("sdist installed with pip and build isolation: FAILED")
  fi
fi

echo
echo "Summary"
for line in "${results[@]}"; do echo "  $line"; done
exit $status
