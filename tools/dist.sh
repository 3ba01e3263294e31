#!/usr/bin/env bash
# Builds the files to publish into dist/ (make dist): the sdist, and from it
# the two stable-ABI wheels, cp311-abi3 (built by CPython 3.11, for 3.11) and
# cp312-abi3 (built by CPython 3.12, for 3.12 and later). The wheels are
# compiled by zig for glibc 2.17 (cmake/zig.cmake), so auditwheel tags them
# manylinux_2_17 (manylinux2014). Each file is checked: auditwheel show must
# name manylinux_2_17, abi3audit --strict must find nothing outside the stable
# ABI of the wheel's version, and twine check --strict must accept the
# metadata.
#
# zig comes from the ziglang package on PyPI, installed into the build
# environment only: it is never a dependency of quarrine. Its first build
# for a target compiles its C++ runtime into ~/.cache/zig (about a minute).
#
# Usage: tools/dist.sh   (or: make dist)
# PYTHON311 and PYTHON312 name the interpreters that build each wheel; by
# default pyenv's newest CPython 3.11 and 3.12, else python3.11 and python3.12
# on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/dist
mkdir -p "$work"

# One build environment per interpreter, made once and kept in build/dist.
build_env() {  # build_env PYTHON DIR [REQUIREMENTS...]
  local python=$1 dir=$2
  shift 2
  if [ ! -x "$dir/bin/python" ] || [ "$(cat "$dir/.made-from" 2>/dev/null)" != "$*" ]; then
    rm -rf "$dir"
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install -q "$@" >"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    echo "$*" >"$dir/.made-from"
  fi
}

python311=${PYTHON311:-$(tools/find-python.sh 3.11)}
python312=${PYTHON312:-$(tools/find-python.sh 3.12)}
declare -A interpreter=([cp311]="$python311" [cp312]="$python312")

build_env "${interpreter[cp311]}" "$work/env-cp311" -r requirements-build.txt -r requirements-dist.txt
build_env "${interpreter[cp312]}" "$work/env-cp312" -r requirements-build.txt
tools=$work/env-cp311/bin
zig=$("$tools/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')

rm -rf dist "$work"/wheels-*
"$tools/python" -m build -q --sdist --no-isolation --outdir dist . >"$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log"; exit 1; }
sdist=$(ls dist/quarrine-*.tar.gz)
echo "sdist: $(basename "$sdist")"

for tag in cp311 cp312; do
  env=$work/env-$tag
  log=$work/$tag.log
  # Built from the sdist, so that a file missing from it fails here.
  "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$work/wheels-$tag" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig.cmake" -Ccmake.define.QUARRINE_ZIG="$zig" \
    "$sdist" >"$log" 2>&1 || { cat "$log"; exit 1; }
  built=$(ls "$work/wheels-$tag"/quarrine-*.whl)
  case "$built" in
    *-$tag-abi3-linux_*) ;;
    *) echo "CPython ${interpreter[$tag]} built $(basename "$built"), not a $tag-abi3 wheel" >&2; exit 1 ;;
  esac
  # repair names the policy it must reach and fails if the module needs more.
  PATH="$tools:$PATH" "$tools/auditwheel" repair --plat manylinux_2_17_x86_64 -w dist "$built" \
    >>"$log" 2>&1 || { cat "$log"; exit 1; }
  wheel=$(ls dist/quarrine-*-$tag-abi3-*.whl)
  "$tools/auditwheel" show "$wheel" >"$work/$tag.show" 2>&1 || { cat "$work/$tag.show"; exit 1; }
  grep -q '"manylinux_2_17_x86_64"' "$work/$tag.show" \
    || { cat "$work/$tag.show"; echo "auditwheel show does not name manylinux_2_17 for $wheel" >&2; exit 1; }
  "$tools/abi3audit" --strict --summary "$wheel" >"$work/$tag.abi3audit" 2>&1 \
    || { cat "$work/$tag.abi3audit"; exit 1; }
  echo "wheel: $(basename "$wheel")   (built by CPython $("${interpreter[$tag]}" -c 'import platform; print(platform.python_version())'); auditwheel show: manylinux_2_17; abi3audit --strict: passed)"
done
"$tools/twine" check --strict dist/* >"$work/twine.log" 2>&1 || { cat "$work/twine.log"; exit 1; }
echo "twine check --strict: passed"
