# Fresh machine: `make run` or `make test`. Both install missing Debian packages first.
PYTHON   := /usr/bin/python3
BUILD    ?= build
ASAN     ?= build-asan
JOBS     ?= $(shell nproc)
PACKAGES := g++ make cmake pybind11-dev python3-dev python3-numpy python3-pytest \
            libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev
SUDO     := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test test-cpp test-python sanitize bench clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

test-cpp: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-python: build
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

test: test-cpp test-python

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (the module is not built).
sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DNUVRA_SANITIZE=ON -DNUVRA_BUILD_MODULE=OFF \
	  -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b" || exit 1; done
	@for p in bench/*.py; do echo "== $$p"; PYTHONPATH=$(BUILD) $(PYTHON) "$$p" || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN)
