#!/usr/bin/env bash
# Builds the release wheel for one architecture and C library with zig (on x86-64 with the gate
# kernels from GCC, see below): against glibc 2.28, tagged manylinux_2_28, or against musl,
# tagged musllinux_1_2.
#   [LIBC=glibc|musl] cmake/build_wheel.sh ARCH OUT_DIR [SOURCE_DIR]
# ARCH is x86_64 or aarch64; LIBC defaults to glibc. Needs in the environment: PYTHON (with pip
# and scikit-build-core), ZIG (zig's executable), and for aarch64 ARM64_PYTHON_INCLUDE (the
# target interpreter's headers, from cmake/arm64_sysroot.sh; with the limited API the headers
# do not depend on the C library); on x86-64 also GCC (KERNEL_CXX, default g++).
set -euo pipefail
arch=$1
out=$(realpath -m "$2")
source_dir=$(realpath "${3:-$(dirname "$0")/..}")
: "${PYTHON:?}" "${ZIG:?}"
case "${LIBC:-glibc}" in
  # The tag is what the toolchain guarantees: glibc 2.28 symbols at most; zig's musl, dynamically
  # linked, needs musl 1.2 (64-bit time_t throughout).
  glibc) zig_target=$arch-linux-gnu.2.28 platform=manylinux_2_28_$arch ;;
  musl) zig_target=$arch-linux-musl platform=musllinux_1_2_$arch ;;
  *) echo "build_wheel.sh: LIBC is glibc or musl, not $LIBC" >&2; exit 1 ;;
esac
defines=(
  -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$source_dir/cmake/zig-toolchain.cmake"
  -C "cmake.define.QELT_ZIG=$(realpath "$ZIG")"
  -C "cmake.define.QELT_ZIG_TARGET=$zig_target"
)
# On x86-64 the gate kernels come from GCC (KERNEL_CXX, default g++), whose code for them is
# faster than clang's; they call nothing outside themselves, so no C library symbol comes with
# them, and they link into the musl build as into the glibc one.
if [ "$arch" = x86_64 ]; then
  kernel_build=$(mktemp -d)
  trap 'rm -rf "$kernel_build"' EXIT
  cmake -S "$source_dir" -B "$kernel_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="${KERNEL_CXX:-g++}" -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=OFF \
    > /dev/null
  cmake --build "$kernel_build" --target qelt_x86_gate_kernels > /dev/null
  # Linked into another compiler's build, they may reference nothing: no C or C++ runtime.
  undefined=$(nm -u "$kernel_build/libqelt_x86_gate_kernels.a" | grep -v -e ':$' -e '^$' || true)
  if [ -n "$undefined" ]; then
    echo "build_wheel.sh: the gate kernels reference outside symbols:" $undefined >&2
    exit 1
  fi
  defines+=(-C "cmake.define.QELT_KERNEL_LIBRARY=$kernel_build/libqelt_x86_gate_kernels.a")
fi
if [ "$arch" != "$(uname -m)" ]; then
  : "${ARM64_PYTHON_INCLUDE:?}"
  defines+=(-C "cmake.define.Python_INCLUDE_DIR=$(realpath "$ARM64_PYTHON_INCLUDE")")
fi
mkdir -p "$out"
rm -f "$out"/qelt_native-*-"$platform".whl
# _PYTHON_HOST_PLATFORM names the wheel's platform tag: the target, not this machine;
# tests/cross/check_wheels.py confirms it.
_PYTHON_HOST_PLATFORM=$platform "$PYTHON" -m pip wheel -q --no-deps \
  --no-build-isolation "${defines[@]}" -w "$out" "$source_dir"
