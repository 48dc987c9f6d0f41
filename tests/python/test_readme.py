"""The README's Python blocks run, in order and in one namespace, and show what they claim.

A comment right below a top-level expression is that expression's expected value: its repr, or
what it printed where it gives None. An HTML comment `<!-- requires: NAME -->` or
`<!-- requires: NAME>=MAJOR -->` on the line before a block runs the block only where that
package (at that major version or newer) is installed.
"""

import ast
import contextlib
import importlib.metadata
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"(?:<!-- requires: ([\w-]+)(?:>=(\d+))? -->\n)?```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def readme_blocks():
    text = README.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start(3)) + 1
        requirement = (match[1], int(match[2] or 0)) if match[1] else None
        blocks.append(pytest.param(match[3], line, requirement, id=f"line-{line}"))
    return blocks


def unmet(requirement):
    if requirement is None:
        return None
    name, major = requirement
    try:
        version = importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return f"needs {name}, which is not installed"
    if int(version.split(".")[0]) < major:
        return f"needs {name} {major} or newer, not {version}"
    return None


def shown_value(source_lines, statement):
    """The comment lines right below a top-level expression, without their '# '; else None."""
    if not isinstance(statement, ast.Expr):
        return None
    shown = []
    for line in source_lines[statement.end_lineno:]:
        if not line.startswith("#"):
            break
        shown.append(line[2:] if line.startswith("# ") else line[1:])
    return "\n".join(shown) if shown else None


@pytest.fixture(scope="module")
def namespace():
    return {"__name__": "readme"}


def test_readme_has_blocks():
    assert len(readme_blocks()) >= 5


@pytest.mark.parametrize("source, line, requirement", readme_blocks())
def test_readme_block(source, line, requirement, namespace):
    if reason := unmet(requirement):
        pytest.skip(f"README block at line {line} {reason}")
    source_lines = source.splitlines()
    for statement in ast.parse(source).body:
        where = f"README.md:{line + statement.lineno - 1}"
        expected = shown_value(source_lines, statement)
        code = ast.Module([statement], type_ignores=[])
        if expected is None:
            exec(compile(code, where, "exec"), namespace)
            continue
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            value = eval(compile(ast.Expression(statement.value), where, "eval"), namespace)
        got = printed.getvalue().rstrip("\n") if value is None else repr(value)
        assert [row.rstrip() for row in got.splitlines()] == [row.rstrip() for row in expected.splitlines()], where
