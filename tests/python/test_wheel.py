"""Packaging: the checkout builds one stable-ABI wheel that passes the ABI audits, and the sdist
builds the same wheel.

Both wheels are built once per session (about a minute each on a small machine) with the test
environment's own build backend, so nothing is fetched.
"""

import json
import os
import pathlib
import re
import secrets
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import pytest

pytest.importorskip("abi3audit")
pytest.importorskip("auditwheel")
pytest.importorskip("build")
pytest.importorskip("scikit_build_core")

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEEL_NAME = re.compile(r"qelt_native-0\.1\.0-cp310-abi3-(linux|manylinux\w*)_x86_64\.whl$")
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}

pytestmark = pytest.mark.timeout(900)


def run(args, cwd=None, timeout=600):
    result = subprocess.run(args, capture_output=True, text=True, cwd=cwd, timeout=timeout)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout + result.stderr


def build_wheels(source, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
         "-w", str(out_dir), str(source)],
        cwd=out_dir,
    )
    return sorted(out_dir.iterdir())


def directory_like(path_length):
    """(a new directory whose absolute path has exactly `path_length` characters, the directory
    to delete afterwards), or None.

    The compiler embeds the absolute source paths in the shared object (source locations of
    internal-failure reports); building the sdist at a path as long as the checkout's makes
    the two objects comparable byte for byte once the paths are masked.
    """
    base = pathlib.Path(tempfile.mkdtemp(prefix="qelt-sdist-"))
    remaining = path_length - len(str(base))
    if remaining >= 2:
        target = base
        while remaining > 0:
            part = min(remaining - 1, 200)
            if remaining - 1 - part == 1:  # a single character left over cannot form a name
                part -= 1
            target = target / ("s" * part)
            remaining -= part + 1
        target.mkdir(parents=True)
        return target, base
    base.rmdir()
    root = pathlib.Path(tempfile.gettempdir())
    name_length = path_length - len(str(root)) - 1
    if name_length < 4:
        return None
    for _ in range(20):
        target = root / secrets.token_hex(name_length)[:name_length]
        try:
            target.mkdir()
            return target, target
        except FileExistsError:
            continue
    return None


@pytest.fixture(scope="module")
def checkout_wheel(tmp_path_factory):
    return build_wheels(ROOT, tmp_path_factory.mktemp("checkout-wheel"))


@pytest.fixture(scope="module")
def sdist_build(tmp_path_factory):
    """(sdist path, wheel built from it, the directory it was unpacked into)."""
    sdist_dir = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(sdist_dir),
         str(ROOT)], cwd=sdist_dir)
    (sdist,) = sdist_dir.glob("*.tar.gz")
    made = directory_like(len(str(ROOT)))
    if made is None:
        pytest.skip(f"no temporary directory as long as {ROOT} can be made")
    unpacked, cleanup = made
    extract = pathlib.Path(tempfile.mkdtemp(prefix="qelt-extract-"))
    try:
        with tarfile.open(sdist) as archive:
            top = {member.name.split("/", 1)[0] for member in archive.getmembers()}
            assert top == {"qelt_native-0.1.0"}, top
            if hasattr(tarfile, "data_filter"):
                archive.extractall(extract, filter="data")
            else:
                archive.extractall(extract)
        unpacked.rmdir()
        shutil.move(extract / "qelt_native-0.1.0", unpacked)
        wheels = build_wheels(unpacked, tmp_path_factory.mktemp("sdist-wheel"))
        yield sdist, wheels, unpacked
    finally:
        shutil.rmtree(extract, ignore_errors=True)
        shutil.rmtree(cleanup, ignore_errors=True)


def wheel_members(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def test_checkout_builds_exactly_one_cp310_abi3_wheel(checkout_wheel):
    assert len(checkout_wheel) == 1, checkout_wheel
    assert WHEEL_NAME.match(checkout_wheel[0].name), checkout_wheel[0].name


def test_wheel_holds_the_extension_and_its_stub_only(checkout_wheel):
    """The stub lies beside the extension; a copy as a stub-only package (which is where mypy
    looks for a single-module distribution's types) is allowed beside it."""
    members = wheel_members(checkout_wheel[0])
    payload = {name for name in members if ".dist-info/" not in name}
    stubs = {"qelt_native.pyi", "qelt_native-stubs/__init__.pyi"} & payload
    assert "qelt_native.pyi" in stubs
    assert payload == {"qelt_native.abi3.so"} | stubs
    for stub in stubs:
        assert members[stub] == (ROOT / "src/module/qelt_native.pyi").read_bytes(), stub


def test_abi3audit_finds_no_violation(checkout_wheel):
    report = json.loads(
        run([sys.executable, "-m", "abi3audit", "--strict", "--report", str(checkout_wheel[0])])
        .strip()
        .splitlines()[-1]
    )
    (spec,) = report["specs"].values()
    (extension,) = spec["wheel"]
    result = extension["result"]
    assert extension["name"] == "qelt_native.abi3.so"
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"], result
    assert result["baseline"] == "3.10" and result["non_abi3_symbols"] == [], result
    assert not result["future_abi3_objects"], result


def test_auditwheel_reports_a_manylinux_tag(checkout_wheel):
    output = " ".join(
        run([sys.executable, "-m", "auditwheel", "show", str(checkout_wheel[0])]).split()
    )
    tag = re.search(r'consistent with the following platform tag: "([\w.]+)"', output)
    assert tag and re.fullmatch(r"manylinux_2_\d+_x86_64", tag[1]), output
    assert "external shared libraries are required" not in output, output
    used = set(re.findall(r"(lib[\w.+-]+\.so\.\d+) with versions", output))
    assert used <= SYSTEM_LIBRARIES, used


def test_sdist_builds_the_same_wheel(checkout_wheel, sdist_build):
    """Same file name, same members; every member byte-identical except the shared object,
    which differs only in the embedded source root and the build id (a hash of the object)
    and so in its RECORD line."""
    _, sdist_wheels, unpacked = sdist_build
    assert [w.name for w in sdist_wheels] == [w.name for w in checkout_wheel]
    ours, theirs = wheel_members(checkout_wheel[0]), wheel_members(sdist_wheels[0])
    assert sorted(ours) == sorted(theirs)
    record = next(name for name in ours if name.endswith(".dist-info/RECORD"))
    for name in ours:
        if name not in (record, "qelt_native.abi3.so"):
            assert ours[name] == theirs[name], name

    def lines_except_object(text):
        return [line for line in text.decode().splitlines() if not line.startswith("qelt_native.abi3.so,")]

    assert lines_except_object(ours[record]) == lines_except_object(theirs[record])

    def masked(blob, root):
        assert root.encode() in blob
        blob = blob.replace(root.encode(), b"@" * len(root))
        build_id = re.search(rb"\x04\x00\x00\x00\x14\x00\x00\x00\x03\x00\x00\x00GNU\x00(.{20})",
                             blob, flags=re.S)
        assert build_id, "no GNU build id note"
        return blob[: build_id.start(1)] + b"\0" * 20 + blob[build_id.end(1):]

    assert masked(ours["qelt_native.abi3.so"], str(ROOT)) == masked(
        theirs["qelt_native.abi3.so"], str(unpacked)
    )


def test_sdist_holds_no_build_output_or_environment(sdist_build):
    sdist, _, _ = sdist_build
    with tarfile.open(sdist) as archive:
        names = [member.name.split("/", 1)[1] for member in archive.getmembers() if "/" in member.name]
    for prefix in (".venv/", "build/", ".git/"):
        assert not any(name.startswith(prefix) for name in names), prefix
    assert "src/module/qelt_native.pyi" in names
    assert not any(name.endswith((".so", ".whl", ".o")) for name in names)
