"""Checks each release wheel named on the command line: auditwheel's tag, the glibc symbol
versions, the libraries and symbols of the extension, and the stable-ABI audit; for the Windows
wheel its tag, the DLLs and exports of its PE image, and the audit. Prints one line per wheel;
exits 1 on the first wheel that fails.

Runs with the NumPy 2 test environment's Python (auditwheel, abi3audit, pyelftools, pefile)."""

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


# The Windows module imports the stable ABI's DLL (never a versioned python3X.dll), the
# Universal C Runtime's API sets and KERNEL32; its C++ runtime is inside it.
WINDOWS_DLLS = re.compile(r"python3\.dll|kernel32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll")
# Source files are named in the image (assertion texts, source positions) relative to the
# checkout, "src/pool/...": one with a directory before src/ is a build path that escaped the
# prefix maps.
BUILD_PATH = re.compile(rb"[A-Za-z0-9_.:-]*[/\\]src[/\\][a-z_]+[/\\][a-z_0-9]+\.(?:cpp|h)")


def check_windows(wheel):
    import pefile

    assert wheel.endswith("-cp310-abi3-win_amd64.whl"), f"{wheel}: not named cp310-abi3-win_amd64"
    with zipfile.ZipFile(wheel) as archive:
        tags = re.findall(r"^Tag: (\S+)$", archive.read(
            next(n for n in archive.namelist() if n.endswith(".dist-info/WHEEL"))).decode(), re.M)
        image = archive.read("qelt_native.pyd")
    assert tags == ["cp310-abi3-win_amd64"], tags
    pe = pefile.PE(data=image)
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    assert pe.is_dll()
    dlls = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert all(WINDOWS_DLLS.fullmatch(dll) for dll in dlls), sorted(dlls)
    assert "python3.dll" in dlls, sorted(dlls)
    exported = {symbol.name.decode() for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    assert exported == {"PyInit_qelt_native"}, exported
    escaped = sorted({m.decode() for m in BUILD_PATH.findall(image)})
    assert not escaped, escaped[:5]
    # The debug directory may name the program database, by file name alone.
    for debug in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        pdb = getattr(debug.entry, "PdbFileName", b"").rstrip(b"\0")
        assert b"/" not in pdb and b"\\" not in pdb, pdb

    report = json.loads(tool("abi3audit", "--strict", "--report", wheel).strip().splitlines()[-1])
    (spec,) = report["specs"].values()
    (extension,) = spec["wheel"]
    result = extension["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"], result
    assert not result["non_abi3_symbols"] and not result["future_abi3_objects"], result
    crt = sorted(d for d in dlls if d.startswith("api-ms-win-crt-"))
    print(f"{wheel.rsplit('/', 1)[-1]}: PE32+ x86-64 DLL, exports PyInit_qelt_native, imports "
          f"python3.dll kernel32.dll and {len(crt)} UCRT API sets, abi3audit clean")


for path in sys.argv[1:]:
    try:
        check_windows(path) if path.endswith("win_amd64.whl") else check(path)
    except AssertionError as error:
        sys.exit(f"{path}: {error}")
