"""Compares the extension inside two wheels byte for byte (builds of one commit from two
directories); exits 1 when they differ."""

import sys
import zipfile

objects = [zipfile.ZipFile(path).read("qelt_native.abi3.so") for path in sys.argv[1:3]]
if objects[0] != objects[1]:
    sys.exit(f"the shared objects differ ({len(objects[0])} and {len(objects[1])} bytes)")
print(f"qelt_native.abi3.so identical in both wheels ({len(objects[0])} bytes)")
