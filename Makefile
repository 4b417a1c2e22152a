# Every target sets up what it needs on a fresh machine: virtual environments (one per NumPy
# generation), zig from PyPI, Debian's GoogleTest, qemu-user and arm64 packages when missing, the
# release wheels, the native test builds.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
JOBS ?= $(shell nproc)

VENV_NP1 := .venv/np1
VENV_NP2 := .venv/np2
VENV_BENCH := .venv/bench
VENV_ZIG := .venv/zig
ZIG_VERSION := 0.17.1
ZIG := $(VENV_ZIG)/bin/zig
NATIVE_BUILD := build/native
TSAN_BUILD := build/tsan
# The package version, written once in pyproject.toml; it names the wheels.
QELT_VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
ifneq ($(words $(QELT_VERSION)),1)
$(error no single `version = "..."` line in pyproject.toml)
endif
# The release wheels, one per architecture, built with zig against glibc 2.28.
DIST_DIR := build/dist
WHEEL_PREFIX := qelt_native-$(QELT_VERSION)-cp310-abi3-manylinux_2_28
WHEEL_ARCHS := x86_64 aarch64
WHEEL_STAMP := $(DIST_DIR)/.x86_64
# Debian's arm64 CPython and libraries for qemu-aarch64 -L, and NumPy's aarch64 wheel.
ARM64_ROOT := build/arm64-root
ARM64_SITE := build/arm64-site
CROSS_BUILD := build/cross
QEMU_ARM64 := qemu-aarch64 -L $(ARM64_ROOT)
QEMU_NEHALEM := qemu-x86_64 -cpu Nehalem
TEST_DEPS := pytest pytest-timeout hypothesis scikit-build-core
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test native-test python-test python-test-np1 python-test-np2 bench bench-builds \
        gate-timing \
        sanitize tsan \
        gtest wheel wheels cross-test nehalem-test aarch64-python-test aarch64-native-test \
        x86_64-zig-native-test \
        cross-check reproducible clean

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

$(VENV_ZIG)/.ready:
	$(PYTHON) -m venv $(VENV_ZIG)
	$(VENV_ZIG)/bin/pip install -q "ziglang==$(ZIG_VERSION)"
	ln -sf "$$($(VENV_ZIG)/bin/python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig" $(ZIG)
	touch $@

$(ARM64_ROOT)/.ready: cmake/arm64_sysroot.sh
	cmake/arm64_sysroot.sh $(ARM64_ROOT)
	touch $@

# The release wheels; the x86-64 one is what every Python test, the demo and the benchmarks use.
wheel: $(WHEEL_STAMP)
$(DIST_DIR)/.x86_64: $(VENV_ZIG)/.ready $(VENV_NP2)/.ready $(SOURCES)
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_wheel.sh x86_64 $(DIST_DIR)
	touch $@
$(DIST_DIR)/.aarch64: $(VENV_ZIG)/.ready $(VENV_NP2)/.ready $(ARM64_ROOT)/.ready $(SOURCES)
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) ARM64_PYTHON_INCLUDE=$(ARM64_ROOT)/python-include \
	  cmake/build_wheel.sh aarch64 $(DIST_DIR)
	touch $@

# Both wheels, each checked: its tag, its glibc symbol versions, its libraries and exports, abi3.
wheels: $(addprefix $(DIST_DIR)/.,$(WHEEL_ARCHS))
	$(VENV_NP2)/bin/python tests/cross/check_wheels.py $(addprefix $(DIST_DIR)/$(WHEEL_PREFIX)_,$(addsuffix .whl,$(WHEEL_ARCHS)))

%/.installed: %/.ready $(WHEEL_STAMP)
	$*/bin/pip install -q --no-deps --force-reinstall $(DIST_DIR)/$(WHEEL_PREFIX)_x86_64.whl
	touch $@

# Debian's GoogleTest, installed when missing; that takes root (as CI runs), so anyone else is
# told what to install instead.
GTEST_HEADER := /usr/include/gtest/gtest.h
gtest:
	@if [ ! -f $(GTEST_HEADER) ]; then \
	  if [ "$$(id -u)" != 0 ]; then \
	    echo "GoogleTest is missing ($(GTEST_HEADER)): install Debian's libgtest-dev as root" \
	         "(apt-get install libgtest-dev), then run make again" >&2; \
	    exit 1; \
	  fi; \
	  apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
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

# The kernel timing program the report runs (bench/gate_timing), built with the project's flags.
BENCH_BUILD := build/bench
gate-timing:
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELT_BUILD_EXTENSION=OFF \
	  -DQELT_BUILD_TESTS=OFF -DQELT_BUILD_GATE_TIMING=ON > /dev/null
	cmake --build $(BENCH_BUILD) --target kernel_timing -j $(JOBS)

bench: $(VENV_BENCH)/.ready $(WHEEL_STAMP) gate-timing
	$(VENV_BENCH)/bin/pip install -q --no-deps --force-reinstall $(DIST_DIR)/$(WHEEL_PREFIX)_x86_64.whl
	mkdir -p bench/results
	for script in bench/bench_*.py; do $(VENV_BENCH)/bin/python $$script; done

# The benchmark cases on the release wheel's module beside a plain GCC build of the same tree.
BENCH_BUILDS := build/bench-builds
bench-builds: $(VENV_BENCH)/.ready $(WHEEL_STAMP)
	cmake -S . -B $(BENCH_BUILDS)/gcc -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELT_BUILD_TESTS=OFF \
	  -DQELT_BUILD_EXTENSION=ON -DPython_EXECUTABLE=$(CURDIR)/$(VENV_NP2)/bin/python > /dev/null
	cmake --build $(BENCH_BUILDS)/gcc -j $(JOBS)
	rm -rf $(BENCH_BUILDS)/release && mkdir -p $(BENCH_BUILDS)/release
	cd $(BENCH_BUILDS)/release && $(PYTHON) -m zipfile -e \
	  ../../../$(DIST_DIR)/$(WHEEL_PREFIX)_x86_64.whl .
	$(VENV_BENCH)/bin/python bench/compare_builds.py gcc=$(BENCH_BUILDS)/gcc \
	  release=$(BENCH_BUILDS)/release | tee bench/results/builds.txt

# Everything the release wheels promise beyond this machine: both wheels built and checked, the
# x86-64 wheel's gate and sampling tests on a CPU without AVX, the aarch64 wheel's tests and the
# native suite on aarch64 under qemu-user, the same bits on both architectures, and the same .so
# from a checkout in another directory.
cross-test: wheels nehalem-test aarch64-python-test aarch64-native-test x86_64-zig-native-test \
            cross-check reproducible

# Any AVX instruction outside the dispatched kernels ends in SIGILL on this CPU model. NumPy's
# OpenBLAS picks its kernels from the host's CPU model rather than the emulated one's features,
# so it is told the emulated one.
nehalem-test: $(VENV_NP2)/.ready $(VENV_NP2)/.installed $(ARM64_ROOT)/.ready
	OPENBLAS_CORETYPE=Nehalem QELT_PYTHON_LAUNCHER="$(QEMU_NEHALEM)" $(QEMU_NEHALEM) \
	  $(VENV_NP2)/bin/python -m pytest -q \
	  -p no:cacheprovider tests/python/test_gates.py tests/python/test_sample.py

$(ARM64_SITE)/.ready: $(VENV_NP2)/.ready
	rm -rf $(ARM64_SITE)
	$(VENV_NP2)/bin/pip install -q --platform manylinux2014_aarch64 --python-version 3.11 \
	  --only-binary=:all: --target $(ARM64_SITE) "numpy>=2,<3" pytest pytest-timeout hypothesis
	touch $@

aarch64-python-test: $(DIST_DIR)/.aarch64 $(ARM64_SITE)/.ready
	rm -rf $(CROSS_BUILD)/aarch64-wheel && mkdir -p $(CROSS_BUILD)/aarch64-wheel
	cd $(CROSS_BUILD)/aarch64-wheel && $(PYTHON) -m zipfile -e \
	  ../../../$(DIST_DIR)/$(WHEEL_PREFIX)_aarch64.whl .
	QELT_PYTHON_LAUNCHER="$(QEMU_ARM64)" PYTHONPATH=$(CROSS_BUILD)/aarch64-wheel:$(ARM64_SITE) \
	  $(QEMU_ARM64) $(ARM64_ROOT)/usr/bin/python3.11 -m pytest -q -p no:cacheprovider \
	  tests/python/test_gates.py tests/python/test_sample.py tests/python/test_arrays.py

# GoogleTest from Debian's source package, built with zig for an architecture like the suite.
$(CROSS_BUILD)/gtest-%/.ready: $(VENV_ZIG)/.ready | gtest
	cmake -S /usr/src/googletest -B $(CROSS_BUILD)/gtest-$*/build -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -DQELT_ZIG=$(CURDIR)/$(ZIG) \
	  -DQELT_ZIG_TARGET=$*-linux-gnu.2.28 \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(CROSS_BUILD)/gtest-$*/install
	cmake --build $(CROSS_BUILD)/gtest-$*/build -j $(JOBS)
	cmake --install $(CROSS_BUILD)/gtest-$*/build > /dev/null
	touch $@

# The core and the cross-check program built with zig for $(1), with more CMake options $(2).
define zig_native_build
	cmake -S . -B $(CROSS_BUILD)/native-$(1) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_CROSS_CHECK=ON -DQELT_WERROR=ON \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -DQELT_ZIG=$(CURDIR)/$(ZIG) \
	  -DQELT_ZIG_TARGET=$(1)-linux-gnu.2.28 $(2)
	cmake --build $(CROSS_BUILD)/native-$(1) -j $(JOBS)
endef

# Left out under qemu-user: death tests (they re-execute the test program, which needs
# binfmt_misc), the fork tests (qemu-user 7.2 aborts when a child forked from a threaded
# process starts threads) and the thread-name test (the emulator's threads inherit its own
# name, qemu-aarch64, not the program's); all run natively in native-test.
QEMU_GTEST_FILTER := -*DeathTest*:PoolFork.*:PanicReport.NamesTheThread
aarch64-native-test: $(CROSS_BUILD)/gtest-aarch64/.ready $(ARM64_ROOT)/.ready
	$(call zig_native_build,aarch64,-DQELT_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH=$(CURDIR)/$(CROSS_BUILD)/gtest-aarch64/install \
	  "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64;-L;$(CURDIR)/$(ARM64_ROOT)")
	GTEST_FILTER='$(QEMU_GTEST_FILTER)' ctest --test-dir $(CROSS_BUILD)/native-aarch64 \
	  --output-on-failure --no-tests=error -j $(JOBS)

# The native suite as the release compiler builds it for x86-64: its kernels are the ones the
# wheel ships, and where clang's code differs from GCC's (the register-starved AVX-512 two-qubit
# loop pairs its groups under clang) only this build runs them against the scalar rule.
x86_64-zig-native-test: $(CROSS_BUILD)/gtest-x86_64/.ready
	$(call zig_native_build,x86_64,-DQELT_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH=$(CURDIR)/$(CROSS_BUILD)/gtest-x86_64/install)
	ctest --test-dir $(CROSS_BUILD)/native-x86_64 --output-on-failure --no-tests=error -j $(JOBS)

# The same seeded gate and sampling cases on x86-64 (every kernel variant this CPU has, then a
# CPU without AVX) and on aarch64 must print the same bits.
cross-check: aarch64-native-test x86_64-zig-native-test windows-native-test
	$(CROSS_BUILD)/native-x86_64/cross_check > $(CROSS_BUILD)/cross-x86_64.txt
	$(QEMU_NEHALEM) $(CROSS_BUILD)/native-x86_64/cross_check > $(CROSS_BUILD)/cross-nehalem.txt
	$(QEMU_ARM64) $(CROSS_BUILD)/native-aarch64/cross_check > $(CROSS_BUILD)/cross-aarch64.txt
	$(WINE) $(WINDOWS_NATIVE)/cross_check.exe | cat > $(CROSS_BUILD)/cross-windows.txt
	$(PYTHON) tests/cross/compare_outputs.py $(CROSS_BUILD)/cross-x86_64.txt \
	  $(CROSS_BUILD)/cross-nehalem.txt $(CROSS_BUILD)/cross-aarch64.txt \
	  $(CROSS_BUILD)/cross-windows.txt

# The x86-64 wheel again from a copy of the checkout in another directory: the same .so bytes.
reproducible: $(WHEEL_STAMP)
	rm -rf $(CROSS_BUILD)/elsewhere && mkdir -p $(CROSS_BUILD)/elsewhere/another/checkout
	git ls-files -z | xargs -0 cp --parents -t $(CROSS_BUILD)/elsewhere/another/checkout
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_wheel.sh x86_64 \
	  $(CROSS_BUILD)/elsewhere/dist $(CROSS_BUILD)/elsewhere/another/checkout
	$(PYTHON) tests/cross/compare_wheels.py $(DIST_DIR)/$(WHEEL_PREFIX)_x86_64.whl \
	  $(CROSS_BUILD)/elsewhere/dist/$(WHEEL_PREFIX)_x86_64.whl

# The native and Python suites under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# native pool tests under ThreadSanitizer.
sanitize: gtest $(VENV_NP2)/.ready
	bash tests/sanitize.sh

# ---- musl: the musllinux wheels and their tests ---------------------------------------------
# Both wheels built with zig against musl, beside the glibc ones, and checked like them; the
# x86-64 wheel's Python suite on a musl CPython 3.11 built here from Debian's source package
# with NumPy 1.26's musllinux wheel; the native suite linked statically against zig's musl, on
# x86-64 directly and on aarch64 under qemu-user (static programs need no loader there); and
# the cross-check on both, compared with the glibc runs.
MUSL_WHEEL_PREFIX := qelt_native-$(QELT_VERSION)-cp310-abi3-musllinux_1_2
MUSL_PYTHON := build/musl-python
MUSL_SITE := build/musl-site
# Debian's musl for arm64, whose exports check_wheels.py holds the aarch64 wheel's imports to.
MUSL_ARM64_ROOT := build/musl-arm64-root
MUSL_LIBCS := --musl-libc=/lib/x86_64-linux-musl/libc.so \
  --musl-libc=$(MUSL_ARM64_ROOT)/lib/aarch64-linux-musl/libc.so

.PHONY: musl-wheels musl-reproducible musl-python-test musl-native-test musl-aarch64-native-test \
        musl-cross-check

wheels: musl-wheels
reproducible: musl-reproducible
cross-test: musl-python-test musl-native-test musl-aarch64-native-test musl-cross-check

$(DIST_DIR)/.musl-x86_64: $(VENV_ZIG)/.ready $(VENV_NP2)/.ready $(SOURCES)
	LIBC=musl PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_wheel.sh x86_64 $(DIST_DIR)
	touch $@
$(DIST_DIR)/.musl-aarch64: $(VENV_ZIG)/.ready $(VENV_NP2)/.ready $(ARM64_ROOT)/.ready $(SOURCES)
	LIBC=musl PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) \
	  ARM64_PYTHON_INCLUDE=$(ARM64_ROOT)/python-include cmake/build_wheel.sh aarch64 $(DIST_DIR)
	touch $@

# Debian's musl: installed for x86-64 (musl-tools, which the interpreter's build uses too), and
# unpacked for arm64.
$(MUSL_ARM64_ROOT)/.ready: $(ARM64_ROOT)/.ready
	command -v musl-gcc > /dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends musl-tools; }
	rm -rf $(MUSL_ARM64_ROOT) && mkdir -p $(MUSL_ARM64_ROOT)/debs && chmod 777 $(MUSL_ARM64_ROOT)/debs
	cd $(MUSL_ARM64_ROOT)/debs && apt-get download -q=2 musl:arm64
	dpkg-deb -x $(MUSL_ARM64_ROOT)/debs/*.deb $(MUSL_ARM64_ROOT)
	touch $@

musl-wheels: $(DIST_DIR)/.musl-x86_64 $(DIST_DIR)/.musl-aarch64 $(MUSL_ARM64_ROOT)/.ready
	$(VENV_NP2)/bin/python tests/cross/check_wheels.py $(MUSL_LIBCS) \
	  $(addprefix $(DIST_DIR)/$(MUSL_WHEEL_PREFIX)_,$(addsuffix .whl,$(WHEEL_ARCHS)))

# The x86-64 musl wheel again from a copy of the checkout in another directory.
musl-reproducible: $(DIST_DIR)/.musl-x86_64
	rm -rf $(CROSS_BUILD)/musl-elsewhere && mkdir -p $(CROSS_BUILD)/musl-elsewhere/another/checkout
	git ls-files -z | xargs -0 cp --parents -t $(CROSS_BUILD)/musl-elsewhere/another/checkout
	LIBC=musl PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_wheel.sh x86_64 \
	  $(CROSS_BUILD)/musl-elsewhere/dist $(CROSS_BUILD)/musl-elsewhere/another/checkout
	$(PYTHON) tests/cross/compare_wheels.py $(DIST_DIR)/$(MUSL_WHEEL_PREFIX)_x86_64.whl \
	  $(CROSS_BUILD)/musl-elsewhere/dist/$(MUSL_WHEEL_PREFIX)_x86_64.whl

$(MUSL_PYTHON)/.ready: cmake/musl_python.sh
	cmake/musl_python.sh $(MUSL_PYTHON)
	touch $@

# NumPy 1.26's musllinux_1_1 wheel: NumPy 2's musllinux_1_2 wheels carry packed relative
# relocations, which Debian 12's musl 1.2.3 cannot load.
$(MUSL_SITE)/.ready: $(VENV_NP2)/.ready
	rm -rf $(MUSL_SITE)
	$(VENV_NP2)/bin/pip install -q --no-warn-conflicts --platform musllinux_1_1_x86_64 \
	  --python-version 3.11 --only-binary=:all: --target $(MUSL_SITE) "numpy==1.26.4" \
	  pytest pytest-timeout hypothesis
	touch $@

musl-python-test: $(DIST_DIR)/.musl-x86_64 $(MUSL_PYTHON)/.ready $(MUSL_SITE)/.ready
	rm -rf $(CROSS_BUILD)/musl-x86_64-wheel && mkdir -p $(CROSS_BUILD)/musl-x86_64-wheel
	cd $(CROSS_BUILD)/musl-x86_64-wheel && $(PYTHON) -m zipfile -e \
	  ../../../$(DIST_DIR)/$(MUSL_WHEEL_PREFIX)_x86_64.whl .
	PYTHONPATH=$(CROSS_BUILD)/musl-x86_64-wheel:$(MUSL_SITE) $(MUSL_PYTHON)/bin/python3.11 \
	  -m pytest -q -p no:cacheprovider -rs tests/python

# GoogleTest and the native builds for musl: zig links musl statically into programs.
$(CROSS_BUILD)/musl-gtest-%/.ready: $(VENV_ZIG)/.ready | gtest
	cmake -S /usr/src/googletest -B $(CROSS_BUILD)/musl-gtest-$*/build -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -DQELT_ZIG=$(CURDIR)/$(ZIG) \
	  -DQELT_ZIG_TARGET=$*-linux-musl \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(CROSS_BUILD)/musl-gtest-$*/install
	cmake --build $(CROSS_BUILD)/musl-gtest-$*/build -j $(JOBS)
	cmake --install $(CROSS_BUILD)/musl-gtest-$*/build > /dev/null
	touch $@

# The core, the native suite and the cross-check program built with zig for musl on $(1), with
# more CMake options $(2).
define zig_musl_build
	cmake -S . -B $(CROSS_BUILD)/native-musl-$(1) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=ON -DQELT_BUILD_CROSS_CHECK=ON \
	  -DQELT_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake \
	  -DQELT_ZIG=$(CURDIR)/$(ZIG) -DQELT_ZIG_TARGET=$(1)-linux-musl \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/$(CROSS_BUILD)/musl-gtest-$(1)/install $(2)
	cmake --build $(CROSS_BUILD)/native-musl-$(1) -j $(JOBS)
endef

# Death and fork tests included: the programs run here directly.
musl-native-test: $(CROSS_BUILD)/musl-gtest-x86_64/.ready
	$(call zig_musl_build,x86_64)
	ctest --test-dir $(CROSS_BUILD)/native-musl-x86_64 --output-on-failure --no-tests=error -j $(JOBS)

# Under qemu-user (installed with the arm64 root) without the tests it cannot run, as in
# aarch64-native-test.
musl-aarch64-native-test: $(CROSS_BUILD)/musl-gtest-aarch64/.ready $(ARM64_ROOT)/.ready
	$(call zig_musl_build,aarch64,-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64)
	GTEST_FILTER='$(QEMU_GTEST_FILTER)' ctest --test-dir $(CROSS_BUILD)/native-musl-aarch64 \
	  --output-on-failure --no-tests=error -j $(JOBS)

# The glibc runs of cross-check and the musl builds (x86-64 also on the CPU without AVX, and
# aarch64): the same bits everywhere.
musl-cross-check: cross-check musl-native-test musl-aarch64-native-test
	$(CROSS_BUILD)/native-musl-x86_64/cross_check > $(CROSS_BUILD)/cross-musl-x86_64.txt
	$(QEMU_NEHALEM) $(CROSS_BUILD)/native-musl-x86_64/cross_check \
	  > $(CROSS_BUILD)/cross-musl-nehalem.txt
	qemu-aarch64 $(CROSS_BUILD)/native-musl-aarch64/cross_check > $(CROSS_BUILD)/cross-musl-aarch64.txt
	$(PYTHON) tests/cross/compare_outputs.py $(addprefix $(CROSS_BUILD)/cross-,$(addsuffix .txt, \
	  x86_64 nehalem aarch64 musl-x86_64 musl-nehalem musl-aarch64))

clean:
	rm -rf build .venv

# ---- Windows x64 -------------------------------------------------------------------------------
# The win_amd64 wheel, built by zig for MinGW-w64 on the UCRT against CPython's headers and an
# import library for python3.dll, and its tests under Debian's wine: the Python suite on the
# official embeddable CPython 3.12 with NumPy 1.26 (NumPy 2's Windows wheels need a C runtime
# function wine 8 lacks), the native suite, and the cross-check's bits.
WINDOWS_DIR := build/cross/windows
WINDOWS_WHEEL := $(DIST_DIR)/qelt_native-$(QELT_VERSION)-cp310-abi3-win_amd64.whl
WINDOWS_NATIVE := $(CROSS_BUILD)/native-windows
# The wine prefix lives outside the checkout: its Z: drive is a link to /, which tools that walk
# the tree (the sdist build in the Python suite) would follow.
WINE_PREFIX := $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/qelt_native/wine-prefix
WINE_ENV := WINEPREFIX=$(WINE_PREFIX) WINEDEBUG=-all
WINE := $(WINE_ENV) wine

.PHONY: wine windows-wheel windows-python-test windows-native-test windows-reproducible

wheels: $(DIST_DIR)/.win_amd64
cross-test: windows-python-test windows-native-test windows-reproducible

# Debian's wine, installed when missing (as root, like GoogleTest), in a prefix of its own that
# reports Windows 10.
wine:
	@if ! command -v wine > /dev/null; then \
	  if [ "$$(id -u)" != 0 ]; then \
	    echo "wine is missing: install Debian's wine and wine64 as root" \
	         "(apt-get install wine wine64), then run make again" >&2; \
	    exit 1; \
	  fi; \
	  apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine wine64 > /dev/null; \
	fi
$(WINE_PREFIX)/.ready: | wine
	rm -rf $(WINE_PREFIX) && mkdir -p $(dir $(WINE_PREFIX))
	$(WINE) wineboot -i 2>&1 | cat
	$(WINE) winecfg -v win10 2>&1 | cat
	touch $@

$(WINDOWS_DIR)/.ready: cmake/windows_python.sh $(VENV_ZIG)/.ready $(VENV_NP2)/.ready
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/windows_python.sh $(WINDOWS_DIR)
	touch $@

windows-wheel: $(DIST_DIR)/.win_amd64
$(DIST_DIR)/.win_amd64: $(VENV_ZIG)/.ready $(VENV_NP2)/.ready $(WINDOWS_DIR)/.ready $(SOURCES)
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_windows_wheel.sh $(WINDOWS_DIR) $(DIST_DIR)
	$(VENV_NP2)/bin/python tests/cross/check_wheels.py $(WINDOWS_WHEEL)
	touch $@

# The embeddable's ._pth puts $(WINDOWS_DIR)/wheel on sys.path. Wine's console output is read
# through a pipe.
windows-python-test: $(DIST_DIR)/.win_amd64 $(WINE_PREFIX)/.ready
	rm -rf $(WINDOWS_DIR)/wheel && mkdir -p $(WINDOWS_DIR)/wheel
	$(PYTHON) -m zipfile -e $(WINDOWS_WHEEL) $(WINDOWS_DIR)/wheel
	$(WINE) $(WINDOWS_DIR)/python/python.exe -m pytest -q -rs -p no:cacheprovider tests/python 2>&1 | cat

$(CROSS_BUILD)/gtest-windows/.ready: $(VENV_ZIG)/.ready | gtest
	cmake -S /usr/src/googletest -B $(CROSS_BUILD)/gtest-windows/build -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -DQELT_ZIG=$(CURDIR)/$(ZIG) \
	  -DQELT_ZIG_TARGET=x86_64-windows-gnu \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(CROSS_BUILD)/gtest-windows/install
	cmake --build $(CROSS_BUILD)/gtest-windows/build -j $(JOBS)
	cmake --install $(CROSS_BUILD)/gtest-windows/build > /dev/null
	touch $@

# The native suite and the cross-check program for Windows, run by wine.
windows-native-test: $(CROSS_BUILD)/gtest-windows/.ready $(WINE_PREFIX)/.ready
	cmake -S . -B $(WINDOWS_NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_CROSS_CHECK=ON -DQELT_WERROR=ON \
	  -DQELT_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH=$(CURDIR)/$(CROSS_BUILD)/gtest-windows/install \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -DQELT_ZIG=$(CURDIR)/$(ZIG) \
	  -DQELT_ZIG_TARGET=x86_64-windows-gnu -DCMAKE_CROSSCOMPILING_EMULATOR=wine
	cmake --build $(WINDOWS_NATIVE) -j $(JOBS)
	$(WINE_ENV) ctest --test-dir $(WINDOWS_NATIVE) --output-on-failure --no-tests=error -j $(JOBS)

# The Windows wheel again from a copy of the checkout in another directory: the same .pyd bytes.
windows-reproducible: $(DIST_DIR)/.win_amd64
	rm -rf $(CROSS_BUILD)/elsewhere-windows && mkdir -p $(CROSS_BUILD)/elsewhere-windows/another/checkout
	git ls-files -z | xargs -0 cp --parents -t $(CROSS_BUILD)/elsewhere-windows/another/checkout
	PYTHON=$(VENV_NP2)/bin/python ZIG=$(ZIG) cmake/build_windows_wheel.sh $(WINDOWS_DIR) \
	  $(CROSS_BUILD)/elsewhere-windows/dist $(CROSS_BUILD)/elsewhere-windows/another/checkout
	$(PYTHON) tests/cross/compare_wheels.py $(WINDOWS_WHEEL) \
	  $(CROSS_BUILD)/elsewhere-windows/dist/$(notdir $(WINDOWS_WHEEL))
