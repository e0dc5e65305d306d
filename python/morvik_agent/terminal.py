"""One program on its own terminal, started with arguments, answering in
replies that say why they ended.

Owns: the private folder of each terminal (the generated wrapper script and
the file the wrapper leaves its process id in), the translation of a
program's argument vector, environment, working directory and window size
into that script, and the judgement of every wait's outcome. Must never be
used from a thread other than the one that started the terminal: the
`Morvik` session inside belongs to that thread, refuses calls from any other
and is leaked, not stopped, if its last reference goes on another one.
"""

from __future__ import annotations

import errno
import os
import re
import shlex
import shutil
import signal
import tempfile
import time
import weakref
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Literal, Self

from morvik import Morvik

Status = Literal["ready", "quiet", "timeout", "exited"]

DEFAULT_TIMEOUT_MS = 10_000
# Longer than the module's own 80 ms: a program without a prompt that pauses
# between two parts of one answer would otherwise be cut in the middle, and
# an agent pays a whole round trip for every extra read.
DEFAULT_QUIET_MS = 300

# Set by the kernel as a process begins to exit, before it closes its files:
# a wait that returned because the terminal closed always finds it already
# set, while the module's own liveness test may still see a running process
# for a few milliseconds.
PF_EXITING = 0x4

# Long enough for the wrapper to write its process id on a busy machine; it
# does so before anything else, so a start-up wait that has returned almost
# always finds it there already.
PID_FILE_WAIT_S = 1.0

# The session's own pause after each stop signal; a program still running
# after this long is left to the session's full stop sequence.
HANGUP_WAIT_S = 0.1

_ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


@dataclass(frozen=True, slots=True)
class Reply:
    """What one wait collected and why it ended.

    ``status`` is decided from the outside, since the module's waits return
    text only. The rules, in this order:

    - ``"ready"``: one of the terminal's prompts is in ``text``; a wait for
      prompts returns soon after one shows, so the program waits for input.
    - ``"exited"``: the program has ended or is ending (the kernel marks a
      process as exiting before it closes its terminal, so this holds even
      when the module's own liveness test still lags behind).
    - ``"quiet"``: a terminal without prompts got some output and then
      ``quiet_ms`` of silence before the deadline. A reply that filled the
      2 MiB byte cap of one wait first is reported the same way.
    - ``"timeout"``: anything else: the program runs on, showed no prompt
      (or stayed silent) until the deadline, or filled the byte cap before
      its prompt came. Its further output is kept for the next call.

    ``elapsed_ms`` is the wall time of the call.
    """

    text: str
    status: Status
    elapsed_ms: int


def resolve_program(name: str, *, env: Mapping[str, str] | None = None, cwd: str | None = None) -> str:
    """The absolute path that ``name`` starts, as a shell would find it.

    A name with a slash is taken relative to ``cwd`` (or the current folder);
    one without is looked up along the ``PATH`` of ``env`` if it has one,
    else of this process. Raises ``FileNotFoundError`` when there is no such
    executable.
    """
    if not name or "\0" in name:
        raise ValueError(f"not a program name: {name!r}")
    if "/" in name:
        path = os.path.join(cwd or os.getcwd(), name)
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            raise FileNotFoundError(errno.ENOENT, "no executable file", name)
        return os.path.abspath(path)
    search = (env or {}).get("PATH", os.environ.get("PATH", os.defpath))
    found = shutil.which(name, path=search)
    if found is None:
        raise FileNotFoundError(errno.ENOENT, "not found along PATH", name)
    return os.path.abspath(found)


def wrapper_script(
    argv: Sequence[str],
    *,
    env: Mapping[str, str],
    cwd: str | None,
    rows: int,
    columns: int,
    pid_file: str,
) -> str:
    """The /bin/sh script that sets the terminal up and becomes the program.

    The session starts one program verbatim, so everything else travels
    here, each word quoted for the shell. The script ends in ``exec``, so
    the program keeps the script's process id and is the session's child.
    """
    lines = [
        "#!/bin/sh",
        f"echo $$ >{shlex.quote(pid_file)}",
        f"stty rows {rows} cols {columns}",
    ]
    if cwd is not None:
        lines.append(f"cd {shlex.quote(cwd)} || exit 126")
    # Last before exec, so nothing the caller sets (LD_PRELOAD, PATH, IFS)
    # reaches stty or the shell's own work.
    lines += [f"export {name}={shlex.quote(value)}" for name, value in env.items()]
    lines.append("exec " + " ".join(shlex.quote(word) for word in argv))
    return "\n".join(lines) + "\n"


def _check_words(argv: Sequence[str], env: Mapping[str, str]) -> None:
    # A NUL cannot travel through an argument vector or an environment;
    # refuse it here rather than let the shell cut the word short.
    for word in [*argv, *env.values()]:
        if not isinstance(word, str) or "\0" in word:
            raise ValueError(f"arguments and environment values must be text without NUL: {word!r}")
    for name in env:
        if not _ENV_NAME.fullmatch(name):
            raise ValueError(f"not an environment variable name: {name!r}")


def _process_ending(pid: int) -> bool:
    """Whether ``pid`` has begun to exit, is a zombie or is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return True
    # The command name is in parentheses and may hold anything: split after
    # the last one. Then: state, ppid, pgrp, session, tty, tpgid, flags.
    fields = stat.rsplit(b")", 1)[1].split()
    return fields[0] in (b"Z", b"X") or bool(int(fields[6]) & PF_EXITING)


class Terminal:
    """A program on its own pseudo-terminal: send a line, get a `Reply`.

    Made by `Terminal.start`. Use it from the thread that started it only
    (`AsyncTerminal` runs one on a thread of its own for asyncio code).
    """

    def __init__(
        self,
        session: Morvik,
        folder: str,
        argv: tuple[str, ...],
        prompts: tuple[str, ...],
        timeout_ms: int,
        quiet_ms: int,
    ) -> None:
        self._session: Morvik | None = session
        self._folder = folder
        self._pid: int | None = None
        self.argv = argv
        self.prompts = prompts
        self.timeout_ms = timeout_ms
        self.quiet_ms = quiet_ms
        # Set by start(); a placeholder until the first wait has run.
        self.banner = Reply("", "timeout", 0)
        # The folder goes even if the terminal is dropped without close().
        self._remove_folder = weakref.finalize(self, shutil.rmtree, folder, ignore_errors=True)

    @classmethod
    def start(
        cls,
        argv: Sequence[str] | str,
        *,
        env: Mapping[str, str] | None = None,
        cwd: str | None = None,
        prompts: Sequence[str] | str | None = None,
        rows: int = 24,
        columns: int = 80,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        quiet_ms: int = DEFAULT_QUIET_MS,
    ) -> Self:
        """Start ``argv`` and wait for its first prompt (or quiet output).

        ``argv`` is the program and its arguments, passed unchanged (no shell
        splits or expands them), or a program name alone. The program is
        resolved as `resolve_program` does and started by its absolute path,
        which is also its ``argv[0]``. ``env`` adds to (or overrides) the
        inherited environment; ``cwd`` is its working folder; ``rows`` and
        ``columns`` the terminal's size. ``prompts`` are the texts the
        program shows when it waits for input, such as ``"(gdb) "``; without
        any, every wait ends when the output has been quiet for ``quiet_ms``.
        ``timeout_ms`` and ``quiet_ms`` bound this first wait and are the
        defaults of every later one. The first reply is ``banner``.
        """
        words = [argv] if isinstance(argv, str) else list(argv)
        if not words:
            raise ValueError("argv names no program")
        marks = (prompts,) if isinstance(prompts, str) else tuple(prompts or ())
        if "" in marks:
            raise ValueError("an empty prompt would match any output")
        extra = dict(env or {})
        _check_words(words, extra)
        if rows < 1 or columns < 1:
            raise ValueError(f"a terminal of {rows} rows and {columns} columns")
        if cwd is not None:
            cwd = os.path.abspath(cwd)
            if not os.path.isdir(cwd):
                raise NotADirectoryError(errno.ENOTDIR, "no such folder", cwd)
        words[0] = resolve_program(words[0], env=extra, cwd=cwd)

        folder = tempfile.mkdtemp(prefix="morvik-")  # mode 0700
        try:
            wrapper = os.path.join(folder, "start")
            script = wrapper_script(
                words, env=extra, cwd=cwd, rows=rows, columns=columns,
                pid_file=os.path.join(folder, "pid"),
            )
            fd = os.open(wrapper, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o700)
            with open(fd, "w") as f:
                f.write(script)
            session = Morvik(wrapper, bool(marks), list(marks))
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        terminal = cls(session, folder, tuple(words), marks, timeout_ms, quiet_ms)
        terminal.banner = terminal.read()
        return terminal

    # ---------------------------------------------------------------- waits

    def send(self, line: str, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """Send ``line`` and a line feed, then wait as `read` does.

        The terminal does not echo, so the reply holds the program's answer
        only. Output that arrived since the last call comes first.
        """
        session = self._open()
        timeout, quiet = self._limits(timeout_ms, quiet_ms)
        began = time.monotonic()
        try:
            text = session.send_and_read_until_ready(line, timeout_ms=timeout, quiet_ms=quiet)
        except RuntimeError:
            # A terminal whose program is gone can refuse the write; that is
            # an answer for the caller, not a fault.
            if not self._ended(session):
                raise
            return Reply("", "exited", self._ms_since(began))
        return self._judge(session, text, began, timeout)

    def read(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """Wait for a prompt (or quiet output) and return what came meanwhile."""
        session = self._open()
        timeout, quiet = self._limits(timeout_ms, quiet_ms)
        began = time.monotonic()
        text = session.read_until_ready(timeout_ms=timeout, quiet_ms=quiet)
        return self._judge(session, text, began, timeout)

    def interrupt(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """Send Ctrl-C, then wait as `read` does for the program to answer."""
        self._open().send_ctrl_c()
        return self.read(timeout_ms=timeout_ms, quiet_ms=quiet_ms)

    # ---------------------------------------------------------------- state

    def history(self, tail_chars: int | None = None) -> str:
        """Everything the program printed so far (the newest 4 MiB of raw
        output, cleaned), or its last ``tail_chars`` characters."""
        text = self._open().get_history()
        if tail_chars is None:
            return text
        return text[-tail_chars:] if tail_chars > 0 else ""

    @property
    def alive(self) -> bool:
        """Whether the program still runs; False from the moment it begins to exit."""
        return self._session is not None and not self._ended(self._session)

    @property
    def closed(self) -> bool:
        return self._session is None

    @property
    def pid(self) -> int | None:
        """The program's process id; None if the wrapper never got to run."""
        if self._pid is None:
            deadline = time.monotonic() + PID_FILE_WAIT_S
            while self._pid is None:
                self._pid = self._read_pid()
                if self._pid is not None or time.monotonic() > deadline:
                    break
                time.sleep(0.005)
        return self._pid

    def close(self) -> None:
        """Stop the program, release the terminal and remove the private
        folder; the history goes too. A second call does nothing.

        The program gets SIGHUP, and most end on it at once; one that does
        not within 100 ms gets the session's own stop (SIGHUP again, then
        SIGCONT, SIGINT, SIGTERM and SIGKILL, 100 ms apart).
        """
        session, self._session = self._session, None
        if session is None:
            return
        self._hang_up(session)
        session.close()
        self._remove_folder()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._session is None else f"pid {self._pid}"
        return f"<Terminal {shlex.join(self.argv)!r} {state}>"

    # ---------------------------------------------------------------- inside

    def _open(self) -> Morvik:
        if self._session is None:
            raise RuntimeError("the terminal is closed")
        return self._session

    def _limits(self, timeout_ms: int | None, quiet_ms: int | None) -> tuple[int, int]:
        return (
            self.timeout_ms if timeout_ms is None else timeout_ms,
            self.quiet_ms if quiet_ms is None else quiet_ms,
        )

    @staticmethod
    def _ms_since(began: float) -> int:
        return round((time.monotonic() - began) * 1000)

    def _judge(self, session: Morvik, text: str, began: float, timeout_ms: int) -> Reply:
        elapsed = time.monotonic() - began
        status: Status
        if any(prompt in text for prompt in self.prompts):
            status = "ready"
        elif self._ended(session):
            status = "exited"
        elif text and not self.prompts and elapsed * 1000 < timeout_ms:
            status = "quiet"
        else:
            status = "timeout"
        return Reply(text, status, round(elapsed * 1000))

    def _ended(self, session: Morvik) -> bool:
        if not session.is_alive():
            return True
        pid = self._pid if self._pid is not None else self._read_pid()
        return pid is not None and _process_ending(pid)

    def _hang_up(self, session: Morvik) -> None:
        # The session's own stop holds the interpreter lock through each of
        # its 100 ms pauses, stalling every other thread (an event loop
        # included), even for a program that ended at the first signal. So
        # the first signal goes out here and the wait for it releases the
        # lock; a program collected here makes the session's stop return at
        # once. Only an uncollected child is signalled: after that its
        # number may name another process.
        pid = self._pid if self._pid is not None else self._read_pid()
        if pid is None or not session.is_alive():
            return
        try:
            os.kill(pid, signal.SIGHUP)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + HANGUP_WAIT_S
        while session.is_alive() and time.monotonic() < deadline:
            time.sleep(0.002)

    def _read_pid(self) -> int | None:
        # The shell writes the number and its line feed in one write; a
        # file without the line feed is still being written.
        try:
            with open(os.path.join(self._folder, "pid")) as f:
                text = f.read()
        except FileNotFoundError:
            return None
        if not text.endswith("\n"):
            return None
        self._pid = int(text)
        return self._pid
