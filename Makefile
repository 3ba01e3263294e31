# The two commands a newcomer needs:
#   make demo   builds and installs quarrine into .venv and runs the demo
#               (it installs only the build backend)
#   make test   runs every test: the graph's GoogleTest suite, the pytest
#               suite (with the examples and the typing checks), and the
#               tests that only a debug interpreter can judge under it
# Everything they need is installed on the way (PyPI into the virtual
# environments, Debian's libgtest-dev and python3.11-dbg through apt-get).
# PYTHON=... picks the interpreter of .venv; naming another one recreates it.
# The everyday loop: make test-python, or one file or test with
# .venv/bin/python -m pytest -q tests/test_reports.py -k get_dependency_graph
# (after make install).

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

# What building needs (the demo needs no more), then what testing needs.
$(VENV)/.build-deps: requirements-build.txt $(VENV)/.made-with-$(PYTHON_ID)
	$(PY) -m pip install -q -r requirements-build.txt
	touch $@

$(VENV)/.test-deps: requirements-test.txt $(VENV)/.build-deps
	$(PY) -m pip install -q -r requirements-test.txt
	touch $@

wheel: $(VENV)/.build-deps
	rm -rf $(WHEELHOUSE)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEELHOUSE) -Cbuild-dir=$(WHEEL_BUILD) .

install: wheel
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/quarrine-*.whl

# The files to publish, each checked (tools/dist.sh): the sdist, and the
# cp311-abi3 and cp312-abi3 wheels built from it by zig for glibc 2.17 and
# tagged manylinux_2_17 by auditwheel, audited for the stable ABI.
dist:
	tools/dist.sh

demo: install
	$(PY) examples/demo.py

test: test-native test-python test-debug

test-native:
	tools/ensure-gtest.sh
	cmake -S . -B build/native -DQUARRINE_BUILD_MODULE=OFF -DQUARRINE_BUILD_TESTS=ON -DQUARRINE_WERROR=ON >/dev/null
	cmake --build build/native -j 2
	ctest --test-dir build/native --output-on-failure

test-python: install $(VENV)/.test-deps
	$(PY) -m pytest -q tests

$(DBG_VENV)/.deps: requirements-test.txt
	tools/ensure-debug-python.sh
	python3.11-dbg -m venv $(DBG_VENV)
	$(DBG_PIP) install -q pytest hypothesis
	touch $@

# The tests that a debug interpreter judges beyond what the release one does,
# under Debian's python3.11-dbg: its reference counts (test_leaks, which runs
# every public operation and error path) and its internal assertions, which
# the call protocol, hostile user code, the real-program scenarios and
# threads reach with the module's references in flight. The rest of the
# suite checks results, which a debug build computes alike.
DEBUG_TESTS := tests/test_leaks.py tests/test_call_protocol.py tests/test_hostile.py \
               tests/test_real_programs.py tests/test_threads.py
# It needs a cp311-abi3 wheel: when .venv is a later CPython, whose wheel is
# cp312-abi3, the debug interpreter builds its own.
test-debug: wheel $(DBG_VENV)/.deps
	@wheel=$$(ls $(WHEELHOUSE)/quarrine-*-cp311-abi3-*.whl 2>/dev/null) || { \
	  rm -rf $(WHEELHOUSE)-dbg && $(DBG_PIP) wheel -q --no-deps -w $(WHEELHOUSE)-dbg . && \
	  wheel=$$(ls $(WHEELHOUSE)-dbg/quarrine-*.whl); } && \
	$(DBG_PIP) install -q --force-reinstall --no-deps $$wheel
	$(DBG_PY) -m pytest -q $(DEBUG_TESTS)

# The whole pytest suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module (the sanitizer runtimes are preloaded into the
# interpreter, and Python's allocator is bypassed so that ASan sees every
# allocation).
ASAN_BUILD := build/asan
asan: $(VENV)/.test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARRINE_SANITIZE=ON -DQUARRINE_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_BUILD) -j 2
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_BUILD) QUARRINE_SANITIZED=1 \
	$(PY) -m pytest -q -p no:cacheprovider tests

# The dist wheels, as pip picks them, on every CPython 3.11+ of this machine,
# and the sdist installed by 3.11 and 3.12 where only g++ builds.
matrix:
	tools/matrix.sh

# Speed and memory side by side with functools and cachetools, then
# incremental computation side by side with lru_cache, hand-written dirty
# flags, reaktiv and observ (not a test; the peers are benchmark-only).
bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/bench.py
	$(PY) bench/incremental.py

# Instructions per operation under callgrind, against functools.lru_cache, on
# CPython 3.11 and 3.12, each with the wheel built for it (cp311-abi3 and
# cp312-abi3) in a venv of its own under build/bench-ir.
.PHONY: bench-ir
bench-ir: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/bench_ir.py --python "$$(tools/find-python.sh 3.11)" --python "$$(tools/find-python.sh 3.12)"

clean:
	rm -rf build dist $(VENV) $(DBG_VENV)
