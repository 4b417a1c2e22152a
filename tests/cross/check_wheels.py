"""Checks each release wheel named on the command line: auditwheel's tag, the glibc symbol
versions, the libraries and symbols of the extension, and the stable-ABI audit; for the Windows
wheel its tag, the DLLs and exports of its PE image, and the audit. Prints one line per wheel;
exits 1 on the first wheel that fails.

musllinux wheels get the same checks without auditwheel, which looks musl's libraries up on this
(glibc) machine: the extension must need musl's C library alone, no glibc symbol version, no
packed relative relocations (musl reads them from 1.2.4 on), and every symbol it imports that is
not the interpreter's must be defined by the musl C library given for its architecture with
--musl-libc PATH (Debian's musl 1.2.3, this machine's and arm64's).

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
from elftools.elf.sections import SymbolTableSection

MAX_GLIBC = (2, 28)
# glibc 2.28 still keeps the thread and loader functions in libraries of their own.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# musl keeps everything in one library, which its loader resolves by this name.
MUSL_NEEDED = {"libc.so"}
# Packed relative relocations, by name and by number for readers that do not know them.
RELR_TAGS = {"DT_RELR", "DT_RELRSZ", "DT_RELRENT", 35, 36, 37}


def tool(*args):
    result = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def dynamic_symbols(elf):
    """(defined, undefined and not weak) names of the dynamic symbol table. A weak reference
    may stay unresolved: the C++ runtime checks for glibc's __cxa_thread_atexit_impl that way."""
    symbols = [s for s in elf.get_section_by_name(".dynsym").iter_symbols() if s.name]
    return ({s.name for s in symbols if s["st_shndx"] != "SHN_UNDEF"},
            {s.name for s in symbols
             if s["st_shndx"] == "SHN_UNDEF" and s["st_info"]["bind"] != "STB_WEAK"})


def elf_facts(elf):
    """(NEEDED names, GLIBC_ versions required, dynamic tags)."""
    needed, versions, tags = set(), set(), set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for t in section.iter_tags():
                tags.add(t.entry.d_tag)
                if t.entry.d_tag == "DT_NEEDED":
                    needed.add(t.needed)
        if isinstance(section, GNUVerNeedSection):
            for _, aux in section.iter_versions():
                versions |= {a.name for a in aux if a.name.startswith("GLIBC_")}
    return needed, versions, tags


def check_glibc(wheel, arch, elf):
    shown = " ".join(tool("auditwheel", "show", wheel).split())
    tag = re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_(\w+)"', shown)
    assert tag and tag[3] == arch, shown
    assert (int(tag[1]), int(tag[2])) <= MAX_GLIBC, shown
    assert "external shared libraries are required" not in shown, shown
    needed, versions, _ = elf_facts(elf)
    glibc = max(tuple(int(p) for p in v[6:].split(".")) for v in versions)
    assert glibc <= MAX_GLIBC, f"needs GLIBC_{glibc}"
    assert needed <= ALLOWED_NEEDED, needed
    return (f"auditwheel manylinux_{tag[1]}_{tag[2]}_{tag[3]}, highest GLIBC_"
            f"{'.'.join(map(str, glibc))}, NEEDED {' '.join(sorted(needed))}")


def check_musl(elf, musl_libcs):
    needed, versions, tags = elf_facts(elf)
    assert needed == MUSL_NEEDED, needed
    assert not versions, f"glibc symbol versions {sorted(versions)}"
    assert not tags & RELR_TAGS, f"packed relative relocations {tags & RELR_TAGS}"
    assert not any(s.name == ".relr.dyn" for s in elf.iter_sections()), ".relr.dyn section"
    libc_path = musl_libcs.get(elf["e_machine"])
    assert libc_path, f"no --musl-libc given for {elf['e_machine']}"
    with open(libc_path, "rb") as f:
        provided, _ = dynamic_symbols(ELFFile(f))
    _, imported = dynamic_symbols(elf)
    missing = {name for name in imported - provided if not name.startswith(("Py", "_Py"))}
    assert not missing, f"not in {libc_path}: {sorted(missing)}"
    return (f"NEEDED {' '.join(sorted(needed))}, its {len(imported)} imports in the interpreter "
            f"or {libc_path}")



def check_abi3(wheel):
    """abi3audit's strict report: the extension uses the stable ABI of 3.10 alone."""
    report = json.loads(tool("abi3audit", "--strict", "--report", wheel).strip().splitlines()[-1])
    (spec,) = report["specs"].values()
    (extension,) = spec["wheel"]
    result = extension["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"], result
    assert not result["non_abi3_symbols"] and not result["future_abi3_objects"], result

def check(wheel, musl_libcs):
    name = re.search(r"-(manylinux_2_28|musllinux_1_2)_(x86_64|aarch64)\.whl$", wheel)
    assert name, f"{wheel}: not named manylinux_2_28_<arch> or musllinux_1_2_<arch>"
    with zipfile.ZipFile(wheel) as archive:
        elf = ELFFile(io.BytesIO(archive.read("qelt_native.abi3.so")))
    machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[name[2]]
    assert elf["e_machine"] == machine, elf["e_machine"]
    if name[1] == "musllinux_1_2":
        libraries = check_musl(elf, musl_libcs)
    else:
        libraries = check_glibc(wheel, name[2], elf)
    exported, _ = dynamic_symbols(elf)
    assert exported == {"PyInit_qelt_native"}, exported

    check_abi3(wheel)
    print(f"{wheel.rsplit('/', 1)[-1]}: {libraries}, exports PyInit_qelt_native alone, "
          "abi3audit clean")


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

    check_abi3(wheel)
    crt = sorted(d for d in dlls if d.startswith("api-ms-win-crt-"))
    print(f"{wheel.rsplit('/', 1)[-1]}: PE32+ x86-64 DLL, exports PyInit_qelt_native, imports "
          f"python3.dll kernel32.dll and {len(crt)} UCRT API sets, abi3audit clean")


arguments = sys.argv[1:]
musl_libcs = {}
for argument in [a for a in arguments if a.startswith("--musl-libc=")]:
    arguments.remove(argument)
    path = argument.split("=", 1)[1]
    with open(path, "rb") as f:
        musl_libcs[ELFFile(f)["e_machine"]] = path
for path in arguments:
    try:
        check_windows(path) if path.endswith("win_amd64.whl") else check(path, musl_libcs)
    except AssertionError as error:
        sys.exit(f"{path}: {error}")
