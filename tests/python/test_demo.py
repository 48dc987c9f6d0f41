"""The demo on a generated table, and on CSV files it cannot read."""

import importlib.metadata
import importlib.util
import pathlib
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    found = importlib.util.spec_from_file_location("demo", DEMO)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_generated_table_runs_through(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO), "--rows", "1000"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"catenc {importlib.metadata.version('catenc')}, NumPy ")
    assert any(line.startswith("Round trip: ") for line in lines), result.stdout


@pytest.mark.parametrize(
    "name, content, reason",
    [
        ("missing.csv", None, "No such file or directory"),
        ("empty.csv", b"", "No columns to parse from file"),
        ("ragged.csv", b"a,b\n1,2\n3,4,5,6\n", "Error tokenizing data. C error: Expected 2 fields in line 3, saw 4"),
        ("latin1.csv", b"city\nK\xf8benhavn\n", "'utf-8' codec can't decode byte 0xf8"),
        ("folder", "dir", "Is a directory"),
    ],
)
def test_unreadable_csv_ends_with_one_line(demo, tmp_path, name, content, reason):
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(SystemExit) as info:
        demo.read_csv(str(path))
    message = info.value.code
    assert message.startswith(f"demo: cannot read {path}: {reason}") and "\n" not in message, message


def test_unreadable_csv_exits_without_traceback(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO), "missing.csv"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "demo: cannot read missing.csv: No such file or directory\n"
