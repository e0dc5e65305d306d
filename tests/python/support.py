"""Helpers shared by the behaviour tests of a morvik session.

Owns: writing small child programs into a test's temporary folder, polling
helpers for output and process state, the one kill helper, and the one leak
check: snapshots of what the host process holds (descriptors, threads,
children) so tests measure leaks instead of trusting the code. Must never start a session itself or hide a failure: every
helper either returns what it saw or lets the caller's assertion decide.
"""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

# The prompt the shell wrappers install; unusual enough never to appear in a
# command's own output.
SHELL_PROMPT = "MORVIK$ "
PYTHON_PROMPT = ">>> "
PYTHON_CONTINUATION = "... "
GDB_PROMPT = "(gdb) "

# The tests marked `soak` run cut down to seconds in the default run and at
# release scale with MORVIK_SOAK=1 (`make soak`). Counts and deadlines stay
# fixed either way: a soak never runs without bounds.
SOAK = os.environ.get("MORVIK_SOAK") == "1"


def scaled(short: int, release: int) -> int:
    """`release` under MORVIK_SOAK=1, `short` otherwise."""
    return release if SOAK else short


def write_script(directory: Path | str, name: str, body: str) -> str:
    """Write an executable file and return its absolute path.

    The session takes its command verbatim (no arguments), so every option a
    child needs lives in a wrapper like this one.
    """
    path = Path(directory) / name
    path.write_text(textwrap.dedent(body).lstrip("\n"))
    path.chmod(0o755)
    return str(path)


def python_child(directory: Path | str, name: str, code: str) -> str:
    """An executable Python program run by the interpreter running the tests."""
    source = f"#!{sys.executable}\n" + textwrap.dedent(code).lstrip("\n")
    return write_script(directory, name, source)


def shell_child(directory: Path | str, name: str = "shell") -> str:
    """bash without start-up files, showing SHELL_PROMPT as its prompt."""
    return write_script(
        directory,
        name,
        f"""\
        #!/bin/sh
        PS1='{SHELL_PROMPT}' exec bash --norc --noprofile
        """,
    )


def python_repl_child(directory: Path | str, name: str = "pyrepl") -> str:
    """The plain line-based Python REPL (the newer one repaints the screen)."""
    return write_script(
        directory,
        name,
        f"""\
        #!/bin/sh
        PYTHON_BASIC_REPL=1 exec {sys.executable} -q
        """,
    )


def gdb_child(directory: Path | str, name: str = "gdb") -> str:
    return write_script(
        directory,
        name,
        """\
        #!/bin/sh
        exec gdb -q -nx
        """,
    )


def wait_until(condition, timeout: float = 10.0, interval: float = 0.01) -> bool:
    """Poll `condition` until it holds or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def collect(session, until, timeout: float = 10.0, max_bytes: int | None = None) -> str:
    """Accumulate read_available() results until `until(text)` holds.

    `until` may also be a string: collection stops once the text contains it.
    Returns everything collected, whether or not the condition was met, so the
    caller's assertion shows what arrived.
    """
    if isinstance(until, str):
        needle = until
        until = lambda text: needle in text  # noqa: E731
    text = ""
    deadline = time.monotonic() + timeout
    while not until(text) and time.monotonic() < deadline:
        piece = session.read_available() if max_bytes is None else session.read_available(max_bytes)
        if piece:
            text += piece
        else:
            time.sleep(0.01)
    return text


def wait_exited(session, timeout: float = 10.0) -> bool:
    return wait_until(lambda: not session.is_alive(), timeout)


def run_to_end(command: str, timeout: float = 15.0, max_bytes: int = 1 << 20) -> str:
    """Run a program that ends by itself; return all of its cleaned output.

    Once the child has ended, close() waits for the reader thread, so every
    byte the child wrote is queued when read_available runs: no polling for
    late output.
    """
    from morvik import Morvik

    session = Morvik(command, False)
    try:
        assert wait_exited(session, timeout), f"{command} did not end in {timeout} s"
        session.close()
        return session.read_available(max_bytes)
    finally:
        session.close()


def run_host(code: str, timeout: float = 60.0, argv_prefix: tuple[str, ...] = ()) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, a host of its own that imports the
    same module: one that forks, changes its signal state or hangs cannot take
    the test runner with it. A call that never returns ends as a failed test
    after `timeout` seconds.
    """
    try:
        return subprocess.run(
            [*argv_prefix, sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=timeout, env=dict(os.environ),
        )
    except subprocess.TimeoutExpired as hung:
        raise AssertionError(f"the host did not finish within {timeout} s:\n{hung.stdout}\n{hung.stderr}") from None


def under_sanitizer(kind: str | None = None) -> bool:
    """True in a run against the ASan or TSan build (`kind` "asan" or
    "tsan": that one). Their runtimes keep freed memory in quarantine,
    reserve shadow memory, replace malloc (mallinfo2 reads 0) and need free
    descriptors for their own checks, so what a host measures of memory or
    descriptors is theirs there; TSan cannot start a thread in a forked copy
    of a threaded process."""
    with open("/proc/self/maps") as f:
        maps = f.read()
    kinds = [kind] if kind else ["asan", "tsan"]
    return any(f"lib{k}" in maps for k in kinds)


def pid_exists(pid: int) -> bool:
    """True while `pid` names a process, zombie included."""
    return os.path.exists(f"/proc/{pid}")


def session_of(pid: int) -> int | None:
    """The session id of `pid`, None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return int(f.read().rsplit(b")", 1)[1].split()[3])
    except (OSError, IndexError):
        return None


def running(pid: int) -> bool:
    """True while `pid` names a process that is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def kill_quietly(pid: int, *, reap: bool = False) -> None:
    """SIGKILL to `pid` if it still exists; with `reap`, also collects it.

    Reap only a child of this process that no session will collect (one
    whose session was abandoned on purpose): collecting a child a session
    still owns frees its pid for reuse while the session may signal it.
    """
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    if reap:
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass


def sigign_mask(status_text: str) -> int:
    """The SigIgn mask from the text of /proc/<pid>/status."""
    for line in status_text.splitlines():
        if line.startswith("SigIgn:"):
            return int(line.split()[1], 16)
    raise AssertionError(f"no SigIgn line in {status_text!r}")


def signal_bit(signum: int) -> int:
    return 1 << (signum - 1)


# ---------------------------------------------------------------- snapshots


def open_descriptors() -> dict[int, str]:
    """Open descriptors of this process with what they refer to."""
    result = {}
    for entry in os.listdir("/proc/self/fd"):
        fd = int(entry)
        try:
            result[fd] = os.readlink(f"/proc/self/fd/{entry}")
        except FileNotFoundError:
            # The descriptor listdir itself used, already closed.
            continue
    return result


def thread_ids() -> set[int]:
    return {int(tid) for tid in os.listdir("/proc/self/task")}


def child_processes() -> dict[int, str]:
    """Processes whose parent is this process, with their state letter.

    Zombies count: a child that ended but was never collected is a leak too.
    """
    me = os.getpid()
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name is parenthesised, may hold blanks or brackets and
        # need not be UTF-8: split the bytes after the last ')'.
        fields = stat.rsplit(b")", 1)[1].split()
        state, ppid = fields[0].decode(), int(fields[1])
        if ppid == me:
            children[int(entry)] = state
    return children


@dataclass(frozen=True)
class Resources:
    descriptors: dict[int, str]
    threads: int
    children: dict[int, str]

    @classmethod
    def snapshot(cls) -> "Resources":
        # Sessions of earlier tests can sit in reference cycles (a traceback
        # kept by pytest.raises holds its frame); collect them now so they are
        # not released in the middle of a later comparison.
        gc.collect()
        return cls(open_descriptors(), len(thread_ids()), child_processes())

    def difference(self, later: "Resources") -> dict:
        """What `later` holds that differs from this snapshot (fewer threads
        excepted); empty if nothing does."""
        diff = {}
        added = {fd: t for fd, t in later.descriptors.items() if self.descriptors.get(fd) != t}
        removed = {fd: t for fd, t in self.descriptors.items() if fd not in later.descriptors}
        if added or removed:
            diff["descriptors"] = {"added": added, "removed": removed}
        # Only more threads is a leak. A thread of an earlier test can still
        # be on its way out when the first snapshot is taken (one just joined
        # is listed for a moment; the reader of a session abandoned on
        # purpose ends once its child is killed), and then ends meanwhile:
        # fewer threads is no fault of the code under test, and a busy
        # machine, or another test just before in the same worker, makes it
        # common.
        if later.threads > self.threads:
            diff["threads"] = (self.threads, later.threads)
        # A child that came, went, or ended uncollected (a zombie) is a leak;
        # one that only went from running to asleep (a program still starting
        # at the first snapshot) is not.
        def ended(children):
            return {pid: state == "Z" for pid, state in children.items()}

        if ended(later.children) != ended(self.children):
            diff["children"] = (self.children, later.children)
        return diff


# How long a leak check lets descriptors, threads and children of the code
# under test go before it calls them leaked. A check that passes returns as
# soon as everything is back; only a failing one waits this long.
RELEASE_TIMEOUT_S = 10.0


def settled_difference(before: Resources, timeout: float = RELEASE_TIMEOUT_S, ignore: tuple = ()) -> dict:
    """Difference from `before`, after giving stragglers `timeout` to go.

    A thread that has been joined can still show in /proc for a moment, and
    the kernel reparents a killed grandchild asynchronously; polling keeps the
    comparison exact without a fixed sleep. Keys named in `ignore`
    ("descriptors", "threads", "children") are left out of the comparison.
    """

    def current():
        diff = before.difference(Resources.snapshot())
        return {key: value for key, value in diff.items() if key not in ignore}

    diff = current()
    deadline = time.monotonic() + timeout
    while diff and time.monotonic() < deadline:
        time.sleep(0.02)
        diff = current()
    return diff


@contextmanager
def no_leaks(timeout: float = RELEASE_TIMEOUT_S):
    """Fails if the block leaves descriptors, threads or child processes behind."""
    before = Resources.snapshot()
    yield before
    diff = settled_difference(before, timeout)
    assert diff == {}, f"still held after {timeout} s: {diff}"


def decode_tty_nr(tty_nr: int) -> tuple[int, int]:
    """(major, minor) of the tty_nr field of /proc/<pid>/stat."""
    major = (tty_nr >> 8) & 0xFFF
    minor = (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00)
    return major, minor


def elapsed(fn, *args, **kwargs):
    """(result, seconds) of one call."""
    start = time.monotonic()
    result = fn(*args, **kwargs)
    return result, time.monotonic() - start
