"""Every descendant of a contained terminal's program, within reach.

A terminal's close ends its program's session; a process that left the
session and lost its parent (a daemon's double fork and setsid, `setsid
sleep 991 &` from bash) is out of that reach, re-parented to init. A
contained terminal marks its program's environment with a token of its own,
which every descendant inherits, and makes this process a child subreaper,
so such orphans are re-parented here: its close then ends every process
that carries the token or descends from the program, whatever its session.

Owns: the tokens, the process-wide subreaper flag once a contained terminal
asks for it, and the reaping of the orphans it brings. Must never wait for
just any child (other code in the host owns its own children): an orphan is
reaped only by the handle opened on it while it lived, carrying a token of
ours; a terminal's program is never touched here (its core collects it).
What stays out of reach: a descendant that drops the token from its
environment and is orphaned before the close, and an orphan that ends before
the reaper saw it (it stays a zombie of this process until it exits).
"""

from __future__ import annotations

import os
import secrets
import select
import signal
import threading
import time

from morvik_agent._terminal import become_subreaper

# The environment variable that carries a contained terminal's token.
MARK = "MORVIK_CONTAIN"
# How often the reaper looks for new orphans, in seconds.
REAPER_PERIOD_S = 0.25
# How long the descendants have after SIGTERM, then after SIGKILL.
TERM_GRACE_S = 0.5
KILL_GRACE_S = 5.0


def _stat(pid: int) -> tuple[str, int] | None:
    """(state, parent) of ``pid``; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields[0].decode(), int(fields[1])


def _environ(pid: int) -> list[bytes]:
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def _marked(pid: int, entry: bytes) -> bool:
    return entry in _environ(pid)


def _entry(token: str) -> bytes:
    return f"{MARK}={token}".encode()


def _own_children() -> set[int]:
    children: set[int] = set()
    try:
        threads = os.listdir("/proc/self/task")
    except OSError:
        return children
    for tid in threads:
        try:
            with open(f"/proc/self/task/{tid}/children", "rb") as f:
                children.update(int(pid) for pid in f.read().split())
        except OSError:
            continue
    return children


def _open(pid: int) -> int | None:
    try:
        return os.pidfd_open(pid)
    except OSError:  # ended meanwhile
        return None


def _ended(fd: int) -> bool:
    return bool(select.select([fd], [], [], 0)[0])


def _reap(fd: int) -> None:
    # Only a child of ours can be reaped, and only this process: waitid on
    # the handle, never on a number that may have changed hands.
    try:
        os.waitid(os.P_PIDFD, fd, os.WEXITED | os.WNOHANG)
    except ChildProcessError:
        pass


class _Keeper:
    """The process-wide state: tokens, their programs, the orphans held."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        # token -> the program's pid; None while it starts (its pid unknown,
        # so the program itself could be taken for an orphan).
        self.programs: dict[str, int | None] = {}
        self.held: dict[int, int] = {}  # orphan pid -> its handle
        self.thread: threading.Thread | None = None
        self.owner = 0

    def ensure(self) -> None:
        with self.lock:
            self._ensure()

    def _ensure(self) -> None:
        # A forked copy of a host is a process of its own: it sets the flag
        # for itself and reaps its own orphans, none of its parent's.
        if self.thread is None or self.owner != os.getpid():
            become_subreaper()
            self.owner = os.getpid()
            self.held = {}
            self.programs = {}
            self.thread = threading.Thread(target=self._run, name="morvik-reaper", daemon=True)
            self.thread.start()

    def new_token(self) -> str:
        with self.lock:
            self._ensure()
            token = secrets.token_hex(12)
            self.programs[token] = None
            return token

    def started(self, token: str, pid: int | None) -> None:
        with self.lock:
            if pid is None:
                del self.programs[token]
            else:
                self.programs[token] = pid

    def _run(self) -> None:
        while True:
            time.sleep(REAPER_PERIOD_S)
            try:
                self.tick()
            except Exception:  # noqa: BLE001 (a daemon thread: never die of one bad read)
                pass

    def tick(self) -> None:
        me = os.getpid()
        with self.lock:
            if self.owner != me:
                return
            programs = set(self.programs.values())
            entries = {_entry(t) for t, pid in self.programs.items() if pid is not None}
            held = dict(self.held)
        for pid in _own_children() - programs - held.keys():
            seen = _stat(pid)
            if seen is None or seen[0] in "ZX" or not entries.intersection(_environ(pid)):
                continue
            fd = _open(pid)
            if fd is None:
                continue
            # The number may have changed hands before the open: check what
            # the handle holds.
            again = _stat(pid)
            if again is None or again[1] != me or not entries.intersection(_environ(pid)):
                os.close(fd)
                continue
            held[pid] = fd
            with self.lock:
                self.held[pid] = fd
        for pid, fd in held.items():
            if _ended(fd):
                _reap(fd)
                with self.lock:
                    if self.held.pop(pid, None) is not None:
                        os.close(fd)


_keeper = _Keeper()


def ensure() -> None:
    """Makes this process a child subreaper, with the reaper of the orphans
    of contained terminals running; once per process."""
    _keeper.ensure()


def new_token() -> str:
    """A token for a terminal about to start; makes this process a child
    subreaper and starts the reaper on first use."""
    return _keeper.new_token()


def started(token: str, pid: int | None) -> None:
    """The program of ``token`` runs as ``pid`` (None: it did not start)."""
    _keeper.started(token, pid)


def members(token: str, program: int | None) -> dict[int, int]:
    """Every live process that carries ``token`` or descends from
    ``program`` (or from one that does), the program itself left out, each
    held by its handle. ``program`` None once it has been collected: its
    number may then be a stranger's."""
    entry = _entry(token)
    parents: dict[int, int] = {}
    found: set[int] = set()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        seen = _stat(pid)
        if seen is None or seen[0] in "ZX":
            continue
        parents[pid] = seen[1]
        if pid != program and _marked(pid, entry):
            found.add(pid)
    children: dict[int, list[int]] = {}
    for pid, parent in parents.items():
        children.setdefault(parent, []).append(pid)
    todo = [*found] if program is None else [program, *found]
    while todo:
        for child in children.get(todo.pop(), ()):
            if child not in found and child != program:
                found.add(child)
                todo.append(child)
    found.discard(os.getpid())
    held: dict[int, int] = {}
    for pid in found:
        fd = _open(pid)
        if fd is None:
            continue
        # The number may have changed hands between the scan and the open:
        # what the handle holds must still be the process that was found.
        again = _stat(pid)
        if again is None or again[1] != parents[pid]:
            os.close(fd)
            continue
        held[pid] = fd
    return held


def end(token: str, held: dict[int, int]) -> None:
    """Ends ``held`` (from `members` before the program's session was
    stopped) and every process that carries ``token`` now: SIGTERM, then
    SIGKILL; then reaps those that were orphans of ours. The program's own
    session has been stopped by then, so the rest are its escapees."""
    try:
        for sig, grace in ((signal.SIGTERM, TERM_GRACE_S), (signal.SIGKILL, KILL_GRACE_S)):
            for pid, fd in members(token, None).items():
                if pid in held:
                    os.close(fd)
                else:
                    held[pid] = fd
            living = [fd for fd in held.values() if not _ended(fd)]
            if not living:
                break
            for fd in living:
                for s in (sig, signal.SIGCONT):
                    try:
                        signal.pidfd_send_signal(fd, s)
                    except ProcessLookupError:
                        pass
            deadline = time.monotonic() + grace
            while living and time.monotonic() < deadline:
                select.select(living, [], [], max(0.0, deadline - time.monotonic()))
                living = [fd for fd in living if not _ended(fd)]
    finally:
        for fd in held.values():
            if _ended(fd):
                _reap(fd)
            os.close(fd)
