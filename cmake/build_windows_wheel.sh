#!/usr/bin/env bash
# Builds the Windows x64 wheel with zig (MinGW-w64 on the UCRT, C++ runtime linked statically)
# and tags it win_amd64:
#   cmake/build_windows_wheel.sh WINDOWS_DIR OUT_DIR [SOURCE_DIR]
# WINDOWS_DIR is what cmake/windows_python.sh made: CPython's headers with the Windows
# pyconfig.h, and the import library for python3.dll. Needs in the environment: PYTHON (with pip
# and scikit-build-core) and ZIG (zig's executable). The gate kernels are clang's here: objects
# from this machine's GCC are ELF and do not link into a Windows DLL.
set -euo pipefail
windows=$(realpath "$1")
out=$(realpath -m "$2")
source_dir=$(realpath "${3:-$(dirname "$0")/..}")
: "${PYTHON:?}" "${ZIG:?}"
defines=(
  -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$source_dir/cmake/zig-toolchain.cmake"
  -C "cmake.define.QELT_ZIG=$(realpath "$ZIG")"
  -C "cmake.define.QELT_ZIG_TARGET=x86_64-windows-gnu"
  -C "cmake.define.Python_INCLUDE_DIR=$windows/include"
  -C "cmake.define.Python_SABI_LIBRARY=$windows/python/libs/python3.lib"
)
mkdir -p "$out"
rm -f "$out"/qelt_native-*-win_amd64.whl
# _PYTHON_HOST_PLATFORM names the wheel's platform tag: the target, not this machine.
_PYTHON_HOST_PLATFORM=win_amd64 "$PYTHON" -m pip wheel -q --no-deps --no-build-isolation \
  "${defines[@]}" -w "$out" "$source_dir"
