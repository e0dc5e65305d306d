"""What a user installs: the wheel and the source distribution.

Protects: a wheel built from the checkout holds the module, its type
information and nothing else (no static library, no tests, no sources),
installs into a fresh environment where the module imports and drives a
program and mypy finds its stubs; the source distribution carries every file
the build needs and none of the local build or environment folders.
Must never download anything (the build uses this environment's
scikit-build-core, the install uses only the built wheel) and never write
into the checkout beyond the shared build folder the wheel build reuses.
"""

import fcntl
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

REPO = Path(__file__).resolve().parents[2]


def _run(args, cwd, timeout=900):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # Parallel workers (pytest-xdist) that run tests of this module share one
    # wheel in the run's common folder: the first builds it, under a lock that
    # the others wait on. Two builds at once would share one build folder.
    if os.environ.get("PYTEST_XDIST_WORKER"):
        out = tmp_path_factory.getbasetemp().parent / "wheelhouse"
        out.mkdir(exist_ok=True)
    else:
        out = tmp_path_factory.mktemp("wheelhouse")
    with open(out / "build.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not list(out.glob("morvik-*.whl")):
            # The build folder of `make install` is reused, so only what
            # changed compiles; --no-build-isolation keeps the build off the
            # network.
            _run(
                [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
                 "-w", str(out), str(REPO)],
                cwd=REPO,
            )
    (built,) = out.glob("morvik-*.whl")
    return built


@pytest.fixture(scope="module")
def fresh_env(wheel, tmp_path_factory):
    """A new virtual environment with only the wheel installed; its python."""
    root = tmp_path_factory.mktemp("fresh")
    _run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], cwd=root)
    python = root / "venv" / "bin" / "python"
    _run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
         "--no-index", "--no-deps", str(wheel)],
        cwd=root,
    )
    return python


def test_wheel_holds_module_and_type_information_only(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    payload = {n for n in names if ".dist-info/" not in n}
    tag = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
    modules = {n for n in payload if re.fullmatch(rf"(morvik|morvik_agent/_terminal)\.{tag}-[\w-]+\.so", n)}
    assert len(modules) == 2, payload
    # Exactly these: no static library, no tests, no C++ sources; the agent
    # package as it is in the checkout, without byte code.
    agent = {
        f"morvik_agent/{path.name}"
        for path in (REPO / "python" / "morvik_agent").iterdir()
        if path.suffix in (".py", ".pyi", ".typed")
    }
    assert "morvik_agent/mcp.py" in agent
    assert payload - modules == {"morvik.pyi", "morvik-stubs/__init__.pyi", "py.typed"} | agent

    stub = (REPO / "stubs" / "morvik.pyi").read_bytes()
    with zipfile.ZipFile(wheel) as archive:
        assert archive.read("morvik.pyi") == stub
        assert archive.read("morvik-stubs/__init__.pyi") == stub
        (metadata_name,) = [n for n in names if n.endswith(".dist-info/METADATA")]
        metadata = archive.read(metadata_name).decode()
    assert re.search(r"^Name: morvik$", metadata, re.MULTILINE)
    assert re.search(r"^Requires-Python: >=3\.12$", metadata, re.MULTILINE)
    # The README is the package's long description on the index.
    assert "## Quick start" in metadata
    # The MCP server's SDK comes only with the extra.
    assert re.search(r'^Requires-Dist: mcp.*; extra == "mcp"$', metadata, re.MULTILINE)
    assert not re.search(r"^Requires-Dist: mcp[^;]*$", metadata, re.MULTILINE)


def test_wheel_in_fresh_environment_imports_and_drives_a_program(fresh_env, tmp_path):
    program = tmp_path / "greeter"
    program.write_text("#!/bin/sh\nprintf 'name? '\nread name\necho \"hello, $name\"\n")
    program.chmod(0o755)
    check = textwrap.dedent(
        f"""
        import morvik, sys
        print(morvik.__file__)
        session = morvik.Morvik({str(program)!r}, True, ["name? "])
        print(repr(session.read_until_ready(timeout_ms=10000)))
        print(repr(session.send_and_read_until_ready("wheel", timeout_ms=10000, quiet_ms=200)))
        session.close()
        print(session.is_alive())
        from morvik_agent import Terminal
        with Terminal.start([{str(program)!r}]) as terminal:
            print(repr(terminal.send("agent").text))
        """
    )
    # Run outside the checkout so nothing there can shadow the installed module.
    done = _run([str(fresh_env), "-c", check], cwd=tmp_path, timeout=120)
    location, prompt, answer, alive, agent = done.stdout.splitlines()
    assert Path(location).is_relative_to(fresh_env.parent.parent)
    assert prompt == repr("name? ")
    assert "hello, wheel" in answer
    assert alive == "False"
    assert agent == repr("hello, agent\n")

    # The server's command answers --help without the SDK, and says which
    # extra brings it when asked to serve.
    script = fresh_env.parent / "morvik-mcp"
    assert "--allow PROGRAM" in _run([str(script), "--help"], cwd=tmp_path).stdout
    serving = subprocess.run([str(script), "--allow", "sh"], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                             stdin=subprocess.DEVNULL)
    assert serving.returncode == 2 and "morvik[mcp]" in serving.stderr, serving


def test_mypy_finds_the_stubs_the_wheel_installed(fresh_env, tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "from morvik import Morvik\n"
        "session = Morvik('/bin/sh', True)\n"
        "reveal_type(session.read_available())\n"
        "session.read_available(maxbytes=1)\n"
    )
    # mypy from this environment, looking up installed packages in the
    # fresh one, as an editor pointed at that environment would.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", str(fresh_env),
         "--cache-dir", str(tmp_path / "cache"), user.name],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert re.search(r'^user\.py:3: note: Revealed type is "(builtins\.)?str"$', done.stdout,
                     re.MULTILINE), done.stdout
    assert 'user.py:4: error: Unexpected keyword argument "maxbytes"' in done.stdout, done.stdout
    assert "import-not-found" not in done.stdout


def test_sdist_carries_the_sources_and_leaves_local_folders_out(tmp_path):
    # Built through the build backend's own hook: no `build` frontend and no
    # network needed.
    hook = f"from scikit_build_core.build import build_sdist; print(build_sdist({str(tmp_path)!r}))"
    done = _run([sys.executable, "-c", hook], cwd=REPO, timeout=300)
    name = done.stdout.strip().splitlines()[-1]
    assert re.fullmatch(r"morvik-[\d.]+\.tar\.gz", name)
    with tarfile.open(tmp_path / name) as archive:
        members = {m.name.split("/", 1)[1] for m in archive.getmembers() if "/" in m.name}

    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "stubs/morvik.pyi", "stubs/py.typed"}
    for folder in ("src", "python", "cmake"):
        for path in (REPO / folder).rglob("*"):
            if path.is_file() and "__pycache__" not in path.parts:
                needed.add(str(path.relative_to(REPO)))
    assert needed - members == set()
    for local in (".venv/", "build/", ".git/", ".ci/", ".pytest_cache/", ".hypothesis/"):
        assert not [m for m in members if m.startswith(local)], local
