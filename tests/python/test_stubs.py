"""The installed type information matches the compiled module and lets a type
checker tell a right call from a wrong one.

Protects: the stubs that ship beside the module (and as morvik-stubs, where
mypy looks) are the ones in the checkout, agree with the extension's real
signatures, and make mypy flag misuse instead of reading the module as Any.
Must never point the checkers at the checkout's stubs/ folder except for the
deliberately broken copy: what users get is what is installed.
"""

import ast
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import morvik

REPO = Path(__file__).resolve().parents[2]
SOURCE_STUB = REPO / "stubs" / "morvik.pyi"
SITE = Path(morvik.__file__).resolve().parent


def _run(args, cwd, env_extra=None, timeout=300):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def test_installed_stubs_are_the_checkout_stubs():
    source = SOURCE_STUB.read_text()
    beside_module = SITE / "morvik.pyi"
    stub_package = SITE / "morvik-stubs" / "__init__.pyi"
    assert beside_module.read_text() == source, "stale morvik.pyi installed; run make install"
    assert stub_package.read_text() == source, "stale morvik-stubs installed; run make install"
    assert (SITE / "py.typed").is_file()


@pytest.mark.parametrize("module", ["morvik", "morvik_agent._terminal"])
def test_stubtest_finds_stubs_and_module_in_agreement(module, tmp_path):
    done = _run(["mypy.stubtest", module], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found in 1 module" in done.stdout


def test_stubtest_reports_a_stub_that_drifted_from_the_module(tmp_path):
    # Without this control, a stubtest that checked nothing (stubs not found,
    # module not imported) would look the same as one that passed.
    drifted = SOURCE_STUB.read_text()
    drifted = drifted.replace("max_bytes: int | None", "maxbytes: int | None", 1)
    drifted = re.sub(r"    def reset\(self\) -> None:\n(        .*\n|\n)*", "", drifted)
    assert "def reset" not in drifted and "maxbytes" in drifted
    stubs = tmp_path / "drifted"
    stubs.mkdir()
    (stubs / "morvik.pyi").write_text(drifted)
    done = _run(["mypy.stubtest", "morvik"], cwd=tmp_path, env_extra={"MYPYPATH": str(stubs)})
    assert done.returncode != 0
    assert 'stub parameter "maxbytes" differs from runtime parameter "max_bytes"' in done.stdout
    assert "morvik.Morvik.reset is not present in stub" in done.stdout


GOOD_USE = '''
    from collections.abc import Sequence
    from typing import assert_type

    from morvik import Morvik

    def drive(markers: Sequence[str]) -> list[str]:
        gdb = Morvik("/opt/gdb-wrapper", True)
        shell = Morvik("/opt/shell", interactive=True, ready_markers=("$ ",))
        quiet = Morvik(command="/opt/job", interactive=False, ready_markers=None)
        shell.set_ready_markers(markers)
        texts = [
            assert_type(gdb.read_until_ready(), str),
            gdb.read_until_ready(20000, 2097152, 200, 80),
            gdb.read_until_ready(timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None),
            assert_type(gdb.send_and_read_until_ready("bt"), str),
            shell.send_and_read_until_ready(input="ls", timeout_ms=500, quiet_ms=40),
            assert_type(quiet.read_available(), str),
            quiet.read_available(max_bytes=10),
            assert_type(gdb.get_history(), str),
            assert_type(gdb.get_initial_command(), str),
        ]
        assert_type(gdb.send_ctrl_c(), None)
        flags: list[bool] = [gdb.is_alive(), gdb.is_interactive()]
        assert_type(shell.close(), None)
        assert_type(shell.reset(), None)
        assert all(flags) or not all(flags)
        return texts
'''

# Every line marked "# E" must be reported, and nothing else.
BAD_USE = '''
    from morvik import Morvik

    gdb = Morvik("/opt/gdb-wrapper")  # E
    Morvik("/opt/shell", 1)  # E
    Morvik("/opt/shell", True, ["$ ", 1])  # E
    Morvik("/opt/shell", True, readymarkers=["$ "])  # E
    gdb.read_until_ready(timeout=5)  # E
    gdb.read_until_ready(timeout_ms=1.5)  # E
    gdb.send_and_read_until_ready()  # E
    gdb.send_and_read_until_ready(b"bt")  # E
    gdb.set_ready_markers(None)  # E
    gdb.read_available("all")  # E
    gdb.is_alive(True)  # E
    count: int = gdb.read_available()  # E
    alive: str = gdb.is_alive()  # E
    gdb.send_ctrl_c().strip()  # E
    gdb.restart()  # E

    class Tweaked(Morvik):  # E
        pass
'''


def test_mypy_accepts_right_calls_and_flags_each_wrong_one(tmp_path):
    good = tmp_path / "good_use.py"
    bad = tmp_path / "bad_use.py"
    good.write_text(textwrap.dedent(GOOD_USE))
    bad.write_text(textwrap.dedent(BAD_USE))
    done = _run(
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), good.name, bad.name],
        cwd=tmp_path,
    )
    output = done.stdout + done.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, output
    reported = {
        (name, int(line))
        for name, line in re.findall(r"^(\w+)\.py:(\d+): error:", done.stdout, re.MULTILINE)
    }
    assert {line for name, line in reported if name == "good_use"} == set(), output
    expected = {
        number
        for number, text in enumerate(bad.read_text().splitlines(), start=1)
        if text.endswith("# E")
    }
    assert len(expected) == 16
    assert {line for name, line in reported if name == "bad_use"} == expected, output


def test_shipped_examples_and_readme_quick_start_type_check_strictly(tmp_path):
    # Real programs written against the API: a stub too narrow for them (or
    # a sample that misuses the API) shows up here.
    readme = (REPO / "README.md").read_text()
    starts = []
    for heading, call in (("## Quick start for an agent", "Terminal.start("), ("## The `Morvik` module", "Morvik(")):
        quick_start = readme.split(heading, 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
        assert call in quick_start
        starts.append(f"quick_start_{len(starts)}.py")
        (tmp_path / starts[-1]).write_text(quick_start)
    examples = sorted(str(path) for path in (REPO / "examples").glob("*.py"))
    assert len(examples) >= 5
    done = _run(
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *starts, *examples],
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def _stub_tree():
    return ast.parse(SOURCE_STUB.read_text())


def test_stubs_document_every_method_and_keep_the_modules_own_docstrings():
    tree = _stub_tree()
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    documented = {
        node.name: ast.get_docstring(node, clean=False) or ""
        for node in cls.body
        if isinstance(node, ast.FunctionDef)
    }
    public = {name for name in dir(morvik.Morvik) if not name.startswith("_")}
    assert public <= documented.keys()
    for name in public | {"__new__"}:
        assert documented[name].strip(), f"{name} has no docstring in the stubs"
    for name in public:
        # Where the module carries a docstring of its own, the stub opens
        # with exactly that text, so help() and the editor agree.
        runtime_doc = getattr(morvik.Morvik, name).__doc__
        if runtime_doc:
            assert documented[name].startswith(runtime_doc), name

