"""Packaging: the checkout builds one stable-ABI wheel that passes the ABI audits, and the sdist
builds the same wheel.

Both wheels are built once per session (about a minute each on a small machine) with the test
environment's own build backend, so nothing is fetched.
"""

import importlib.metadata
import json
import os
import pathlib
import re
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
VERSION = importlib.metadata.version("qelt_native")  # the installed build of this checkout
WHEEL_NAME = re.compile(
    rf"qelt_native-{re.escape(VERSION)}-cp310-abi3-(linux|manylinux\w*)_x86_64\.whl$"
)
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
    cleanup = pathlib.Path(tempfile.mkdtemp(prefix="qelt-sdist-"))
    unpacked = cleanup / "elsewhere"
    extract = pathlib.Path(tempfile.mkdtemp(prefix="qelt-extract-"))
    try:
        with tarfile.open(sdist) as archive:
            top = {member.name.split("/", 1)[0] for member in archive.getmembers()}
            assert top == {f"qelt_native-{VERSION}"}, top
            if hasattr(tarfile, "data_filter"):
                archive.extractall(extract, filter="data")
            else:
                archive.extractall(extract)
        shutil.move(extract / f"qelt_native-{VERSION}", unpacked)
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
    """Same file name, every member byte-identical, the shared object included: source paths
    are mapped to project-relative ones at compile time, so where the source lay leaves no
    trace."""
    _, sdist_wheels, _ = sdist_build
    assert [w.name for w in sdist_wheels] == [w.name for w in checkout_wheel]
    ours, theirs = wheel_members(checkout_wheel[0]), wheel_members(sdist_wheels[0])
    assert sorted(ours) == sorted(theirs)
    for name in ours:
        assert ours[name] == theirs[name], name
    assert str(ROOT).encode() not in ours["qelt_native.abi3.so"]


def test_sdist_holds_no_build_output_or_environment(sdist_build):
    sdist, _, _ = sdist_build
    with tarfile.open(sdist) as archive:
        names = [member.name.split("/", 1)[1] for member in archive.getmembers() if "/" in member.name]
    for prefix in (".venv/", "build/", ".git/"):
        assert not any(name.startswith(prefix) for name in names), prefix
    assert "src/module/qelt_native.pyi" in names
    assert not any(name.endswith((".so", ".whl", ".o")) for name in names)
