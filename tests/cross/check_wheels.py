"""Checks each release wheel named on the command line: auditwheel's tag, the glibc symbol
versions, the libraries and symbols of the extension, and the stable-ABI audit. Prints one line
per wheel; exits 1 on the first wheel that fails.

Runs with the NumPy 2 test environment's Python (auditwheel, abi3audit and pyelftools)."""

import io
import json
import re
import subprocess
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

MAX_GLIBC = (2, 28)
# glibc 2.28 still keeps the thread and loader functions in libraries of their own.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


def tool(*args):
    result = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def check(wheel):
    arch = re.search(r"manylinux_2_28_(x86_64|aarch64)\.whl$", wheel)
    assert arch, f"{wheel}: not named manylinux_2_28_<arch>"
    shown = " ".join(tool("auditwheel", "show", wheel).split())
    tag = re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_(\w+)"', shown)
    assert tag and tag[3] == arch[1], shown
    assert (int(tag[1]), int(tag[2])) <= MAX_GLIBC, shown
    assert "external shared libraries are required" not in shown, shown

    with zipfile.ZipFile(wheel) as archive:
        elf = ELFFile(io.BytesIO(archive.read("qelt_native.abi3.so")))
    needed, versions = set(), set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {t.needed for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
        if isinstance(section, GNUVerNeedSection):
            for _, aux in section.iter_versions():
                versions |= {a.name for a in aux if a.name.startswith("GLIBC_")}
    glibc = max(tuple(int(p) for p in v[6:].split(".")) for v in versions)
    assert glibc <= MAX_GLIBC, f"needs GLIBC_{glibc}"
    assert needed <= ALLOWED_NEEDED, needed
    dynsym = elf.get_section_by_name(".dynsym")
    exported = {s.name for s in dynsym.iter_symbols()
                if s["st_shndx"] != "SHN_UNDEF" and s.name}
    assert exported == {"PyInit_qelt_native"}, exported

    report = json.loads(tool("abi3audit", "--strict", "--report", wheel).strip().splitlines()[-1])
    (spec,) = report["specs"].values()
    (extension,) = spec["wheel"]
    result = extension["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"], result
    assert not result["non_abi3_symbols"] and not result["future_abi3_objects"], result
    print(f"{wheel.rsplit('/', 1)[-1]}: auditwheel manylinux_{tag[1]}_{tag[2]}_{tag[3]}, highest GLIBC_"
          f"{'.'.join(map(str, glibc))}, NEEDED {' '.join(sorted(needed))}, abi3audit clean")


for path in sys.argv[1:]:
    try:
        check(path)
    except AssertionError as error:
        sys.exit(f"{path}: {error}")
