# Every target sets up what it needs on a fresh machine: virtual environments (one per NumPy
# generation), Debian's GoogleTest when it is missing, the wheel, the native test build.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
JOBS ?= $(shell nproc)

VENV_NP1 := .venv/np1
VENV_NP2 := .venv/np2
VENV_BENCH := .venv/bench
NATIVE_BUILD := build/native
TSAN_BUILD := build/tsan
WHEEL_DIR := build/wheel
WHEEL_STAMP := $(WHEEL_DIR)/.stamp
TEST_DEPS := pytest pytest-timeout hypothesis scikit-build-core
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test native-test python-test python-test-np1 python-test-np2 bench sanitize tsan \
        gtest wheel clean

demo: $(VENV_NP2)/.ready $(VENV_NP2)/.installed
	$(VENV_NP2)/bin/python examples/demo.py

test: native-test python-test

python-test: python-test-np1 python-test-np2

python-test-np1: $(VENV_NP1)/.ready $(VENV_NP1)/.installed
	$(VENV_NP1)/bin/python -m pytest -q -p no:cacheprovider tests/python

python-test-np2: $(VENV_NP2)/.ready $(VENV_NP2)/.installed
	$(VENV_NP2)/bin/python -m pytest -q -p no:cacheprovider tests/python

$(VENV_NP1)/.ready:
	$(PYTHON) -m venv $(VENV_NP1)
	$(VENV_NP1)/bin/pip install -q --upgrade pip
	$(VENV_NP1)/bin/pip install -q "numpy==1.26.*" $(TEST_DEPS)
	touch $@

# The newest NumPy also carries the extra test packages (stub check, wheel audit, Qiskit, Dask,
# matplotlib for the demo's plot).
$(VENV_NP2)/.ready: requirements-test-extra.txt
	$(PYTHON) -m venv $(VENV_NP2)
	$(VENV_NP2)/bin/pip install -q --upgrade pip
	$(VENV_NP2)/bin/pip install -q "numpy>=2,<3" $(TEST_DEPS) -r requirements-test-extra.txt
	touch $@

# One abi3 wheel, built once, installed into both NumPy generations.
wheel: $(WHEEL_STAMP)
$(WHEEL_STAMP): $(VENV_NP2)/.ready $(SOURCES)
	rm -rf $(WHEEL_DIR) && mkdir -p $(WHEEL_DIR)
	$(VENV_NP2)/bin/pip wheel -q --no-deps --no-build-isolation -w $(WHEEL_DIR) .
	touch $@

%/.installed: %/.ready $(WHEEL_STAMP)
	$*/bin/pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/qelt_native-*.whl
	touch $@

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq libgtest-dev; \
	fi

native-test: gtest
	cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=ON -DQELT_WERROR=ON
	cmake --build $(NATIVE_BUILD) -j $(JOBS)
	ctest --test-dir $(NATIVE_BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# The native pool and kernel tests under ThreadSanitizer.
tsan: gtest
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=ON -DQELT_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure --no-tests=error -R 'pool|split|worker'

$(VENV_BENCH)/.ready: $(wildcard bench/requirements*.txt)
	$(PYTHON) -m venv $(VENV_BENCH)
	$(VENV_BENCH)/bin/pip install -q --upgrade pip
	$(VENV_BENCH)/bin/pip install -q $(addprefix -r ,$(wildcard bench/requirements*.txt))
	touch $@

bench: $(VENV_BENCH)/.ready $(WHEEL_STAMP)
	$(VENV_BENCH)/bin/pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/qelt_native-*.whl
	mkdir -p bench/results
	for script in bench/bench_*.py; do $(VENV_BENCH)/bin/python $$script; done

# The native and Python suites under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# native pool tests under ThreadSanitizer.
sanitize: gtest $(VENV_NP2)/.ready
	bash tests/sanitize.sh

clean:
	rm -rf build .venv
