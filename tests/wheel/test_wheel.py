"""The wheel that a user installs: the one named by CATENC_WHEEL, installed in the venv that runs
these tests (scripts/test builds it, installs it and sets the variable)."""

import email.parser
import hashlib
import importlib.machinery
import importlib.metadata
import os
import pathlib
import platform
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile

import pytest
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename

REPO = pathlib.Path(__file__).resolve().parents[2]
VERSION = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
WHEEL = pathlib.Path(os.environ["CATENC_WHEEL"]) if os.environ.get("CATENC_WHEEL") else None
MODULE = "catenc" + importlib.machinery.EXTENSION_SUFFIXES[0]
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")

pytestmark = pytest.mark.skipif(WHEEL is None, reason="CATENC_WHEEL names no wheel (scripts/test sets it)")


def needed_libraries(elf):
    """The DT_NEEDED entries of a 64-bit little-endian ELF shared object."""
    assert elf[:6] == b"\x7fELF\x02\x01", "not a 64-bit little-endian ELF file"
    (section_headers,) = struct.unpack_from("<Q", elf, 0x28)
    header_size, count = struct.unpack_from("<HH", elf, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", elf, section_headers + i * header_size) for i in range(count)]
    _, _, _, _, offset, size, strings_section, _, _, _ = next(s for s in sections if s[1] == 6)  # SHT_DYNAMIC
    strings = sections[strings_section][4]
    names = []
    for tag, value in struct.iter_unpack("<qQ", elf[offset : offset + size]):
        if tag == 1:  # DT_NEEDED
            start = strings + value
            names.append(elf[start : elf.index(b"\0", start)].decode())
    return names


def test_tags_fit_this_interpreter():
    abi = f"cp{sys.version_info[0]}{sys.version_info[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    with zipfile.ZipFile(WHEEL) as archive:
        metadata = email.parser.Parser().parsestr(archive.read(f"catenc-{VERSION}.dist-info/WHEEL").decode())
    tags = metadata.get_all("Tag")
    name, version, _, filename_tags = parse_wheel_filename(WHEEL.name)
    assert (name, str(version)) == ("catenc", VERSION)
    assert {str(tag) for tag in filename_tags} == set(tags)
    for tag in filename_tags:
        assert (tag.interpreter, tag.abi) == (abi.rstrip("t"), abi), tag
        assert re.fullmatch(rf"manylinux(_\d+_\d+|2014|2010|1)_{platform.machine()}", tag.platform), tag
    assert metadata["Root-Is-Purelib"] == "false"
    assert filename_tags & set(sys_tags()), "pip would not install this wheel here"


def test_holds_the_module_and_its_stub_package():
    with zipfile.ZipFile(WHEEL) as archive:
        names = set(archive.namelist())
        stub = archive.read("catenc-stubs/__init__.pyi")
    assert MODULE in names
    assert stub == (REPO / "src" / "catenc.pyi").read_bytes()


def test_extension_carries_its_own_cxx_runtime():
    with zipfile.ZipFile(WHEEL) as archive:
        shared_objects = [name for name in archive.namelist() if re.search(r"\.so(\.|$)", name)]
        needed = needed_libraries(archive.read(MODULE))
    assert shared_objects == [MODULE], "auditwheel bundled libraries: the runtime is no longer linked in"
    assert not [name for name in needed if name.startswith(("libstdc++", "libgcc_s"))], needed


def test_suite_imports_the_installed_wheel():
    import catenc

    installed = pathlib.Path(catenc.__file__)
    assert sys.prefix != sys.base_prefix, "not run in a venv"
    assert installed.parent == pathlib.Path(sysconfig.get_path("platlib")), installed
    with zipfile.ZipFile(WHEEL) as archive:
        shipped = archive.read(installed.name)
    assert hashlib.sha256(installed.read_bytes()).digest() == hashlib.sha256(shipped).digest(), \
        f"{installed} is not the module of {WHEEL.name}"
    assert importlib.metadata.version("catenc") == VERSION
    # The version has one home, pyproject.toml; a copy in the module would drift from it.
    assert not hasattr(catenc, "__version__")


def test_installs_and_imports_where_no_compiler_is(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    env = {name: value for name, value in os.environ.items() if name not in ("CC", "CXX", "PYTHONPATH")}
    kept = [folder for folder in env.get("PATH", "").split(os.pathsep)
            if folder and not any(os.access(os.path.join(folder, name), os.X_OK) for name in COMPILERS)]
    env["PATH"] = os.pathsep.join([str(venv / "bin"), *kept])
    assert not [name for name in COMPILERS if shutil.which(name, path=env["PATH"])]
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:",
                    str(WHEEL)], env=env, cwd=tmp_path, check=True, timeout=600)
    script = ("import catenc, numpy; print(catenc.__file__); "
              "print(catenc.Encoder().encode(numpy.array([['b'], ['a'], ['b']], dtype=object)).ravel().tolist())")
    result = subprocess.run([python, "-P", "-c", script], env=env, cwd=tmp_path, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    where, codes = result.stdout.splitlines()
    assert pathlib.Path(where).is_relative_to(venv), where
    assert codes == "[1.0, 0.0, 1.0]"


def test_sdist_holds_what_the_build_reads():
    sdist = WHEEL.parent / f"catenc-{VERSION}.tar.gz"
    if not sdist.exists():
        pytest.skip(f"no {sdist.name} beside the wheel")
    with tarfile.open(sdist) as archive:
        held = {name.removeprefix(f"catenc-{VERSION}/") for name in archive.getnames()}
    read = {"CMakeLists.txt", "pyproject.toml", "README.md", "PKG-INFO"}
    read |= {str(path.relative_to(REPO)) for path in (REPO / "src").rglob("*")
             if path.is_file() and "__pycache__" not in path.parts}
    assert not read - held
