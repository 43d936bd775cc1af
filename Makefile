# The two commands a newcomer needs: `make demo` and `make test`. Both set up and build first.
PYTHON := /usr/bin/python3
BUILD := build
ASAN_BUILD := build-asan
TSAN_BUILD := build-tsan
JOBS := $(shell nproc)
PACKAGES := g++ cmake ninja-build pybind11-dev python3-dev python3-numpy \
	nlohmann-json3-dev tao-pegtl-dev libfmt-dev libabsl-dev libgtest-dev libgmock-dev \
	libbenchmark-dev python3-pytest python3-hypothesis python3-mypy clang libclang-rt-14-dev clang-format-14

.PHONY: setup build test test-cpp test-py demo bench sanitize tsan format clean

setup:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# `make test` is its two halves, the C++ tests and then the Python tests.
test: test-cpp test-py

test-cpp: build
	$(BUILD)/morvane_tests --gtest_brief=1

test-py: build
	PYTHONPATH=python $(PYTHON) -m pytest -q tests src

demo: build
	PYTHONPATH=python $(PYTHON) examples/demo.py

# The prover's build from the 3-qubit size-9 classes runs for many minutes in several GB, so it is
# left out unless asked for: `make bench BENCH_FILTER=.` runs every benchmark.
BENCH_FILTER := -BM_build_httdgcx_3q_9g
bench: build
	$(BUILD)/morvane_bench --benchmark_counters_tabular=true --benchmark_filter='$(BENCH_FILTER)'

$(ASAN_BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_SANITIZE=ON -DPython_EXECUTABLE=$(PYTHON)

# The sanitized module is loaded into the unsanitized interpreter, so the runtime is preloaded;
# the interpreter's own allocations at exit are not ours to judge, so leak checking is on for the
# C++ tests only. Reports go to files, since some tests silence stderr, and a run that leaves any
# fails with them shown (child processes may fail quietly). The path is absolute, as some tests run
# in directories of their own.
SANITIZER_LOG := $(abspath $(ASAN_BUILD))/sanitizer-report
sanitize: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	rm -f $(SANITIZER_LOG).*
	ASAN_OPTIONS=log_path=$(SANITIZER_LOG) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZER_LOG) \
	$(ASAN_BUILD)/morvane_tests --gtest_brief=1 || { cat $(SANITIZER_LOG).* 2>/dev/null; exit 1; }
	cp python/morvane/*.py python/morvane/py.typed $(wildcard python/morvane/*.pyi) $(ASAN_BUILD)/python/morvane/
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(SANITIZER_LOG) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZER_LOG) \
	PYTHONPATH=$(ASAN_BUILD)/python MORVANE_SANITIZED=1 $(PYTHON) -m pytest -q -p no:cacheprovider tests src \
	|| { cat $(SANITIZER_LOG).* 2>/dev/null; exit 1; }
	@if ls $(SANITIZER_LOG).* >/dev/null 2>&1; then cat $(SANITIZER_LOG).*; exit 1; fi

$(TSAN_BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_TSAN=ON -DPython_EXECUTABLE=$(PYTHON)

# The C++ tests of the parallel paths under ThreadSanitizer, each on a pool of 8 threads.
# tsan.supp names each report it silences (none: the worker pool is our own code, instrumented too).
TSAN_FILTER := pool.*:splits.*:packed_identity_set.*:prover.*
tsan: setup $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target morvane_tests
	RAYON_NUM_THREADS=8 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tsan.supp" \
	  $(TSAN_BUILD)/morvane_tests --gtest_brief=1 --gtest_filter='$(TSAN_FILTER)'

# Formats the C++ sources with .clang-format.
format: setup
	clang-format-14 -i $$(git ls-files 'src/*.cc' 'src/*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) python/morvane/*.so
