"""Shared fixtures for the Python tests: child programs written as small shell
scripts in a temporary folder, sessions that are closed after the test, and a
leak check that counts this process's descriptors, threads and children
before and after instead of trusting the code under test."""

import dataclasses
import os
import signal
import time
from contextlib import contextmanager

import pytest

import morvik
import support


def child_pids():
    """Process ids whose parent is this process (zombies included)."""
    return frozenset(support.child_processes())


@dataclasses.dataclass(frozen=True)
class Resources:
    fds: int
    threads: int
    children: frozenset

    @staticmethod
    def now():
        return Resources(
            fds=len(os.listdir("/proc/self/fd")),
            threads=len(os.listdir("/proc/self/task")),
            children=child_pids(),
        )

    def leaked_since(self, before):
        """What this snapshot holds beyond `before`, as readable text; empty if nothing."""
        problems = []
        if self.fds > before.fds:
            problems.append(f"{self.fds - before.fds} descriptor(s)")
        if self.threads > before.threads:
            problems.append(f"{self.threads - before.threads} thread(s)")
        extra = self.children - before.children
        if extra:
            problems.append(f"children {sorted(extra)}")
        return ", ".join(problems)


def wait_until_released(before, timeout=10.0):
    """Waits until nothing is held beyond `before`; fails naming what is still held."""
    deadline = time.monotonic() + timeout
    while True:
        leaked = Resources.now().leaked_since(before)
        if not leaked or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    assert not leaked, f"still held after {timeout}s: {leaked}"


@contextmanager
def no_leaks(timeout=10.0):
    """Fails if the block leaves descriptors, threads or child processes behind."""
    before = Resources.now()
    yield before
    wait_until_released(before, timeout)


@pytest.fixture
def leak_check():
    return no_leaks


@pytest.fixture
def script(tmp_path):
    """Returns a factory: script(body, name="prog") writes an executable /bin/sh
    script with that body into the test's temporary folder and returns its path."""
    counter = iter(range(1_000_000))

    def make(body, name=None):
        path = tmp_path / (name or f"prog{next(counter)}")
        path.write_text("#!/bin/sh\n" + body)
        path.chmod(0o755)
        return str(path)

    return make


@pytest.fixture
def spawn():
    """Returns a factory for Morvik objects that are closed when the test ends."""
    made = []

    def make(*args, **kwargs):
        session = morvik.Morvik(*args, **kwargs)
        made.append(session)
        return session

    yield make
    for session in made:
        session.close()


def kill_and_reap(pid):
    """Ends a child this process owns and collects it, whatever state it is in."""
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass
