"""Compares the extension inside two wheels byte for byte (builds of one commit from two
directories); exits 1 when they differ."""

import sys
import zipfile

# The extension: qelt_native.abi3.so on Linux, qelt_native.pyd on Windows.
NAMES = ("qelt_native.abi3.so", "qelt_native.pyd")


def extension(path):
    archive = zipfile.ZipFile(path)
    (name,) = [n for n in archive.namelist() if n in NAMES]
    return name, archive.read(name)


(name, first), (_, second) = (extension(path) for path in sys.argv[1:3])
if first != second:
    sys.exit(f"the shared objects differ ({len(first)} and {len(second)} bytes)")
print(f"{name} identical in both wheels ({len(first)} bytes)")
