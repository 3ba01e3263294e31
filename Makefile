# The two commands a newcomer needs:
#   make demo   builds and installs quarrine into .venv and runs the demo
#   make test   runs every test: the graph's GoogleTest suite, the pytest
#               suite (with the examples and the typing checks), and the
#               pytest suite again under the debug interpreter
# Everything they need is installed on the way (PyPI into the virtual
# environments, Debian's libgtest-dev and python3.11-dbg through apt-get).

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DBG_VENV := .venv-dbg
DBG_PY := $(DBG_VENV)/bin/python
WHEEL_BUILD := build/wheel

.PHONY: demo test test-native test-python test-debug wheel install bench asan matrix clean

$(VENV)/.deps: requirements-test.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-test.txt
	touch $@

wheel: $(VENV)/.deps
	rm -rf dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist -Cbuild-dir=$(WHEEL_BUILD) .

install: wheel
	$(PY) -m pip install -q --force-reinstall --no-deps dist/quarrine-*.whl

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
	$(DBG_PY) -m pip install -q --upgrade pip
	$(DBG_PY) -m pip install -q pytest hypothesis
	touch $@

# The same suite under Debian's debug interpreter, whose reference counts
# the leak tests read.
test-debug: install $(DBG_VENV)/.deps
	$(DBG_PY) -m pip install -q --force-reinstall --no-deps dist/quarrine-*.whl
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

# The one wheel on every CPython 3.11+ of this machine, with an ABI audit.
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
