#!/usr/bin/env bash
# Builds the files to publish once (`make dist`: the sdist and the manylinux
# cp311-abi3 and cp312-abi3 wheels, with their checks), shows that each
# wheel's module exports only PyInit_quarrine and needs nothing but the C
# library and the unwinder, and runs the whole pytest suite in a fresh virtual
# environment of every CPython 3.11+ found on this machine (the system
# interpreter, Debian's debug interpreter and those pyenv knows) with the
# wheel that pip itself picks from dist/: cp311-abi3 on 3.11, cp312-abi3 on
# 3.12 and later. Then it installs the sdist, with build isolation, where the
# only build tools on PATH are g++ and its binutils, by CPython 3.11 and 3.12,
# each of which must build its own stable ABI.
#
# Usage: tools/matrix.sh            (or: make matrix) every interpreter, and the sdist
#        tools/matrix.sh PYTHON...  only these interpreters, no sdist install
#        tools/matrix.sh --built-dist PYTHON...  the same with the files that
#                                   make dist already put into dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=build/matrix
mkdir -p "$out"

if [ "${1:-}" = --built-dist ]; then
  shift
else
  make -s dist >"$out/dist.log" 2>&1 || { cat "$out/dist.log"; exit 1; }
  grep -E "^(sdist|wheel):" "$out/dist.log"
fi
sdist=$(ls "$root"/dist/quarrine-*.tar.gz)

# What each module shows the dynamic linker: PyInit_quarrine is its only
# export, and the C++ standard library is inside, so it asks for the C
# library's parts and the unwinder only.
for wheel in "$root"/dist/quarrine-*.whl; do
  unpacked=$out/unpacked/$(basename "$wheel" .whl)
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  unzip -o -q "$wheel" quarrine.abi3.so -d "$unpacked"
  exported=$(nm -D --defined-only "$unpacked/quarrine.abi3.so" | awk '{print $3}')
  needed=$(readelf -d "$unpacked/quarrine.abi3.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  echo "$(basename "$wheel"): exports $exported; needs $needed"
  [ "$exported" = "PyInit_quarrine" ] || { echo "unexpected exported symbols" >&2; exit 1; }
  for library in $needed; do
    case "$library" in
      libc.so.6|libm.so.6|libpthread.so.0|libdl.so.2|ld-linux-*|libgcc_s.so.1) ;;
      *) echo "the module needs $library: only the C library and libgcc_s are expected" >&2; exit 1 ;;
    esac
  done
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

# One interpreter's run: a fresh venv, pip's own choice among the wheels in
# dist/ (as a user's pip would make it), and the suite. It writes its
# verdict and a line about it to $out/<label>.result.
run_suite() {  # run_suite PYTHON LABEL
  local python=$1 label=$2 venv=$out/venv-$2 log=$out/$2.log wheel tag expected summary code=0 verdict=ok
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # The debug interpreter reports the files pip leaves to the collector.
  if ! PYTHONWARNINGS=ignore::ResourceWarning "$venv/bin/python" -m pip install -q pytest hypothesis \
         >"$out/$label.pip.log" 2>&1 \
     || ! PYTHONWARNINGS=ignore::ResourceWarning "$venv/bin/python" -m pip install -q --no-index \
            --find-links "$root/dist" --report "$out/$label.install.json" quarrine \
            >>"$out/$label.pip.log" 2>&1; then
    printf 'FAILED\nCPython %s: pip failed (%s)\n' "$label" "$out/$label.pip.log" >"$out/$label.result"
    return
  fi
  # The file pip chose, and the tag its installed WHEEL file carries.
  wheel=$("$venv/bin/python" -c 'import json, pathlib, sys; print(json.loads(pathlib.Path(sys.argv[1]).read_text())["install"][0]["download_info"]["url"].rsplit("/", 1)[1])' "$out/$label.install.json")
  tag=$("$venv/bin/python" -c 'import importlib.metadata as m; print(next(l[5:] for l in m.distribution("quarrine").read_text("WHEEL").splitlines() if l.startswith("Tag: ")))')
  expected=$("$venv/bin/python" -c 'import sys; print("cp311" if sys.version_info < (3, 12) else "cp312")')
  [[ "$tag" == "$expected-abi3-"* ]] || { verdict=FAILED; wheel="$wheel, not the $expected-abi3 wheel"; }
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests >"$log" 2>&1) || code=$?
  summary=$(tail -n 1 "$log")
  if [ $code -ne 0 ] && [ $code -ne 1 ]; then  # 1: tests failed, and the summary says which
    summary="pytest ended with status $code after: ${summary:0:60}"
  fi
  if ! grep -q " passed" <<<"$summary" || grep -q -E "failed|error" <<<"$summary"; then
    verdict=FAILED
  fi
  printf '%s\nCPython %s: pip installed %s; %s   (%s)\n' "$verdict" "$label" "$wheel" "$summary" "$log" \
    >"$out/$label.result"
}

declare -A seen=()
labels=()
status=0
# Two interpreters at a time, one per core of the machine.
jobs=${MATRIX_JOBS:-2}
for python in "${candidates[@]}"; do
  [ -x "$python" ] || continue
  real=$(readlink -f "$python")
  [ -n "${seen[$real]:-}" ] && continue
  seen[$real]=1
  if ! "$python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 11) else 1)' 2>/dev/null; then
    continue
  fi
  label=$("$python" -c 'import sys; print(sys.version.split()[0] + ("-dbg" if hasattr(sys, "gettotalrefcount") else ""))')
  echo "== CPython $label ($python): started"
  labels+=("$label")
  rm -f "$out/$label.result"
  run_suite "$python" "$label" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait
results=()
for label in "${labels[@]}"; do
  { read -r verdict; read -r line; } <"$out/$label.result" || { verdict=FAILED; line="CPython $label: no result"; }
  echo "$line"
  [ "$verdict" = ok ] || status=1
  results+=("$line")
done

if [ $# -eq 0 ]; then
  # The sdist as pip on a bare machine sees it: a fresh venv, build
  # isolation, and a PATH whose only build tools are g++ and binutils, so
  # that scikit-build-core fetches CMake and Ninja itself. By the system's
  # CPython 3.11 (whose headers are installed) and by a CPython 3.12: each
  # must build the stable ABI of its own version, and tag it so.
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
  sdist_pythons=(/usr/bin/python3.11 "$(tools/find-python.sh 3.12)")
  for python in "${sdist_pythons[@]}"; do
    minor=$("$python" -c 'import sys; print(f"{sys.version_info[1]}")')
    echo "== sdist: $(basename "$sdist") by CPython 3.$minor ($python)"
    venv=$bare/venv-3.$minor
    log=$out/sdist-3.$minor.log
    "$python" -m venv "$venv"
    if PATH="$root/$venv/bin:$root/$bare/bin" "$venv/bin/python" -m pip install --no-cache-dir "$sdist" \
         > "$log" 2>&1 \
       && (cd "$bare" && "$root/$venv/bin/python" -c '
import importlib.metadata, sys
from quarrine import QuarrineBase, quarrined
class C(QuarrineBase):
    @quarrined()
    def f(self, x):
        return [x]
c = C()
assert c.f(1) is c.f(x=1)
tag = next(l[5:] for l in importlib.metadata.distribution("quarrine").read_text("WHEEL").splitlines() if l.startswith("Tag: "))
assert tag.startswith(f"cp3{sys.version_info[1] if sys.version_info < (3, 12) else 12}-abi3-"), tag
print(f"built {tag}; the module imports and caches:", c.get_cached_values())') >> "$log" 2>&1; then
      tail -n 1 "$log"
      results+=("sdist installed by CPython 3.$minor with pip and build isolation: ok")
    else
      tail -n 20 "$log"
      echo "the sdist did not install (full output: $log)"
      status=1
      results+=("sdist installed by CPython 3.$minor with pip and build isolation: FAILED")
    fi
  done
fi

echo
echo "Summary"
for line in "${results[@]}"; do echo "  $line"; done
exit $status
