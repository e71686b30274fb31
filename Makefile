# Fresh machine: `make run` or `make test`. Both install missing Debian packages first.
PYTHON   := /usr/bin/python3
BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
COVERAGE ?= build-coverage
# Seconds of fuzzing shared by all targets.
FUZZ_TIME ?= 240
JOBS     ?= $(shell nproc)
# ON makes every compiler warning an error (CI sets it).
WERROR   ?= OFF
PACKAGES := g++ make cmake pybind11-dev python3-dev python3-numpy python3-pytest \
            libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev
FUZZ_PACKAGES := clang libclang-rt-14-dev
COVERAGE_PACKAGES := gcovr
SUDO     := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps fuzz-deps build run test test-cpp test-python sweep sanitize fuzz bench coverage clean

# Installs the Debian packages of $(1) that are missing.
define install
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install,$(PACKAGES))

fuzz-deps: deps
	$(call install,$(FUZZ_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DNUVRA_WERROR=$(WERROR) -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo_v1.py
	NUVRA_SIM_BOARDS=fpga_v2+soc PYTHONPATH=$(BUILD) $(PYTHON) examples/board_demo.py

test-cpp: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-python: build
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

test: test-cpp test-python

# The kernels and layers against their plain references over many more generated rows than the
# tests take (SWEEP_ROWS of each table).
SWEEP_ROWS ?= 20000
sweep: build
	NUVRA_REFERENCE_ROWS=$(SWEEP_ROWS) ctest --test-dir $(BUILD) -j $(JOBS) -R '^Reference' --output-on-failure

# The C++ tests, then the Python tests against the module, under AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented: the runtime is preloaded, with
# libstdc++ (its exception entry points must be found when the runtime starts), and CPython's own
# leaks are not reported. NUVRA_SANITIZED tells the tests that cannot run under it. The Python
# tests run in a shuffled order, so that a test that leans on the ones before it fails; the seed
# is printed at the end, and NUVRA_TEST_SHUFFLE=<seed> (in the environment or on the make command line)
# or SHUFFLE=<seed> repeats that order.
SHUFFLE ?= $(or $(NUVRA_TEST_SHUFFLE),random)
sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DNUVRA_SANITIZE=ON -DNUVRA_BUILD_MODULE=ON \
	  -DNUVRA_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure
	cxx=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(ASAN)/CMakeCache.txt); \
	NUVRA_SANITIZED=1 NUVRA_TEST_SHUFFLE=$(SHUFFLE) PYTHONPATH=$(ASAN) \
	  LD_PRELOAD="$$($$cxx -print-file-name=libasan.so) $$($$cxx -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# libFuzzer targets built with clang, ASan and UBSan in their own build directory, each run for
# its share of FUZZ_TIME seconds from seeds the build makes.
fuzz: fuzz-deps
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DNUVRA_FUZZ=ON \
	  -DNUVRA_WERROR=$(WERROR) -DNUVRA_BUILD_MODULE=OFF -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)
	bash fuzz/run.sh $(FUZZ) $(FUZZ_TIME)

# Line and branch coverage of the C++ and Python tests, per source folder (exception branches left
# out). Counters are updated atomically: the engine's thread pool runs kernels on several threads.
coverage: deps
	$(call install,$(COVERAGE_PACKAGES))
	cmake -S . -B $(COVERAGE) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g0" \
	  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
	  -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage \
	  -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(COVERAGE) -j $(JOBS)
	find $(COVERAGE) -name '*.gcda' -delete
	-ctest --test-dir $(COVERAGE) -j $(JOBS) --output-on-failure
	-PYTHONPATH=$(COVERAGE) $(PYTHON) -m pytest -q -p no:cacheprovider tests/python
	gcovr --root . --object-directory $(COVERAGE) --exclude-directories '$(COVERAGE)/CMakeFiles' \
	  --filter '(backend|common|devices|engine|program|python|v1|v2)/' --exclude-throw-branches \
	  --exclude-unreachable-branches -j $(JOBS) --json-summary $(COVERAGE)/coverage.json
	$(PYTHON) tests/coverage_by_folder.py $(COVERAGE)/coverage.json

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b" || exit 1; done
	@for b in bench/*.py; do [ -f "$$b" ] || continue; echo "== $$b"; PYTHONPATH=$(BUILD) $(PYTHON) "$$b" || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) $(COVERAGE)
