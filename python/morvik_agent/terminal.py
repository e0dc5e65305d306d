"""One program on its own terminal, started with an exact argument vector,
answering in replies that say why they ended, with the text the terminal
showed.

Owns: the checks and conversions of what a caller passes (argument vector,
environment, working folder, window size, prompts, limits, the recording's
file), the lookup of the program and the descriptor it runs from, and the
`Reply` and `Screen` types. Must
never decide anything about the program's state itself: the native core
(`morvik_agent._terminal`) says why each wait ended and how the program
ended, and every method is safe from any thread.
"""

from __future__ import annotations

import atexit
import errno
import functools
import inspect
import os
import shutil
import threading
import time
import weakref
from collections.abc import Callable, Mapping, Sequence
from types import TracebackType
from typing import Any, Concatenate, Generic, Literal, NamedTuple, ParamSpec, Self, TypeVar, get_args

from morvik_agent import contain as _contain
from morvik_agent import search as _search
from morvik_agent.search import Hit
from morvik_agent import shell as _shell_files
from morvik_agent._terminal import STATUSES, Core, describe_keys, key_names

# The core names the statuses (STATUSES); this spells them for type
# checkers only, and may never differ.
Status = Literal["ready", "quiet", "timeout", "exited", "cancelled", "cap"]
if get_args(Status) != STATUSES:
    raise ImportError(f"morvik_agent's statuses {get_args(Status)} are not its core's {STATUSES}")

DEFAULT_TIMEOUT_MS = 10_000
# None: no wait ends on a quiet gap where the kernel shows whether the
# program waits for input (a program that pauses between two parts of one
# answer is not waiting), and a 300 ms gap ends it where the kernel cannot
# tell. A number ends every wait without prompts after that gap.
DEFAULT_QUIET_MS: int | None = None
# The longest prompt: the core looks for prompts in the cleaned end of the
# output, which a longer one would not fit.
MAX_PROMPT_CHARS = 1024
# The most raw output one wait collects; the rest stays queued.
DEFAULT_MAX_OUTPUT_BYTES = 2 * 1024 * 1024
# The newest characters of reply text a terminal keeps for `read(since=...)`:
# as much as the core keeps of raw output.
TRANSCRIPT_CHARS = 4 * 1024 * 1024
# A wait's limits are at most this (about 585 million years of ms).
MAX_MS = 2**64 - 1
MAX_SIZE = 65535
# The sizes the screen model handles: a wide character on one column
# corrupts it, and its memory (about 72 bytes a cell) and the time a resize
# takes grow with the cells.
MIN_COLUMNS = 2
MAX_CELLS = 1_000_000
# What Ctrl-C sends.
INTERRUPT = b"\x03"
# What the Enter key sends, and so what ends a line `send` sends: the
# terminal's ICRNL makes it a line feed for a program that reads lines, and a
# program that reads keys (nano's prompts, whiptail, readline) sees Enter.
ENTER = b"\r"
# The key names `send_keys` knows, each with its aliases, as the core that
# encodes them defines them.
KEY_NAMES: tuple[tuple[str, tuple[str, ...]], ...] = tuple((name, tuple(aliases.split()))
                                                           for name, aliases in key_names())
# How many looks at the screen are kept to tell later changes from: a
# caller diffs against one of its last few looks, and a 500 x 500 screen
# keeps at most a few MiB this way.
SCREENS_KEPT = 16
# How long the output must stay still before a change counts as settled,
# unless the caller says: longer than a progress bar's steps, shorter than
# top's refresh.
DEFAULT_CHANGE_QUIET_MS = 500
# The terminal the program is told it runs on, unless env names another:
# the one whose drawing the screen model and the line renderer honour.
DEFAULT_TERM = "xterm-256color"

R = TypeVar("R")
P = ParamSpec("P")
C = TypeVar("C", bound="Client")
S = TypeVar("S")


class Reply(NamedTuple):
    """What one wait collected and why it ended (a named tuple: cheap to
    make on every round trip, and immutable).

    ``text`` is what the terminal showed meanwhile, line by line: carriage
    returns, backspaces, erasures and cursor moves along a line act as on a
    terminal, so a progress bar gives its last state and a line edited in
    place its final form. A line the program has not ended yet comes as it
    stands, last; if the program rewrites it later, the next reply begins
    with it in its new state. While the program uses the alternate screen
    (vim, less, top), the text is that screen as it stands when the wait
    ends, after any lines the main screen showed before.

    ``status``:

    - ``"ready"``: the program waits for input. Either one of the prompts
      ends the output (``prompt`` says which), or the kernel shows the
      program asleep reading its terminal with all its output read
      (``prompt`` is None); this needs no prompts at all.
    - ``"quiet"``: no prompts were given, and the output paused for
      ``quiet_ms`` while the program did not wait for input (it sleeps or
      works). With ``quiet_ms`` None (the default) only where the kernel
      cannot tell whether the program waits, after 300 ms.
    - ``"timeout"``: the program did neither before ``timeout_ms``; it runs
      on, and its further output is kept for the next call.
    - ``"exited"``: the program ended; ``exit_code`` or ``signal`` says how,
      and the text holds everything it wrote.
    - ``"cancelled"``: `Terminal.cancel` (or closing the terminal) ended the
      wait; the text is what had come by then.
    - ``"cap"``: the wait collected ``max_output_bytes`` of output;
      ``queued_bytes`` more are waiting for the next call.

    ``exit_code`` and ``signal`` are None while the program runs, and when
    the program's status could not be known (the host collected it).
    ``elapsed_ms`` is the wall time of the call. ``running``: the wait
    ended while the program still runs and does not wait for input (quiet,
    timeout, cap, cancelled): what is sent now goes to the running program.
    ``dropped_bytes``: queued output an ``interrupt(discard=True)`` dropped.
    ``warning``: something gone wrong beside the program, told once (a
    recording cut off because its file took the output too slowly).
    ``screen_version``: when the text ends with the screen (a full-screen
    program's), that screen's version; ``screen(changes_since=...)`` with
    it gives what changed since this reply.

    ``command_exit_code``: for a shell that marks its commands (one started
    by `Terminal.shell`, or any program that emits the marks itself), the
    exit status (``$?``) of the last command that ended in this reply's
    output; None when none ended in it (the command runs on, an empty
    line, Ctrl-C at the prompt). With a shell, "ready" means the shell
    drew its next prompt; a program the shell runs that waits for input
    reads "ready" as any program does, with no exit code yet.
    ``cwd``: the folder the shell last reported (None until it has).
    ``offset``: where this reply's text ends in the terminal's text, in
    characters counted from its start (every reply's text, in order,
    the banner first); it never resets, so ``read(since=offset)`` after a
    lost reply or a reconnect carries on with no character lost or repeated.
    """

    text: str
    status: Status
    elapsed_ms: int
    exit_code: int | None = None
    signal: int | None = None
    prompt: str | None = None
    queued_bytes: int = 0
    running: bool = False
    dropped_bytes: int = 0
    warning: str | None = None
    screen_version: int | None = None
    command_exit_code: int | None = None
    cwd: str | None = None
    offset: int = 0


class Screen(NamedTuple):
    """The terminal's screen as the program drew it.

    ``lines``: exactly as many as the terminal has rows, each without its
    trailing blanks (a wide character counts once, a combining mark stays
    with its base). ``cursor``: ``(row, column)``, from 0. ``alternate``:
    whether the program uses the alternate screen (full-screen programs
    such as vim, less and top do). ``version``: a number that grows with
    every change the screen took (output, a resize); two looks with the
    same version show the same screen.

    ``changes``: with ``screen(changes_since=V)``, the rows that differ
    from version V, as ``(row, text)`` from row 0, in order (empty when
    nothing changed); `apply_to` V's lines gives ``lines``. None when the
    whole screen is the answer: no ``changes_since`` was given, or
    ``stale``: version V is older than the last looks kept, or the
    number of rows changed since.
    """

    lines: list[str]
    cursor: tuple[int, int]
    alternate: bool
    version: int = 0
    changes: list[tuple[int, str]] | None = None
    stale: bool = False

    def apply_to(self, lines: Sequence[str]) -> list[str]:
        """The rows of this screen, from ``lines`` (those of the version
        ``changes`` were taken since) and ``changes``; ``lines`` themselves
        when nothing changed."""
        if self.changes is None:
            return list(self.lines)
        rows = list(lines)
        for row, text in self.changes:
            rows[row] = text
        return rows


def resolve_program(name: str, *, env: Mapping[str, str] | None = None, cwd: str | None = None) -> str:
    """The absolute path that ``name`` starts, as a shell would find it.

    A name with a slash is taken relative to ``cwd`` (or the current folder);
    one without is looked up along the ``PATH`` of ``env`` if it has one,
    else of this process (an empty entry is the folder). Raises
    ``FileNotFoundError`` when nothing of that name is found, and
    ``PermissionError`` when only files that may not be run are, as the
    exec itself would.
    """
    if not isinstance(name, str) or not name or "\0" in name:
        raise ValueError(f"not a program name: {name!r}")
    folder = cwd or os.getcwd()
    if "/" in name:
        candidates = [os.path.join(folder, name)]
    else:
        search = (env or {}).get("PATH", os.environ.get("PATH", os.defpath))
        candidates = [os.path.join(folder, entry or ".", name) for entry in search.split(os.pathsep)]
    denied = False
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
        denied = denied or os.path.exists(path)
    if denied:
        raise PermissionError(errno.EACCES, "not an executable file", name)
    raise FileNotFoundError(errno.ENOENT, "no executable file" if "/" in name else "not found along PATH", name)


def open_program(path: str) -> int:
    """A descriptor (close-on-exec) of the file at ``path``, to run it from:
    a path-only one, so a program that may be run but not read runs too."""
    return os.open(path, os.O_PATH | os.O_CLOEXEC)


def _word(value: object, what: str) -> bytes:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} contains a NUL character: {value!r}")
    return os.fsencode(value)


def _environment(env: Mapping[str, str] | None) -> list[bytes]:
    # This process's TERM describes its own terminal, not the program's.
    merged = dict(os.environb)
    merged[b"TERM"] = DEFAULT_TERM.encode()
    for name, value in (env or {}).items():
        key = _word(name, "an environment variable name")
        if not key or b"=" in key:
            raise ValueError(f"not an environment variable name: {name!r}")
        merged[key] = _word(value, f"the value of {name}")
    return [k + b"=" + v for k, v in merged.items()]


def _limit(value: int | None, default: int, what: str) -> int:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must be at least 0, not {value}")
    return min(value, MAX_MS)


def _version(value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"changes_since must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"changes_since must be at least 0, not {value}")
    return value


def _size(rows: int, columns: int) -> tuple[int, int]:
    for value, what, least in ((rows, "rows", 1), (columns, "columns", MIN_COLUMNS)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{what} must be an int, not {type(value).__name__}")
        if not least <= value <= MAX_SIZE:
            raise ValueError(f"{what} must be between {least} and {MAX_SIZE}, not {value}")
    if rows * columns > MAX_CELLS:
        raise ValueError(f"rows x columns must be at most {MAX_CELLS} cells, not {rows} x {columns}")
    return rows, columns


class Transcript:
    """The text of a terminal's replies, one after the other, as offsets
    count it: the newest ``limit`` characters, and how many went before.
    Appended to only by the wait that holds the terminal's turn."""

    __slots__ = ("_chunks", "_held", "_lock", "dropped", "limit")

    def __init__(self, limit: int = TRANSCRIPT_CHARS) -> None:
        self.limit = limit
        self._chunks: list[str] = []
        self._held = 0
        self.dropped = 0
        # A list and two counters changed together, read from any thread.
        self._lock = threading.Lock()

    @property
    def end(self) -> int:
        with self._lock:
            return self.dropped + self._held

    def append(self, text: str) -> int:
        """Adds ``text``; returns the offset where it ends."""
        with self._lock:
            return self._add(text)

    def append_since(self, text: str, offset: int) -> tuple[str, int, int]:
        """Adds ``text``; returns the text after ``offset`` (``text`` at its
        end), the offset that text starts at (later than ``offset`` when
        the oldest of it is no longer held) and the one it ends at. An
        offset past the end gives no text."""
        with self._lock:
            end = self._add(text)
            start = min(max(offset, self.dropped), end)
            whole = "".join(self._chunks)
            if len(self._chunks) > 1:
                self._chunks = [whole]
            return whole[start - self.dropped:], start, end

    def _add(self, text: str) -> int:
        if text:
            self._chunks.append(text)
            self._held += len(text)
            # Dropped only once twice the limit is held, so that appending
            # stays cheap.
            if self._held > 2 * self.limit:
                whole = "".join(self._chunks)
                cut = len(whole) - self.limit
                self._chunks = [whole[cut:]]
                self._held -= cut
                self.dropped += cut
        return self.dropped + self._held


class Call(Generic[R]):
    """One call of a terminal as both faces run it: ``wait`` does its
    blocking part (the sync face runs it in place, the async one on a worker
    thread); ``keys``, when set, are sent at once instead when another
    call's wait already runs, and the call then returns None; ``queued``
    says whether it waits its turn behind the other waits. The arguments
    were checked when it was made."""

    __slots__ = ("keys", "queued", "replays", "wait")

    def __init__(self, wait: Callable[[], R], *, keys: bytes | None = None, queued: bool = True,
                 replays: bool = False) -> None:
        self.wait = wait
        self.keys = keys
        self.queued = queued
        # Its reply begins with earlier text, from the transcript: text a
        # face held back for the next reply is in it already.
        self.replays = replays


class Change(NamedTuple):
    """How a `wait_for_change` ended, and the screen then.

    ``status``: ``"changed"`` (the output changed, then stayed still for
    ``quiet_ms``), ``"timeout"`` (no change, or no pause in the changes,
    before ``timeout_ms``), ``"exited"`` (the program ended), or
    ``"cancelled"``. ``screen``: as ``screen(changes_since=...)`` gives it
    for ``since``, the version the wait counted from (None without a
    screen model).
    """

    status: Literal["changed", "timeout", "exited", "cancelled"]
    screen: Screen | None
    elapsed_ms: int
    since: int = 0


class Client:
    """What a terminal is, whichever way it is driven: how it starts, what
    each call takes, says and returns, and its control, which acts at once.
    `Terminal` runs the calls in place, `AsyncTerminal` on worker threads;
    both take each call's parameters, documentation and result from here.
    """

    def __init__(self, core: Core, argv: tuple[str, ...], prompts: tuple[str, ...],
                 timeout_ms: int, quiet_ms: int | None, max_output_bytes: int,
                 contain: str | None = None) -> None:
        self._core = core
        self._contain = contain
        # A second close of a contained terminal waits for the first: its
        # caller may count on every descendant having ended when it returns.
        self._closing = threading.Lock()
        self.argv = argv
        self.prompts = prompts
        self.timeout_ms = timeout_ms
        self.quiet_ms = quiet_ms
        self.max_output_bytes = max_output_bytes
        self.pid: int = core.pid()
        self._transcript = Transcript()
        # Set by start(); a placeholder until the first wait has run.
        self.banner = Reply("", "timeout", 0)
        # The last looks at the screen, by version, oldest first: what
        # `screen(changes_since=...)` diffs against.
        self._looks: dict[int, tuple[list[str], tuple[int, int]]] = {}
        self._looks_lock = threading.Lock()
        _live.add(self)

    # ---------------------------------------------------------------- calls

    def _send(self, line: str, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
              max_output_bytes: int | None = None, paste: bool = False) -> Call[Reply]:
        """Send ``line`` and Enter (a carriage return, as the Enter key
        sends), then wait as `read` does.

        The line goes out once no other wait runs, so its answer is this
        reply's. The terminal does not echo, so the reply holds the
        program's answer only; output that arrived since the last call comes
        first.

        ``paste=True`` sends ``line`` as a terminal sends pasted text, then
        Enter: between bracketed-paste marks when the program asked
        for them, so that it takes the text verbatim. That is how to give a
        block of several lines to Python 3.13's REPL, whose auto-indent
        would otherwise add to the indentation of each typed line. (gdb
        takes a pasted block as one line: send its commands one by one.)
        """
        began = time.monotonic()
        if not isinstance(line, str) or "\0" in line:
            _word(line, "line")  # raises the right error
        data = line.encode("utf-8", "surrogateescape")
        limits = self._limits(timeout_ms, quiet_ms, max_output_bytes)

        def wait() -> Reply:
            sent = (self._core.encode_paste(data) if paste else data) + ENTER
            return self._reply(self._core.send(sent, *limits), began)
        return Call(wait)

    def _read(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
              max_output_bytes: int | None = None, since: int | None = None) -> Call[Reply]:
        """Wait until the program waits for input, goes quiet, ends, or the
        time is up, and return what it wrote meanwhile.

        ``since``, an offset an earlier reply gave (`Reply.offset`): the
        reply begins with the text after it, replies lost on the way
        included, then holds what the wait brings. When the oldest of that
        text is no longer kept (the newest 4 Mi characters are), the reply's
        ``warning`` says so and names the earliest offset still held."""
        began = time.monotonic()
        limits = self._limits(timeout_ms, quiet_ms, max_output_bytes)
        if since is None:
            return Call(lambda: self._reply(self._core.wait(*limits), began))
        if isinstance(since, bool) or not isinstance(since, int):
            raise TypeError(f"since must be an int, not {type(since).__name__}")
        if since < 0:
            raise ValueError(f"since must be at least 0, not {since}")
        # Refused before any wait: every offset a caller was given had
        # been counted before its reply was handed out.
        if since > self._transcript.end:
            raise ValueError(f"since: offset {since} is past the end of this terminal's text "
                             f"(offset {self._transcript.end})")

        def replay() -> Reply:
            # The earlier text is taken with this reply's own, in one step:
            # a wait cancelled just before this one may still be adding its
            # text when this one begins.
            return self._reply(self._core.wait(*limits), began, since)
        return Call(replay, replays=True)

    def _send_keys(self, *keys: str, text: str | None = None, timeout_ms: int | None = None,
                   quiet_ms: int | None = None, max_output_bytes: int | None = None) -> Call[Reply | None]:
        """Type ``text`` (if given) and press ``keys`` in order, without a
        line feed, then wait as `read` does.

        A key is one of: {keys}. A key that has no such shape, such as
        ``"dd"`` or ``":wq"``, is typed as it is. One that has a key's shape
        but names no key (``"Ctrl+Q2"``, ``"F13"``, ``"M-M-x"``) raises
        ValueError: a misspelt key is never typed as letters. ``text`` is
        typed as it is, whatever its shape, before the keys. The cursor keys
        follow the program's cursor-key mode, so ``Up`` works in a shell and
        in vim alike. The names are in ``KEY_NAMES``.

        The keys go out at once; when another call's wait is running, this
        returns None at once and that wait returns the program's answer. A
        lone Escape sent last may read "ready" before the program acted on
        it: vim, like readline, waits a moment (``ttimeoutlen``) to see
        whether more of a key sequence follows; `screen` a moment later
        shows its result, or send the next keys in the same call.
        """
        return self._keys_then_wait(self._encode_keys(keys, text), timeout_ms, quiet_ms, max_output_bytes)

    def _interrupt(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
                   discard: bool = False) -> Call[Reply | None]:
        """Send Ctrl-C at once, then wait as `read` does; None at once when
        another call's wait is running (that wait gets the answer, and
        nothing is dropped).

        ``discard=True`` drops the output queued once Ctrl-C is out (a flood
        the interrupt stopped) before the wait; the reply's
        ``dropped_bytes`` says how much (`history` still has it)."""
        return self._keys_then_wait(INTERRUPT, timeout_ms, quiet_ms, None, discard)

    def _screen(self, changes_since: int | None = None) -> Call[Screen | None]:
        """The screen as the program drew it, at once, also while a wait
        runs; None when the terminal keeps no screen model.

        ``changes_since``, the ``version`` of an earlier look: the result's
        ``changes`` are then the rows that differ from that look's (see
        `Screen`), the few tokens a model needs to follow a full-screen
        program. The last 16 looks are kept to diff against."""
        since = None if changes_since is None else _version(changes_since)
        return Call(lambda: self._look(since), queued=False)

    def _wait_for_change(self, *, timeout_ms: int | None = None, quiet_ms: int = DEFAULT_CHANGE_QUIET_MS,
                         changes_since: int | None = None) -> Call[Change]:
        """Wait until the screen (or, without a screen model, the output)
        changes and then stays still for ``quiet_ms``, or ``timeout_ms``
        passes; the screen's changes since then come back (`Change`).

        For programs that redraw without waiting for input (top, watch, a
        progress bar, a build), where "ready" never comes. The change is
        counted from ``changes_since`` (a version an earlier look gave),
        else from the screen when the wait begins. It waits its turn with
        `send` and `read`, and `cancel` ends it.

        It takes no output: the next `read` or `send` reply still holds
        every line that came meanwhile, since lines that scrolled off the
        screen show in no screen's changes, and `history` and `search`
        find them too. The alternate screen's replies show only the screen
        as it stands, so for vim, less or top nothing is repeated.
        """
        began = time.monotonic()
        timeout = _limit(timeout_ms, self.timeout_ms, "timeout_ms")
        quiet = _limit(quiet_ms, DEFAULT_CHANGE_QUIET_MS, "quiet_ms")
        since = None if changes_since is None else _version(changes_since)

        def wait() -> Change:
            base = since
            if base is None:
                first = self._look(None)
                base = self._core.version() if first is None else first.version
            status, _ = self._core.wait_for_change(base, timeout, quiet)
            shot = self._look(base)
            ended: Literal["changed", "timeout", "exited", "cancelled"]
            ended = "changed" if status == "quiet" else status  # type: ignore[assignment]  # the core ends no other way
            return Change(ended, shot, round((time.monotonic() - began) * 1000), base)
        return Call(wait)

    def _search(self, pattern: str, *, regex: bool = False, limit: int = 20,
                context_lines: int = 2) -> Call[list[Hit]]:
        """The first ``limit`` places where ``pattern`` occurs in `history`
        (the newest 4 MiB of output, as the lines the terminal showed), in
        order, each with ``context_lines`` lines before and after it
        (`Hit`): to find an error in a long build log without reading it.

        ``pattern`` is plain text, or with ``regex=True`` a Python regular
        expression (``^`` and ``$`` match at each line's start and end,
        ``(?i)`` makes it ignore case); at most 1000 characters. A
        regular expression runs in a process of its own and is stopped
        after 2 seconds with TimeoutError, so one that backtracks without
        end costs no more; plain text is searched here, 4 MiB in a few
        milliseconds. Answers at once, also while a wait runs.
        """
        _search.check(pattern, regex, limit, context_lines)

        def find() -> list[Hit]:
            text: str = self._core.history()
            return _search.hits(text, _search.spans(text, pattern, regex, limit), context_lines)
        return Call(find, queued=False)

    def _history(self, tail_chars: int | None = None) -> Call[str]:
        """Everything the program printed so far (the newest 4 MiB of raw
        output, as the lines the terminal showed at its width), or its last
        ``tail_chars`` characters."""
        def text() -> str:
            whole: str = self._core.history()
            if tail_chars is None:
                return whole
            return whole[-tail_chars:] if tail_chars > 0 else ""
        return Call(text, queued=False)

    def _close(self) -> Call[None]:
        """Stop the program and every process of its terminal's session
        (background jobs included), then release the terminal. A running
        wait returns with status "cancelled". Blocks no other thread: the
        interpreter lock is released while the programs end (at once for
        one that ends on SIGHUP, at most about a second for one that ignores
        every signal). A second call does nothing. A contained terminal's
        close also ends every process its program started, whatever its
        session (see ``contain`` of `start`)."""
        return Call(self._close_now, queued=False)

    # ---------------------------------------------------------------- control

    def cancel(self) -> None:
        """End the wait another call is running, at once: it returns what
        it has, with status "cancelled". Does nothing when no wait runs."""
        self._core.cancel()

    def resize(self, rows: int, columns: int) -> None:
        """Set the terminal's size: the screen takes it, then the program
        gets SIGWINCH (``stty size`` then agrees), and replies are rendered
        at the new width."""
        self._core.resize(*_size(rows, columns))

    @property
    def alive(self) -> bool:
        """Whether the program still runs (the core's own finding, also
        when the host collected the program and its status is lost)."""
        ended: bool = self._core.exit_status()[0]
        return not ended

    @property
    def exit_code(self) -> int | None:
        """The program's exit status once it exited; None while it runs,
        when a signal ended it, or when the host collected it first."""
        code: int | None = self._core.exit_status()[1]
        return code

    @property
    def signal(self) -> int | None:
        """The signal that ended the program; None while it runs, when it
        exited, or when the host collected it first."""
        signal: int | None = self._core.exit_status()[2]
        return signal

    @property
    def closed(self) -> bool:
        closed: bool = self._core.closed()
        return closed

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"pid {self.pid}"
        return f"<{type(self).__name__} {list(self.argv)!r} {state}>"

    # ---------------------------------------------------------------- inside

    # A shell's private folder of start-up files (shell.py), removed at
    # close, or when the terminal is dropped unclosed.
    _shell_files: weakref.finalize[..., Any] | None = None

    def _close_now(self) -> None:
        if self._shell_files is not None:
            self._shell_files()
        if self._contain is None:
            self._core.close()
            return
        with self._closing:
            if self._core.closed():
                return
            held = _contain.members(self._contain, self.pid)
            try:
                self._core.close()
            finally:
                _contain.end(self._contain, held)

    def _write_now(self, data: bytes) -> None:
        self._core.write(data)

    def _look(self, since: int | None) -> Screen | None:
        taken = self._core.screen()
        if taken is None:
            return None
        lines, cursor, alternate, version = taken
        before = self._keep(version, lines, cursor, since)
        if since is None:
            return Screen(lines, cursor, alternate, version)
        if before is None or len(before) != len(lines):
            return Screen(lines, cursor, alternate, version, None, True)
        changes = [(row, text) for row, (old, text) in enumerate(zip(before, lines)) if old != text]
        return Screen(lines, cursor, alternate, version, changes)

    def _keep(self, version: int, lines: list[str], cursor: tuple[int, int],
              since: int | None = None) -> list[str] | None:
        """Keeps a screen seen (by a look, or at a reply's end) to diff
        later looks against; returns the rows of ``since`` if still kept."""
        with self._looks_lock:
            before = self._looks.get(since) if since is not None else None
            self._looks.pop(version, None)
            self._looks[version] = (lines, cursor)
            while len(self._looks) > SCREENS_KEPT:
                del self._looks[next(iter(self._looks))]
        return None if before is None else before[0]

    def _kept(self, version: int | None) -> tuple[list[str], tuple[int, int]] | None:
        """The rows and cursor of a version still kept (for the MCP server)."""
        with self._looks_lock:
            return None if version is None else self._looks.get(version)

    def _limits(self, timeout_ms: int | None, quiet_ms: int | None,
                max_output_bytes: int | None) -> tuple[int, int | None, int]:
        if timeout_ms is None and quiet_ms is None and max_output_bytes is None:
            return self.timeout_ms, self.quiet_ms, self.max_output_bytes
        return (
            _limit(timeout_ms, self.timeout_ms, "timeout_ms"),
            self.quiet_ms if quiet_ms is None else _limit(quiet_ms, 0, "quiet_ms"),
            _limit(max_output_bytes, self.max_output_bytes, "max_output_bytes"),
        )

    def _encode_keys(self, keys: Sequence[str], text: str | None = None) -> bytes:
        for key in keys:
            if not isinstance(key, str):
                raise TypeError(f"keys must be str, not {type(key).__name__}")
        typed = b""
        if text is not None:
            if not isinstance(text, str):
                raise TypeError(f"text must be str, not {type(text).__name__}")
            typed = text.encode("utf-8", "surrogateescape")
        data: bytes = self._core.encode_keys([k.encode("utf-8", "surrogateescape") for k in keys])
        return typed + data

    def _keys_then_wait(self, data: bytes, timeout_ms: int | None, quiet_ms: int | None,
                        max_output_bytes: int | None, discard: bool = False) -> Call[Reply | None]:
        began = time.monotonic()
        limits = self._limits(timeout_ms, quiet_ms, max_output_bytes)

        def wait() -> Reply | None:
            answer = self._core.write_then_wait(data, *limits, discard)
            return None if answer is None else self._reply(answer, began)
        return Call(wait, keys=data)

    def _reply(self, answer: tuple[str, Status, int | None, int, int | None, int | None, bool, int, str | None,
                                   tuple[int, int, int, int, int] | None, int | None, str | None],
               began: float, since: int | None = None) -> Reply:
        text, status, prompt, queued, code, signal, running, dropped, warning, screen, command_code, cwd = answer
        version = None
        if screen is not None:
            # The text's last `shown` lines are the screen's first rows, the
            # rest blank: kept, so that changes can be counted from it.
            version, shown, rows, row, column = screen
            lines = (text[:-1].split("\n")[-shown:] if shown else []) + [""] * (rows - shown)
            self._keep(version, lines, (row, column))
        if since is None:
            offset = self._transcript.append(text)
        else:
            text, start, offset = self._transcript.append_since(text, since)
            if start > since:
                lost = (f"the text before offset {start} is no longer kept: this reply begins there, "
                        f"{start - since} characters after offset {since}")
                warning = lost if warning is None else f"{warning}; {lost}"
        return Reply(
            text, status, round((time.monotonic() - began) * 1000), code, signal,
            None if prompt is None else self.prompts[prompt], queued, running, dropped, warning, version,
            command_code, cwd, offset,
        )

    @property
    def offset(self) -> int:
        """Where the text of the replies so far ends (`Reply.offset` of the
        newest reply)."""
        return self._transcript.end


def _start(
    cls: type[C],
    argv: Sequence[str] | str,
    *,
    env: Mapping[str, str] | None = None,
    cwd: str | os.PathLike[str] | None = None,
    rows: int = 24,
    columns: int = 80,
    prompts: Sequence[str] | str | None = None,
    timeout_ms: int = DEFAULT_TIMEOUT_MS,
    quiet_ms: int | None = DEFAULT_QUIET_MS,
    max_output_bytes: int = DEFAULT_MAX_OUTPUT_BYTES,
    executable: int | None = None,
    path: str | None = None,
    record: str | os.PathLike[str] | None = None,
    screen_model: bool = True,
    contain: bool = False,
) -> Call[C]:
    """Start ``argv`` and wait for it to want input (or go quiet).

    ``argv`` is the program and its arguments, passed exactly as given
    (no shell splits or expands them; ``argv[0]`` stays as written), or a
    program name alone. The file that runs is ``argv[0]`` looked up as
    `resolve_program` does (along the ``PATH`` of ``env``, else of this
    process), opened once and run from that descriptor, so a path swapped
    after the lookup makes the start fail rather than run another file: the
    program runs by that path, checked just before the exec to still name
    the file opened, so that a script finds itself through ``$0``.
    ``executable``, an open descriptor, names the file to run instead (the
    caller keeps it); it runs from the descriptor itself (a script then
    sees ``/dev/fd/N`` as ``$0``), unless ``path`` names the path to run
    it by, checked the same way. ``env`` adds to
    (or overrides) this process's environment; ``cwd`` is the working
    folder; ``rows`` and ``columns`` the terminal's size, set before the
    program starts (at least 2 columns, at most 1,000,000 cells: other
    sizes raise ValueError, as in `resize`). ``prompts`` are texts the
    program shows when it waits for input, such as ``"(gdb) "``; they are
    optional, since the kernel shows when a program waits for input.
    ``timeout_ms``, ``quiet_ms`` and ``max_output_bytes`` bound this first
    wait and are the defaults
    of every later one. The first reply is ``banner``.

    The program is told its terminal is ``TERM=xterm-256color`` unless
    ``env`` names another, and it is one: its cursor position reports
    and device attributes are answered at once, and `screen` shows what
    it drew. ``record``, a file name, gets an asciicast v2 recording of
    the session (the output as it came, what was sent, size changes),
    which ``asciinema play`` replays. ``screen_model=False`` keeps no
    screen (`screen` returns None, and queries go unanswered): for bulk
    jobs that want neither its memory nor its work.

    `close` ends the program's terminal session: the program, its jobs,
    and whatever it started that kept the session, also once re-parented.
    A process that left the session with `setsid` while its parent
    ended, as a daemon does, is out of that reach and outlives `close`.
    ``contain=True`` reaches it too: this process becomes a child
    subreaper (for the rest of its life: orphans of its descendants are
    re-parented to it, and a thread of its own reaps those of contained
    terminals, never any other child), the program's environment gets ``MORVIK_CONTAIN``
    set to a token of this terminal, and `close` ends every process that
    carries the token or descends from the program, whatever its
    session. A process that clears its environment and is orphaned still
    escapes. For hosts that own their process, as the MCP server does.
    """
    return _starting(cls, argv, env=env, cwd=cwd, rows=rows, columns=columns, prompts=prompts,
                     timeout_ms=timeout_ms, quiet_ms=quiet_ms, max_output_bytes=max_output_bytes,
                     executable=executable, path=path, record=record, screen_model=screen_model, contain=contain)


def _shell(
    cls: type[C],
    program: str | None = None,
    *,
    env: Mapping[str, str] | None = None,
    cwd: str | os.PathLike[str] | None = None,
    rows: int = 24,
    columns: int = 80,
    prompts: Sequence[str] | str | None = None,
    timeout_ms: int = DEFAULT_TIMEOUT_MS,
    quiet_ms: int | None = DEFAULT_QUIET_MS,
    max_output_bytes: int = DEFAULT_MAX_OUTPUT_BYTES,
    executable: int | None = None,
    path: str | None = None,
    record: str | os.PathLike[str] | None = None,
    screen_model: bool = True,
    contain: bool = False,
) -> Call[C]:
    """Start an interactive shell that says how each command ended, and
    wait for its first prompt.

    ``program`` is the shell to run: a name looked up as `start` does, or a
    path; without it, ``$SHELL`` (of ``env``, else of this process), else
    bash. bash, zsh and fish get start-up files of ours, kept in a private
    folder that `close` removes: they run the user's own files first
    (``~/.bashrc``; zsh's from the user's ``ZDOTDIR``; fish's
    configuration), then make the shell mark each prompt, command and exit
    status, so that every reply carries ``command_exit_code`` (the command's
    ``$?``) and ``cwd``, and "ready" means the shell drew its next prompt.
    The prompt the user set shows unchanged; their aliases, functions and
    history work as ever. A shell that marks its commands by itself (fish 4,
    nushell) runs as it is, its marks read all the same; one without hooks
    (sh, dash) runs as `start` would run it, and its replies carry no exit
    code. Which shell it is goes by its name (``program``'s, or ``path``'s
    when ``executable`` is given). The other parameters are those of
    `start`.
    """
    return _starting(cls, program, env=env, cwd=cwd, rows=rows, columns=columns, prompts=prompts,
                     timeout_ms=timeout_ms, quiet_ms=quiet_ms, max_output_bytes=max_output_bytes,
                     executable=executable, path=path, record=record, screen_model=screen_model, contain=contain,
                     shell=True)


def _starting(
    cls: type[C],
    argv: Sequence[str] | str | None,
    *,
    env: Mapping[str, str] | None = None,
    cwd: str | os.PathLike[str] | None = None,
    rows: int = 24,
    columns: int = 80,
    prompts: Sequence[str] | str | None = None,
    timeout_ms: int = DEFAULT_TIMEOUT_MS,
    quiet_ms: int | None = DEFAULT_QUIET_MS,
    max_output_bytes: int = DEFAULT_MAX_OUTPUT_BYTES,
    executable: int | None = None,
    path: str | None = None,
    record: str | os.PathLike[str] | None = None,
    screen_model: bool = True,
    contain: bool = False,
    shell: bool = False,
) -> Call[C]:
    if shell:
        given = {**os.environ, **(env or {})}
        argv = argv if argv is not None else given.get("SHELL") or "bash"
        _word(argv, "program")
    words = [argv] if isinstance(argv, str) else list(argv or ())
    if not words:
        raise ValueError("argv names no program")
    raw_argv = [_word(w, "every argument") for w in words]
    marks = (prompts,) if isinstance(prompts, str) else tuple(prompts or ())
    for mark in marks:
        if not isinstance(mark, str):
            raise TypeError(f"prompts must be str, not {type(mark).__name__}")
        if not mark:
            raise ValueError("an empty prompt would match any output")
        if len(mark) > MAX_PROMPT_CHARS:
            raise ValueError(f"a prompt is at most {MAX_PROMPT_CHARS} characters, not {len(mark)}")
    environment = _environment(env)
    rows, columns = _size(rows, columns)
    timeout = _limit(timeout_ms, DEFAULT_TIMEOUT_MS, "timeout_ms")
    quiet = None if quiet_ms is None else _limit(quiet_ms, 0, "quiet_ms")
    cap = _limit(max_output_bytes, DEFAULT_MAX_OUTPUT_BYTES, "max_output_bytes")
    if executable is None and path is not None:
        raise ValueError("path names how to run an executable descriptor; give executable too")

    def wait() -> C:
        nonlocal environment, raw_argv
        token = None
        if contain:
            token = _contain.new_token()
            entry = f"{_contain.MARK}=".encode()
            environment = [e for e in environment if not e.startswith(entry)] + [entry + token.encode()]
        folder = None
        if cwd is not None:
            folder = os.path.abspath(os.fspath(cwd))
            if not os.path.isdir(folder):
                raise NotADirectoryError(errno.ENOTDIR, "no such folder", folder)
        own = executable is None
        run_path = path
        if executable is None:
            run_path = resolve_program(words[0], env=env, cwd=folder)
        files = None
        nonce = b""
        if shell:
            # The environment the shell gets, as its files must see it.
            shell_env = {os.fsdecode(k): os.fsdecode(v) for k, v in (e.split(b"=", 1) for e in environment)}
            integration = _shell_files.prepare(run_path or words[0], shell_env, executable)
            files, nonce = integration.folder, integration.nonce
            argv_now = [words[0], *integration.argv[1:]]
            raw_argv = [_word(w, "every argument") for w in argv_now]
            added = {_word(k, "name") + b"=": _word(v, "value") for k, v in integration.env.items()}
            environment = [e for e in environment if not any(e.startswith(a) for a in added)]
            environment += [a + v for a, v in added.items()]
        try:
            fd = open_program(run_path) if executable is None else executable  # type: ignore[arg-type]
        except BaseException:
            if files is not None:
                shutil.rmtree(files, ignore_errors=True)
            raise
        run_by = None if run_path is None else _word(run_path, "path")
        cast = -1
        try:
            if record is not None:
                cast = os.open(record, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
            core = Core(raw_argv, fd, environment, None if folder is None else os.fsencode(folder),
                        rows, columns, [m.encode() for m in marks], bool(screen_model), cast, run_by, nonce)
        except BaseException:
            if token is not None:
                _contain.started(token, None)
            if files is not None:
                shutil.rmtree(files, ignore_errors=True)
            raise
        finally:
            if own:
                os.close(fd)
            if cast >= 0:
                os.close(cast)
        if token is not None:
            _contain.started(token, core.pid())
        terminal = cls(core, tuple(words), marks, timeout, quiet, cap, token)
        if files is not None:
            terminal._shell_files = weakref.finalize(terminal, shutil.rmtree, files, True)
        terminal.banner = terminal._read().wait()
        return terminal
    return Call(wait)


if Client._send_keys.__doc__:  # None under python -OO
    Client._send_keys.__doc__ = Client._send_keys.__doc__.replace("{keys}", describe_keys())


def face(call: Callable[Concatenate[S, P], Call[R]], run: Callable[..., Any]) -> Any:
    """``run`` as the public method of ``call``: its name without the
    underscore, its parameters, its documentation, and the result of the
    `Call` (awaited when ``run`` is a coroutine function). ``run`` takes the
    terminal (or class) and a function that makes the `Call`, so that a
    coroutine checks the arguments when awaited, as any coroutine does."""
    @functools.wraps(call)
    def method(self: S, *args: P.args, **kwargs: P.kwargs) -> Any:
        return run(self, lambda: call(self, *args, **kwargs))
    method.__name__ = method.__qualname__ = call.__name__.lstrip("_")
    shape = inspect.signature(call)
    result = str(shape.return_annotation)
    if result.startswith("Call[") and result.endswith("]"):
        method.__signature__ = shape.replace(return_annotation=result[5:-1])  # type: ignore[attr-defined]
    if inspect.iscoroutinefunction(run):
        inspect.markcoroutinefunction(method)
    return method


def _in_place(call: Callable[Concatenate[Client, P], Call[R]]) -> Callable[Concatenate[Terminal, P], R]:
    method: Callable[Concatenate[Terminal, P], R] = face(call, lambda _self, make: make().wait())
    return method


def _start_in_place(call: Callable[Concatenate[type[Terminal], P], Call[Terminal]]) -> classmethod[Terminal, P, Terminal]:
    method: Callable[Concatenate[type[Terminal], P], Terminal] = face(call, lambda _cls, make: make().wait())
    return classmethod(method)


class Terminal(Client):
    """A program on its own pseudo-terminal: send a line, get a `Reply`.

    Made by `Terminal.start`, or `Terminal.shell` for a shell that says how
    each command ended. Every method may be called from any thread.
    Waits (`send`, `read`, `send_keys`, `interrupt`, `wait_for_change`) run one at a time; a
    second waits for the first. Control acts at once, even while another
    thread waits: `send_keys` and `interrupt` send their keys immediately
    and, when another thread's wait is running, return None at once, since
    that wait returns the program's answer; `cancel` ends that wait;
    `screen`, `search`, `resize`, `alive`, `exit_code`, `signal` and `pid` answer at
    once.
    """

    start = _start_in_place(_start)
    shell = _start_in_place(_shell)
    send = _in_place(Client._send)
    read = _in_place(Client._read)
    send_keys = _in_place(Client._send_keys)
    interrupt = _in_place(Client._interrupt)
    screen = _in_place(Client._screen)
    wait_for_change = _in_place(Client._wait_for_change)
    search = _in_place(Client._search)
    history = _in_place(Client._history)
    close = _in_place(Client._close)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()


def close_every_terminal() -> None:
    """Closes every terminal of this process, side by side, each with the
    interpreter lock released; returns once all are closed."""
    # A terminal still referenced when the interpreter ends (by a daemon
    # thread's frame, a module global) might never be released, and its
    # program would outlive us: at exit this closes them all.
    closing = []
    for terminal in list(_live):
        thread = threading.Thread(target=terminal._close_now)
        try:
            thread.start()
        except RuntimeError:
            # Python 3.12 starts no thread this late: one after another then.
            terminal._close_now()
            continue
        closing.append(thread)
    for thread in closing:
        thread.join()


_live: weakref.WeakSet[Client] = weakref.WeakSet()
atexit.register(close_every_terminal)
# A forked copy owns none of the terminals it inherited (their calls fail and
# their close touches nothing): it has none to close at its exit, and no
# thread to start for them.
os.register_at_fork(after_in_child=_live.clear)
