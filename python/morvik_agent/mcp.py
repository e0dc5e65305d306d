"""`morvik-mcp`: terminal programs as tools for a model, over MCP on stdio,
or on a loopback port over streamable HTTP.

Owns: the command line, the open terminals and their names, the tools, their
bounds and descriptions (which the model reads), the bound on what a reply
hands back, and the end of every terminal when the stdio client goes away,
when an HTTP server's terminal stays unused too long, or when a stop signal
comes. Must never listen beyond loopback (another host comes over ssh),
never answer an HTTP request that lacks the operator's token, never start
without the operator's word on what may run, never start a file or pass an
environment the `Policy` refuses, never leave a program running after it
exits, and never make a control tool (interrupt, keys, screen, resize, list,
close) wait for a running call. Over HTTP the terminals belong to the
server, not to a connection: a client that goes leaves them running, and
a wait on a busy terminal fails at once rather than queue behind another
client's.

The SDK is imported only once the command line has been read, so ``--help``
works, and says how to get the SDK, where the optional extra is missing.
"""

# No postponed annotations here: the SDK reads the tools' parameter types
# at run time, and some of them are names local to build_server.
import argparse
import asyncio
import contextlib
import contextvars
import hmac
import inspect
import fcntl
import ipaddress
import os
import re
import secrets
import select
import socket
import shlex
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Annotated, Any, NamedTuple

from morvik_agent.aio import AsyncTerminal
from morvik_agent.policy import Policy
from morvik_agent import contain
from morvik_agent._terminal import STATUSES, describe_keys
from morvik_agent.search import MAX_CONTEXT_LINES, MAX_HITS, MAX_PATTERN_CHARS
from morvik_agent.terminal import (DEFAULT_CHANGE_QUIET_MS, DEFAULT_QUIET_MS, DEFAULT_TIMEOUT_MS, Reply, Screen,
                                   close_every_terminal)

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer

DEFAULT_MAX_OUTPUT_CHARS = 20_000
# A scroll is told as a move of rows when it explains this many rows more
# than no move; a row that stands in more places than this votes for its
# first ones only (blank rows do not vote at all).
MIN_MOVED_ROWS = 2
MAX_ROW_VOTES = 4
# Budgets in tokens are estimated at this many characters a token (English
# and code; no tokenizer is installed with the server).
CHARS_PER_TOKEN = 4
DEFAULT_SEARCH_HITS = 20
DEFAULT_HISTORY_CHARS = 4_000
DEFAULT_MAX_TERMINALS = 16

# The bounds of the tools' arguments, in the schemas the model reads. A
# wait is at most ten minutes: a model that wants longer reads again, and a
# call that outlives its client's own timeout helps nobody.
MAX_WAIT_MS = 600_000
# A terminal of at most 500 x 500 keeps a screen model of about 18 MiB and
# a flood's cost near a small one's, so the most terminals a server keeps
# stay cheap together; the Python API allows more.
MAX_TERMINAL_SIZE = 500
MIN_TERMINAL_COLUMNS = 2
MAX_ARGS = 256
MAX_ARG_CHARS = 4096
MAX_PROMPTS = 16
MAX_PROMPT_CHARS = 256
MAX_ENV = 64
MAX_ENV_NAME_CHARS = 256
MAX_ENV_VALUE_CHARS = 8192
MAX_PATH_CHARS = 4096
MAX_LINE_CHARS = 100_000
MAX_KEYS = 256
MAX_KEY_CHARS = 4096
MAX_NAME_CHARS = 64
# What a client may name a terminal: safe in a header, a file name, a URL.
NAME_PATTERN = r"^[A-Za-z0-9_-]{1,64}$"
# Offsets stay exact in a JSON number.
MAX_OFFSET = 2**53
# Above any history the core keeps (the newest 4 MiB of output).
MAX_HISTORY_OFFSET = 64 * 1024 * 1024
MAX_OUTPUT_CHARS = 10_000_000
MAX_OUTPUT_TOKENS = MAX_OUTPUT_CHARS // CHARS_PER_TOKEN
MAX_SCREEN_VERSION = 2**63 - 1

# What a model should do next after each status; it reads this line first.
_STEPS = {
    "ready": "the program waits for input",
    "quiet": "output paused",
    "timeout": "still running: terminal_read waits longer, terminal_interrupt sends Ctrl-C",
    "exited": "the program has ended: terminal_close frees the terminal",
    "cancelled": "the wait was cancelled; the program goes on",
    "cap": "output cap reached: terminal_read returns the rest",
}
# One step for each status the core names, and none for a status it does not.
if set(_STEPS) != set(STATUSES):
    raise ImportError(f"the server's statuses {sorted(_STEPS)} are not the core's {sorted(STATUSES)}")
NEXT_STEP = {status: _STEPS[status] for status in STATUSES}

# Said of every reply that ends while the program works.
STILL_RUNNING = "still running; what you send now goes to the running program"

INSTRUCTIONS = """\
Runs interactive terminal programs (gdb, shells, REPLs, full-screen tools, \
any command-line program) on pseudo-terminals. Start one with \
terminal_start, then exchange lines with terminal_send, or keys with \
terminal_keys; terminal_screen shows what a full-screen program drew. \
Every reply begins with a status (after the exit code and folder, for a shell started with shell: true): ready (the program waits for input: its \
prompt ends the output, or the kernel shows it reading the terminal), quiet (the output paused while the program works), timeout \
(still busy after timeout_ms), exited (the program ended; the exit code or \
signal follows), cancelled, cap (the output cap was reached; terminal_read \
returns the rest). terminal_interrupt, terminal_keys, terminal_screen, \
terminal_resize, terminal_list and terminal_close answer at once, also while \
another call waits on the same terminal. The terminal does not echo what \
you send; replies hold the lines the terminal showed. To spend fewer tokens: \
every screen has a version; pass it as changes_since (terminal_screen, \
terminal_keys, terminal_send, terminal_read) to get only the rows changed \
since; terminal_wait_for_change waits for a program that redraws by itself \
(top, a progress bar, a build); terminal_search finds text in everything \
the program printed instead of reading it all. A shell (bash, zsh, fish) started with shell: true reports \
how each command ended: a reply to a command opens with "command exit code \
N" and the shell's folder, so there is no need to append `; echo $?` or run \
pwd. Each reply's first line \
ends its timing with "offset N": where its text ends; after a lost reply or a \
reconnect, terminal_read with since=N returns all the text after it."""


def bound(text: str, limit: int) -> tuple[str, int]:
    """``text`` cut to at most ``limit`` characters by leaving out its middle.

    Returns the text (first half and last half of the limit, with a line in
    between that says how much is missing) and the number of characters
    left out. The head shows how an answer began, the tail where the
    program stands now; the middle of a long listing matters least (and
    terminal_history still has it).
    """
    if len(text) <= limit:
        return text, 0
    head = limit // 2
    tail = limit - head
    omitted = len(text) - limit
    return f"{text[:head]}\n[... {omitted} characters left out ...]\n{text[len(text) - tail:]}", omitted


def ending(code: int | None, signum: int | None) -> str:
    """How a program ended, in words: "exit code 3", "killed by SIGSEGV"."""
    if signum is not None:
        try:
            name = signal.Signals(signum).name
        except ValueError:
            name = f"signal {signum}"
        return f"killed by {name}"
    return f"exit code {code}" if code is not None else "ended"


def tokens(chars: int) -> int:
    """About how many tokens ``chars`` characters are."""
    return -(-chars // CHARS_PER_TOKEN)


def budget(limit: int, max_chars: int | None, max_tokens: int | None) -> int:
    """The characters a reply may hand back: the server's bound, lowered by
    the call's own, in characters or tokens."""
    if max_chars is not None:
        limit = min(limit, max_chars)
    if max_tokens is not None:
        limit = min(limit, max_tokens * CHARS_PER_TOKEN)
    return max(limit, 1)


def left_out(omitted: int, total: int, head: int, start: int | None) -> str:
    """The header's note on a middle left out: how much, and where to get
    it. ``start``: where the text begins in the history, when it is the
    history's end (else the history holds it somewhere near its end)."""
    where = ("terminal_history has them" if start is None else
             f"terminal_history offset={start + head} limit={omitted} has them")
    return (f"{omitted} of {total} characters (about {tokens(omitted)} tokens) left out of the middle "
            f"({where}; terminal_search finds text in them)")


def changed_row(number: int, before: str | None, after: str) -> str:
    """One changed row as the model reads it: ``ROW|TEXT``, the whole row,
    or ``ROW:COLUMN|TEXT``, the row's first COLUMN - 1 characters kept and
    TEXT after them (top's figures, a progress bar), when that is shorter."""
    if before is not None:
        kept = 0
        for old, new in zip(before, after):
            if old != new:
                break
            kept += 1
        if kept > len(str(kept + 1)) + 1:
            return f"{number}:{kept + 1}|{after[kept:]}"
    return f"{number}|{after}"


def moved(before: list[str], after: list[str]) -> int:
    """How far the rows moved up (negative: down) from ``before`` to
    ``after``, as a scroll moves them; 0 unless that explains at least
    MIN_MOVED_ROWS more rows than no move. Each row votes for the moves that
    would bring it where it is now: linear in the rows, unlike trying every
    move."""
    where: dict[str, list[int]] = {}
    for i, line in enumerate(before):
        if line:
            where.setdefault(line, []).append(i)
    votes: dict[int, int] = {}
    for i, line in enumerate(after):
        for j in where.get(line, ())[:MAX_ROW_VOTES]:
            votes[j - i] = votes.get(j - i, 0) + 1
    best = max(votes, key=lambda k: (votes[k], -abs(k)), default=0)
    return best if best and votes[best] - votes.get(0, 0) >= MIN_MOVED_ROWS else 0


def screen_part(shot: Screen, since: int | None, before: list[str] | None = None) -> tuple[str, list[str]]:
    """A screen as a header piece and its rows: the whole screen, or with
    ``since`` its changes since that version (``before``: its rows, when
    still kept), unless the whole screen is shorter.

    The changes, one a line: ``A-B=C-D`` (rows A to B now hold what rows C
    to D held: a scroll), then ``ROW|TEXT`` or ``ROW:COLUMN|TEXT`` for each
    row that differs after it (see `changed_row`)."""
    row, column = shot.cursor
    where = f"version {shot.version}, cursor {row + 1},{column + 1}"
    if since is None or shot.changes is None:
        stale = "" if since is None else f"; version {since} too old to compare: whole screen"
        return where + stale, shot.lines
    if not shot.changes:
        return f"{where}; unchanged since {since}", []
    if before is None or len(before) != len(shot.lines):
        rows = [changed_row(r + 1, None, line) for r, line in shot.changes]
    else:
        n = len(before)
        shift = moved(before, shot.lines)
        rows, shifted = [], list(before)
        if shift > 0:
            shifted[:n - shift] = before[shift:]
            rows.append(f"1-{n - shift}={shift + 1}-{n}")
        elif shift < 0:
            shifted[-shift:] = before[:n + shift]
            rows.append(f"{1 - shift}-{n}=1-{n + shift}")
        rows += [changed_row(r + 1, old, new) for r, (old, new) in enumerate(zip(shifted, shot.lines)) if old != new]
    if sum(len(line) + 1 for line in rows) >= sum(len(line) + 1 for line in shot.lines):
        return f"{where}; whole screen (shorter than the changes since {since})", shot.lines
    return f"{where}; {len(rows)} changes since {since}", rows


def _blank_tail(lines: list[str]) -> int:
    """How many blank rows end ``lines`` (a reply leaves them out of a screen)."""
    count = 0
    for line in reversed(lines):
        if line:
            break
        count += 1
    return count


def render(name: str, reply: Reply, limit: int, closed: bool = False, start: int | None = None,
           screen: tuple[str, list[str]] | None = None) -> str:
    """A reply as the model sees it: how the shell's command ended and its
    folder (when the shell reports them), status and time first, then the
    text.
    ``start``: where the text begins in the history, when known; ``screen``:
    the screen's changes, which stand for the screen the text ended with."""
    body = reply.text
    if screen is not None:
        body += "".join(row + "\n" for row in screen[1])
    text, omitted = bound(body, limit)
    step = "the terminal was closed" if closed and reply.status == "cancelled" else NEXT_STEP[reply.status]
    header = f"[{name}] "
    if reply.command_exit_code is not None:
        header += f"command exit code {reply.command_exit_code}; "
    if reply.cwd is not None:
        header += f"folder {reply.cwd}; "
    header += f"status: {reply.status} ({step}); {reply.elapsed_ms} ms; offset {reply.offset}"
    if reply.status == "exited" or reply.exit_code is not None or reply.signal is not None:
        header += f"; {ending(reply.exit_code, reply.signal)}"
    if reply.status == "cap":
        header += f"; {reply.queued_bytes} more bytes queued"
    if reply.dropped_bytes:
        header += f"; {reply.dropped_bytes} queued bytes dropped"
    if reply.running:
        header += f"; {STILL_RUNNING}"
    if reply.warning:
        header += f"; {reply.warning}"
    if screen is not None:
        header += f"; screen {screen[0]}"
    if omitted:
        header += "; " + left_out(omitted, len(body), limit // 2, start if screen is None else None)
    return f"{header}\n{text}"


def state(terminal: AsyncTerminal) -> str:
    return "running" if terminal.alive else ending(terminal.exit_code, terminal.signal)


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("morvik")
    except PackageNotFoundError:  # run from a checkout that was never installed
        return "0+unknown"


class Terminals:
    """The open terminals, by name (``t1``, ``t2``, ..., or the client's).

    ``shared``: the terminals belong to a server that many clients reach
    (HTTP), so a wait on a busy terminal fails at once instead of queueing
    behind another client's."""

    def __init__(self, policy: Policy, max_output_chars: int,
                 max_terminals: int = DEFAULT_MAX_TERMINALS, record: str | None = None,
                 shared: bool = False) -> None:
        self.policy = policy
        self.limit = max_output_chars
        self.max_terminals = max_terminals
        self.record = record
        self.shared = shared
        self.open: dict[str, AsyncTerminal] = {}
        # When each terminal was last used (monotonic), and how many calls
        # are in it now: one in use is never idle.
        self.used: dict[str, float] = {}
        self.calls: dict[str, int] = {}
        self._count = 0
        self._starting = 0
        # The names clients gave to programs still starting.
        self._claimed: set[str] = set()

    def touch(self, name: str, calls: int = 0) -> None:
        if name in self.open:
            self.used[name] = time.monotonic()
            self.calls[name] = self.calls.get(name, 0) + calls

    def idle_s(self, name: str) -> float | None:
        """Seconds since ``name`` was last used; None while a call is in it."""
        if self.calls.get(name):
            return None
        return time.monotonic() - self.used.get(name, time.monotonic())

    def _new_name(self) -> str:
        while True:
            self._count += 1
            name = f"t{self._count}"
            if name not in self.open and name not in self._claimed:
                return name

    async def start(self, argv: list[str], env: dict[str, str] | None, shell: bool = False, name: str | None = None,
                    **options: Any) -> tuple[str, AsyncTerminal]:
        """Start ``argv`` as the policy allows, never by a fresh lookup: an
        allowed binary from the descriptor opened at start-up, a script by
        its canonical path, checked at the exec to name that same file.
        ``shell``: an allowed shell, started by `AsyncTerminal.shell`."""
        if len(self.open) + self._starting >= self.max_terminals:
            raise ValueError(f"this server keeps at most {self.max_terminals} terminals open; "
                             f"terminal_close one first (open: {', '.join(self.open)})")
        if name is not None and (name in self.open or name in self._claimed):
            raise ValueError(f"name: a terminal named {name} is open already; terminal_close it or choose "
                             "another name")
        if name is not None and not re.fullmatch(NAME_PATTERN, name):
            raise ValueError(f"name: {name!r} is not a name (letters, digits, - and _, at most 64)")
        env = self.policy.environment(env)
        if options.get("cwd") is not None and not os.path.isdir(options["cwd"]):
            raise ValueError(f"cwd: no such folder: {options['cwd']}")
        program = None if self.policy.any else self.policy.program(argv[0])
        fd = None if program is None else program.fd
        # A script runs by its path (checked to still name the file opened at
        # start-up), since its interpreter finds it through $0.
        path = None if program is None else program.script
        began = time.time()
        cast = None if self.record is None else self._new_file("starting", began)
        # A client's name is held while its program starts, so that a second
        # start of that name fails; a number is given only once started, so
        # that a refused start takes none.
        self._starting += 1
        if name is not None:
            self._claimed.add(name)
        try:
            if shell:
                # The shell's start-up files are ours, made for this terminal;
                # nothing of the client's names or reaches them.
                if len(argv) != 1:
                    raise ValueError("shell: true starts the shell alone: argv names only the shell")
                terminal = await AsyncTerminal.shell(argv[0], env=env, executable=fd, path=path, record=cast,
                                                      contain=True, **options)
            else:
                terminal = await AsyncTerminal.start(argv, env=env, executable=fd, path=path, record=cast,
                                                      contain=True, **options)
        except BaseException:
            if cast is not None:
                os.unlink(cast)
            raise
        finally:
            self._starting -= 1
            self._claimed.discard(name)  # type: ignore[arg-type]
        if name is None:
            name = self._new_name()
        if cast is not None:
            # The recording goes on into the same file under its new name.
            self._new_file(name, began, cast)
            os.unlink(cast)
        self.open[name] = terminal
        self.touch(name)
        return name, terminal

    def _new_file(self, name: str, when: float, source: str | None = None) -> str:
        """A new file in the recording folder named by ``name`` and the time
        (``source`` linked there, else an empty one); never an existing one."""
        assert self.record is not None
        stem = f"{name}-{time.strftime('%Y%m%d-%H%M%S', time.localtime(when))}.{int(when % 1 * 1000):03d}"
        for attempt in range(1000):
            path = os.path.join(self.record, f"{stem}{f'-{attempt}' if attempt else ''}.cast")
            try:
                if source is None:
                    os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644))
                else:
                    os.link(source, path)
            except FileExistsError:
                continue
            return path
        raise ValueError(f"no new recording file for {stem} in {self.record}")

    def get(self, name: str) -> AsyncTerminal:
        try:
            return self.open[name]
        except KeyError:
            known = ", ".join(self.open) or "none"
            raise ValueError(f"terminal: no terminal {name!r} (open: {known})") from None

    async def close(self, name: str) -> None:
        # Out of the table first: a second close, or a call that comes while
        # this one waits for the programs to end, finds no terminal.
        terminal = self.get(name)
        del self.open[name]
        self.used.pop(name, None)
        self.calls.pop(name, None)
        await terminal.close()

    async def close_idle(self, idle_s: float) -> list[str]:
        """Closes every terminal unused for ``idle_s`` seconds; their names."""
        names = [name for name in self.open if (idle := self.idle_s(name)) is not None and idle >= idle_s]
        for name in names:
            await self.close(name)
        return names

    async def close_all(self) -> None:
        terminals = list(self.open.values())
        self.open.clear()
        self.used.clear()
        self.calls.clear()
        await asyncio.gather(*(terminal.close() for terminal in terminals), return_exceptions=True)


class Caller(NamedTuple):
    """Who makes the tool call being served: the HTTP session (None on
    stdio), and the hooks its request runs once its client has gone before
    the answer (None where no connection can go alone)."""

    session: str | None
    gone: list[Callable[[], None]] | None


# The caller of the tool call this task serves.
_caller: contextvars.ContextVar[Caller] = contextvars.ContextVar("morvik_mcp_caller", default=Caller(None, None))
# Where a request's scope keeps its hooks for a client gone mid-request.
GONE_HOOKS = "morvik.gone"


def _caller_of(context: Any) -> Caller:
    try:
        request = context.request_context.request
    except (AttributeError, ValueError):  # no request: called from inside
        return Caller(None, None)
    scope = getattr(request, "scope", None)
    headers = getattr(request, "headers", None)
    return Caller(None if headers is None else headers.get("mcp-session-id"),
                  scope.get(GONE_HOOKS) if isinstance(scope, dict) else None)


def _invalid(tool: str, error: Exception) -> str:
    """A schema failure as the model can act on it: each field and its rule."""
    problems = []
    for problem in error.errors():  # type: ignore[attr-defined]
        where = ".".join(str(part) for part in problem["loc"]) or "arguments"
        problems.append(f"{where}: {problem['msg']}")
    return f"Error executing tool {tool}: invalid arguments: {'; '.join(problems)}"


def build_server(terminals: Terminals) -> "MCPServer[Any]":
    """The MCP server with its tools, working on ``terminals``."""
    import anyio
    from mcp.server.mcpserver import MCPServer
    from mcp.server.mcpserver.exceptions import ToolError
    from pydantic import Field, ValidationError

    # The arguments each tool takes: a misspelt one is an error, not a
    # silently used default.
    accepted: dict[str, list[str]] = {}

    class Server(MCPServer[Any]):
        async def call_tool(self, name: str, arguments: dict[str, Any], context: Any = None) -> Any:
            known = accepted.get(name)
            unknown = sorted(set(arguments) - set(known or ()))
            if known is not None and unknown:
                raise ToolError(f"Error executing tool {name}: unknown argument {', '.join(unknown)} "
                                f"({name} takes: {', '.join(known) or 'nothing'})")
            calling = _caller.set(_caller_of(context))
            try:
                return await super().call_tool(name, arguments, context)
            except ToolError as error:
                if isinstance(error.__cause__, ValidationError):
                    raise ToolError(_invalid(name, error.__cause__)) from error.__cause__
                raise
            finally:
                _caller.reset(calling)

    policy = terminals.policy
    server = Server("morvik", version=package_version(), instructions=INSTRUCTIONS, log_level="WARNING")
    limit = terminals.limit

    def tool(name: str, description: str | None = None) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
        def register(function: Callable[..., Any]) -> Callable[..., Any]:
            accepted[name] = list(inspect.signature(function).parameters)
            return server.tool(name=name, description=description, structured_output=False)(function)
        return register

    def failed(error: Exception) -> ToolError:
        # Expected failures reach the model as their own message; any other
        # exception would reach it as a bare "Error executing tool".
        return ToolError(str(error))

    def text(maximum: int, description: str, minimum: int = 0) -> Any:
        return Field(min_length=minimum, max_length=maximum, description=description)

    Name = Annotated[str, text(MAX_NAME_CHARS, "The terminal's name as terminal_start returned it, e.g. t1.", 1)]
    NewName = Annotated[str | None, Field(
        min_length=1, max_length=MAX_NAME_CHARS, pattern=NAME_PATTERN,
        description="Optional: the terminal's name (letters, digits, - and _), for finding it again later, "
        "also from another connection; unique among open terminals. Default: t1, t2, ...")]
    Timeout = Annotated[int, Field(
        ge=0, le=MAX_WAIT_MS,
        description="How long to wait for the program, in milliseconds (at most 10 minutes). "
        "Raise it for slow commands; after a timeout, terminal_read waits again.")]
    Quiet = Annotated[int | None, Field(
        ge=0, le=MAX_WAIT_MS,
        description="For programs that pause without waiting for input: the pause that ends a reply, "
        "in ms. Default: the value given to terminal_start.")]
    Rows = Annotated[int, Field(ge=1, le=MAX_TERMINAL_SIZE, description="Terminal height in lines.")]
    Columns = Annotated[int, Field(ge=MIN_TERMINAL_COLUMNS, le=MAX_TERMINAL_SIZE,
                                   description="Terminal width in characters; raise it for wide output.")]
    MaxChars = Annotated[int | None, Field(
        ge=1, le=limit, description=f"Optional: hand back at most this many characters (the server's "
        f"bound, {limit}, is the most); a longer reply leaves out its middle and says where to find it.")]
    MaxTokens = Annotated[int | None, Field(
        ge=1, le=MAX_OUTPUT_TOKENS, description=f"Optional: the same bound in tokens, estimated at "
        f"{CHARS_PER_TOKEN} characters a token.")]
    ChangesSince = Annotated[int | None, Field(
        ge=0, le=MAX_SCREEN_VERSION, description="Optional: a screen version an earlier reply gave "
        "(\"version N, cursor ROW,COLUMN\"). Instead of the whole screen, only its changes since that "
        "version come back, one a line: A-B=C-D (rows A to B now hold what rows C to D held), then for "
        "each row that differs ROW|TEXT (the row is TEXT; rows from 1) or ROW:COLUMN|TEXT (the row keeps "
        "its first COLUMN - 1 characters, then TEXT). The whole screen when that is shorter or the "
        "version too old; \"unchanged\" when nothing changed.")]
    Word = Annotated[str, Field(max_length=MAX_ARG_CHARS)]
    Prompt = Annotated[str, Field(min_length=1, max_length=MAX_PROMPT_CHARS)]
    EnvName = Annotated[str, Field(min_length=1, max_length=MAX_ENV_NAME_CHARS)]
    EnvValue = Annotated[str, Field(max_length=MAX_ENV_VALUE_CHARS)]
    Key = Annotated[str, Field(min_length=1, max_length=MAX_KEY_CHARS)]

    if policy.any:
        may_start = "This server may start any program."
        may_set = "Environment variables to add for the program."
    else:
        may_start = f"This server may start only: {policy.describe()}; argv[0] must name one of them."
        names = sorted(policy.env_names - set(policy.fixed_names()))
        may_set = "Environment variables to add for the program. " + (
            f"This server lets clients set only: {', '.join(names)}." if names else
            "This server lets clients set none: leave env out.")

    # What the core and the policy raise for a request they refuse; any
    # other exception is a fault of ours, which the SDK keeps from the model.
    refusals = (OSError, RuntimeError, ValueError, TypeError)

    async def run(call: Any) -> Any:
        try:
            return await call
        except refusals as error:
            raise failed(error) from error

    def attempt(function: Callable[..., Any], *args: Any) -> Any:
        try:
            return function(*args)
        except refusals as error:
            raise failed(error) from error

    def shown(found: AsyncTerminal, shot: Screen, since: int | None, bound_to: int) -> tuple[str, str, str]:
        """A screen's header piece, the note on a middle left out, and its
        rows as they follow the header (see `screen_part`)."""
        kept = found._kept(since)
        where, rows = screen_part(shot, since, None if kept is None else kept[0])
        text, omitted = bound("\n".join(rows), bound_to)
        cut = f"; {omitted} characters (about {tokens(omitted)} tokens) left out of the middle" if omitted else ""
        return where, cut, f"\n{text}" if rows else ""

    async def answer(name: str, found: AsyncTerminal, reply: Reply, bound_to: int,
                     since: int | None = None) -> str:
        closed = terminals.open.get(name) is not found
        screen: tuple[str, list[str]] | None = None
        shown = None if reply.screen_version is None else found._kept(reply.screen_version)
        if shown is not None and reply.screen_version is not None:
            lines, (row, column) = shown
            rows = len(lines) - _blank_tail(lines)
            if since is None:
                end = f"rows 1-{rows} end the text" if rows else "blank"
                screen = (f"version {reply.screen_version}, cursor {row + 1},{column + 1}; {end}", [])
            else:
                # The text ends with this screen: its changes stand for it.
                kept = found._kept(since)
                before = None if kept is None else kept[0]
                changes = None if before is None or len(before) != len(lines) else [
                    (r, line) for r, (old, line) in enumerate(zip(before, lines)) if old != line]
                shot = Screen(lines, (row, column), False, reply.screen_version, changes, changes is None)
                block = sum(len(line) + 1 for line in lines[:rows])
                reply = reply._replace(text=reply.text[:len(reply.text) - block])
                screen = screen_part(shot, since, before)
        start = None
        if screen is None and len(reply.text) > bound_to and not closed:
            whole = await run(found.history())
            if whole.endswith(reply.text):
                start = len(whole) - len(reply.text)
        return render(name, reply, bound_to, closed, start, screen)

    def lookup(name: str) -> AsyncTerminal:
        try:
            found = terminals.get(name)
        except ValueError as error:
            raise failed(error) from error
        terminals.touch(name)
        return found

    # The sessions whose calls wait on each terminal, newest last.
    holders: dict[str, list[str | None]] = {}

    async def wait_on(name: str, found: AsyncTerminal, call: Any, control: bool = False) -> Any:
        """``call``, a wait on ``found``, run for the caller: refused at
        once on a shared server when another wait runs there (a control
        call, which then only sends its keys, is not), and ended when the
        caller's client goes away before the answer, so that the terminal
        is free for the next client at once (the text it had comes first
        in the next reply, and from ``since`` as ever)."""
        caller = _caller.get()
        if terminals.shared and not control and found.busy:
            call.close()
            whose = "another call" if caller.session in holders.get(name, ()) else "another client's call"
            raise failed(ValueError(f"terminal {name} is busy with {whose}; terminal_read it again once "
                                    "that call returned"))
        mine = holders.setdefault(name, [])
        mine.append(caller.session)
        terminals.touch(name, +1)
        try:
            with anyio.CancelScope() as scope:
                if caller.gone is not None:
                    caller.gone.append(scope.cancel)
                return await run(call)
            raise failed(ValueError(f"terminal {name}: the client went away before the answer"))
        finally:
            mine.remove(caller.session)
            if not mine and holders.get(name) is mine:
                del holders[name]
            terminals.touch(name, -1)

    async def start(
        argv: Annotated[
            list[Word],
            Field(min_length=1, max_length=MAX_ARGS,
                  description='The program and its arguments, e.g. ["gdb", "-q", "./a.out"]. '
                  "No shell is involved: each item arrives as one argument."),
        ],
        prompts: Annotated[
            list[Prompt] | None,
            Field(max_length=MAX_PROMPTS,
                  description='Optional: texts the program shows when it waits for input, e.g. ["(gdb) "]. '
                  "A reply is ready when one ends the output. Usually not needed: a reply is also ready "
                  "when the program is seen waiting for input."),
        ] = None,
        env: Annotated[dict[EnvName, EnvValue] | None, Field(max_length=MAX_ENV, description=may_set)] = None,
        cwd: Annotated[str | None, text(MAX_PATH_CHARS, "The program's working folder.", 1)] = None,
        rows: Rows = 24,
        columns: Columns = 80,
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
        quiet_ms: Annotated[int | None, Field(
            ge=0, le=MAX_WAIT_MS,
            description="Optional: a pause in the output, in ms, that ends a reply while the program "
            "works (the default of this terminal's later calls). Without it a reply waits for the "
            "program to wait for input, end, or timeout_ms.")] = DEFAULT_QUIET_MS,
        shell: Annotated[bool, Field(
            description="Start the shell argv names (bash, zsh or fish; argv holds it alone) so that it "
            "reports each command's exit code and folder: every reply then opens with them, and ready "
            "means the shell waits for the next command. No need to append `; echo $?`.")] = False,
        name: NewName = None,
    ) -> str:
        name, terminal = await run(terminals.start(
            argv, env, shell, name, prompts=prompts, cwd=cwd, rows=rows, columns=columns,
            timeout_ms=timeout_ms, quiet_ms=quiet_ms,
        ))
        started = f"started {shlex.join(terminal.argv)} as terminal {name} (pid {terminal.pid})"
        return f"{started}\n{await answer(name, terminal, terminal.banner, limit)}"

    tool("terminal_start", description=(
        "Start a program on its own terminal and wait until it waits for input. "
        f"{may_start} Returns the terminal's name (use it in the other tools), then the program's "
        "first output and status. The terminal stays open until terminal_close, also after the "
        "program ended."))(start)

    @tool("terminal_send")
    async def send(
        terminal: Name,
        line: Annotated[str, text(MAX_LINE_CHARS, "One line of input; Enter is pressed after it.")],
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
        quiet_ms: Quiet = None,
        paste: Annotated[bool, Field(
            description="Send the line as pasted text (bracketed paste where the program asks for it), so "
            "that a block of several lines arrives as written: how to give a def block to Python 3.13's "
            "REPL, which would indent typed lines again.")] = False,
        changes_since: ChangesSince = None,
        max_chars: MaxChars = None,
        max_tokens: MaxTokens = None,
    ) -> str:
        """Send a line of input, then wait until the program waits for input
        again, goes quiet, ends, or timeout_ms passes. Returns the status and
        the output (the line itself is not echoed)."""
        found = lookup(terminal)
        reply = await wait_on(terminal, found, found.send(line, timeout_ms=timeout_ms, quiet_ms=quiet_ms, paste=paste))
        return await answer(terminal, found, reply, budget(limit, max_chars, max_tokens), changes_since)

    @tool("terminal_read")
    async def read(terminal: Name, timeout_ms: Timeout = DEFAULT_TIMEOUT_MS, quiet_ms: Quiet = None,
                   since: Annotated[int | None, Field(
                       ge=0, le=MAX_OFFSET,
                       description="Optional: an offset a reply's header gave (offset N). The reply begins "
                       "with all the text after it, also what replies lost on the way carried (after a "
                       "reconnect), then waits as usual.")] = None,
                   changes_since: ChangesSince = None, max_chars: MaxChars = None,
                   max_tokens: MaxTokens = None) -> str:
        """Wait for more output without sending anything: after a timeout
        status, or for a program that prints by itself (terminal_wait_for_change
        suits one that redraws a screen). With since, first the text after
        that offset: how to carry on after a lost reply or a reconnect, with
        no character lost or repeated."""
        found = lookup(terminal)
        reply = await wait_on(terminal, found, found.read(timeout_ms=timeout_ms, quiet_ms=quiet_ms, since=since))
        return await answer(terminal, found, reply, budget(limit, max_chars, max_tokens), changes_since)

    @tool("terminal_keys")
    async def keys(
        terminal: Name,
        keys: Annotated[
            list[Key] | None,
            Field(min_length=1, max_length=MAX_KEYS,
                  description='Keys, pressed in order after text, e.g. ["Escape", ":wq", "Enter"]. '
                  f"A key is one of: {describe_keys()}. An item without a key's shape (\":wq\", \"dd\") is "
                  "typed as it is; one that looks like a key but is none is refused."),
        ] = None,
        text: Annotated[str | None, text(MAX_LINE_CHARS, "Text typed as it is, whatever it looks like, "
                                         "before the keys; no Enter is added.")] = None,
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
        quiet_ms: Quiet = None,
        changes_since: ChangesSince = None,
        max_chars: MaxChars = None,
        max_tokens: MaxTokens = None,
    ) -> str:
        """Press keys in the program (a full-screen program, a menu, a
        question that wants one key, Ctrl-D), then wait as terminal_read
        does. While another call waits on this terminal, the keys go out at
        once and that call returns the program's answer. After a lone
        Escape, vim waits a moment for more of a key sequence: read its
        screen with terminal_screen rather than trusting a "ready" at once."""
        if not keys and text is None:
            raise failed(ValueError("terminal_keys: give keys, text or both"))
        found = lookup(terminal)
        reply = await wait_on(terminal, found, found.send_keys(*(keys or ()), text=text, timeout_ms=timeout_ms,
                                                               quiet_ms=quiet_ms), control=True)
        if reply is None:
            return f"[{terminal}] keys sent; the call waiting on {terminal} returns the program's answer"
        return await answer(terminal, found, reply, budget(limit, max_chars, max_tokens), changes_since)

    @tool("terminal_interrupt")
    async def interrupt(terminal: Name, timeout_ms: Timeout = DEFAULT_TIMEOUT_MS, discard: Annotated[bool, Field(
            description="Drop the output queued once Ctrl-C is out (a flood it stopped); "
            "the reply says how much. terminal_history still has it.")] = False,
            max_chars: MaxChars = None, max_tokens: MaxTokens = None) -> str:
        """Send Ctrl-C at once and wait for the program to answer: stops the
        running command of a shell, pauses the program under gdb. While
        another call waits on this terminal, Ctrl-C is sent at once and that
        call returns the program's answer."""
        found = lookup(terminal)
        reply = await wait_on(terminal, found, found.interrupt(timeout_ms=timeout_ms, discard=discard), control=True)
        if reply is None:
            return f"[{terminal}] Ctrl-C sent; the call waiting on {terminal} returns the program's answer"
        return await answer(terminal, found, reply, budget(limit, max_chars, max_tokens))

    @tool("terminal_resize")
    async def resize(terminal: Name, rows: Rows, columns: Columns) -> str:
        """Change the terminal's size; the program is told (SIGWINCH) and
        redraws. Answers at once."""
        found = lookup(terminal)
        attempt(found.resize, rows, columns)
        return f"[{terminal}] resized to {rows} rows, {columns} columns ({state(found)})"

    @tool("terminal_screen")
    async def screen(terminal: Name, changes_since: ChangesSince = None, max_chars: MaxChars = None,
                     max_tokens: MaxTokens = None) -> str:
        """The terminal's screen as the program drew it: every row, the
        cursor, whether a full-screen program (vim, less, top) has the
        alternate screen, and the screen's version; with changes_since, only
        the rows changed since that version. Read it to drive a full-screen
        program with terminal_keys. Answers at once, also while a call waits."""
        found = lookup(terminal)
        shot = await run(found.screen(changes_since=changes_since))
        if shot is None:
            raise failed(ValueError(f"terminal: {terminal} keeps no screen"))
        which = "alternate screen" if shot.alternate else "main screen"
        where, cut, body = shown(found, shot, changes_since, budget(limit, max_chars, max_tokens))
        return f"[{terminal}] {which}, {len(shot.lines)} rows, {where}; {state(found)}{cut}{body}"

    @tool("terminal_wait_for_change")
    async def wait_for_change(
        terminal: Name,
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
        quiet_ms: Annotated[int, Field(
            ge=0, le=MAX_WAIT_MS, description="How long the screen must stay still after a change, in ms "
            "(longer than a progress bar's steps, shorter than the program's refresh).")] = DEFAULT_CHANGE_QUIET_MS,
        changes_since: ChangesSince = None,
        max_chars: MaxChars = None,
        max_tokens: MaxTokens = None,
    ) -> str:
        """For programs that redraw without waiting for input (top, watch, a
        progress bar, a build), where a reply is never "ready": wait until the
        screen changes and then stays still for quiet_ms (status changed), or
        timeout_ms passes (timeout), or the program ends (exited). Returns the
        rows changed since changes_since. Takes no
        output: a later terminal_read or terminal_send still returns the lines
        printed meanwhile. Without changes_since, the whole screen."""
        found = lookup(terminal)
        change = await wait_on(terminal, found, found.wait_for_change(timeout_ms=timeout_ms, quiet_ms=quiet_ms,
                                                                      changes_since=changes_since))
        head = f"[{terminal}] {change.status} after {change.elapsed_ms} ms"
        if change.screen is None:
            return f"{head}; {state(found)} (the terminal keeps no screen: terminal_read returns the output)"
        # Without changes_since the model holds no screen to apply changes to.
        where, cut, body = shown(found, change.screen, changes_since, budget(limit, max_chars, max_tokens))
        return f"{head}; {where}; {state(found)}{cut}{body}"

    @tool("terminal_search")
    async def search(
        terminal: Name,
        pattern: Annotated[str, text(MAX_PATTERN_CHARS, "The text to find, or with regex a Python regular "
                                     "expression (^ and $ match at line ends; (?i) ignores case).", 1)],
        regex: Annotated[bool, Field(description="pattern is a regular expression (stopped after 2 s if "
                                     "it backtracks without end).")] = False,
        limit: Annotated[int, Field(ge=1, le=MAX_HITS, description="The most hits, from the oldest.")] = DEFAULT_SEARCH_HITS,
        context_lines: Annotated[int, Field(ge=0, le=MAX_CONTEXT_LINES,
                                            description="Lines shown before and after each hit.")] = 2,
        max_chars: MaxChars = None,
        max_tokens: MaxTokens = None,
    ) -> str:
        """Find text in everything the program printed (the newest 4 MiB of
        output, as terminal_history pages it) instead of reading it all:
        each hit's offset (terminal_history's offset), its line number and the
        lines around it, the hit's line marked with >."""
        found = lookup(terminal)
        hits = await run(found.search(pattern, regex=regex, limit=limit + 1, context_lines=context_lines))
        more = len(hits) > limit
        hits = hits[:limit]
        blocks = []
        for hit in hits:
            lines = [f"{'>' if hit.first_line + i == hit.line else ' '}{hit.first_line + i + 1}|{line}"
                     for i, line in enumerate(hit.lines)]
            blocks.append(f"@{hit.offset} line {hit.line + 1}\n" + "\n".join(lines))
        text, omitted = bound("\n".join(blocks), budget(terminals.limit, max_chars, max_tokens))
        head = f"[{terminal}] {len(hits)} hit{'s' if len(hits) != 1 else ''}"
        if more:
            head += f" (the first {limit}; more follow: raise limit or narrow the pattern)"
        if omitted:
            head += f"; {omitted} characters (about {tokens(omitted)} tokens) left out of the middle"
        return f"{head}\n{text}" if hits else f"{head} for {pattern!r}"

    @tool("terminal_history")
    async def history(
        terminal: Name,
        offset: Annotated[int | None, Field(
            ge=0, le=MAX_HISTORY_OFFSET,
            description="Where the page begins, in characters from the start of the history. "
            "Default: the last `limit` characters.")] = None,
        limit: Annotated[int, Field(
            ge=1, le=terminals.limit,
            description=f"How many characters to return (at most {terminals.limit}).")] = min(
                DEFAULT_HISTORY_CHARS, terminals.limit),
    ) -> str:
        """Page through everything the program printed since it started
        (what replies showed and what they left out of the middle). The
        header says which characters this is and how many there are in all;
        the oldest output goes once 4 MiB are kept, so offsets move then."""
        found = lookup(terminal)
        whole = await run(found.history())
        total = len(whole)
        first = max(0, total - limit) if offset is None else min(offset, total)
        page = whole[first:first + limit]
        return f"[{terminal}] history characters {first} to {first + len(page)} of {total}\n{page}"

    @tool("terminal_list")
    async def list_terminals() -> str:
        """The open terminals: name, program, whether it still runs (or
        how it ended), the offset its text ends at (terminal_read since
        it) and how long it has been unused. Answers at once, also while
        calls wait."""
        if not terminals.open:
            return "no open terminals"

        def unused(name: str) -> str:
            idle = terminals.idle_s(name)
            return "in use" if idle is None else f"idle {idle:.0f} s"
        return "\n".join(
            f"{name}: {shlex.join(terminal.argv)} (pid {terminal.pid}, {state(terminal)}, "
            f"offset {terminal.offset}, {unused(name)})"
            for name, terminal in terminals.open.items()
        )

    @tool("terminal_close")
    async def close(terminal: Name) -> str:
        """Stop the program (and everything it started on its terminal) and
        close the terminal. A call waiting on it returns at once."""
        found = lookup(terminal)
        await run(terminals.close(terminal))
        return f"closed {terminal} ({state(found)})"

    return server


async def serve(terminals: Terminals) -> None:
    """Serve one client on stdin and stdout until it goes or a stop signal comes."""
    import anyio

    server = build_server(terminals)
    _watch_stdout()
    gone = False
    async with anyio.create_task_group() as group:
        group.start_soon(_stop_on_signal, terminals)
        try:
            await server.run_stdio_async()
        except* BrokenPipeError:
            gone = True
        finally:
            with anyio.CancelScope(shield=True):
                await terminals.close_all()
            group.cancel_scope.cancel()
    if gone:
        _client_gone()


# ---------------------------------------------------------------- HTTP

# Random bytes in a token: 256 bits, well above the 128 a guess must beat.
TOKEN_BYTES = 32
# The cookie a browser page gets for a right ``?token=``.
TOKEN_COOKIE = "morvik_token"
DEFAULT_IDLE_CLOSE_MINUTES = 60.0
# How long the SDK keeps an HTTP session with no request in flight (a
# connected client holds its notification stream open, so this is one
# that went without a word): what a killed client's session costs is held
# this long at most.
SESSION_IDLE_S = 10 * 60
# The longest a terminal outlives its idle limit; shorter limits are
# checked four times as often.
IDLE_CHECK_S = 30.0
# The Host and Origin headers a request may carry: loopback names on any
# port, so that an `ssh -L` forward to another local port still works. A
# page of another site reaching the port (DNS rebinding) names that site.
LOOPBACK_HOSTS = ["127.0.0.1:*", "localhost:*", "[::1]:*"]
LOOPBACK_ORIGINS = ["http://127.0.0.1:*", "http://localhost:*", "http://[::1]:*"]


class Gate:
    """Lets through only requests that carry the operator's token, as a
    bearer header, a cookie, or a ``token`` query parameter (which sets the
    cookie, for a browser page); answers 401 to any other before anything
    behind it runs. Every credential a request carries must be right, and
    each is compared in constant time.

    Also runs the request's hooks for a client gone mid-request (see
    `Caller`): a response not sent to its end means nobody reads it."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token.encode()

    def _right(self, given: str) -> bool:
        return hmac.compare_digest(given.encode("utf-8", "surrogateescape"), self.token)

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            await self.app(scope, receive, send)
            return
        from starlette.datastructures import Headers, QueryParams
        from starlette.requests import cookie_parser
        from starlette.responses import PlainTextResponse

        headers = Headers(scope=scope)
        given: list[str] = []
        for value in headers.getlist("authorization"):
            kind, _, credential = value.partition(" ")
            given.append(credential.strip() if kind.lower() == "bearer" else "")
        cookies = [cookie_parser(value).get(TOKEN_COOKIE) for value in headers.getlist("cookie")]
        given += [cookie for cookie in cookies if cookie is not None]
        queried = QueryParams(scope.get("query_string", b"").decode("latin-1")).getlist("token")
        given += queried
        if scope["type"] != "http" or not given or not all([self._right(g) for g in given]):
            refusal = PlainTextResponse(
                "morvik-mcp: this server answers only requests with its token: the header "
                "Authorization: Bearer TOKEN (the token is in the file named at its start)\n",
                status_code=401, headers={"WWW-Authenticate": 'Bearer realm="morvik-mcp"'})
            if scope["type"] == "http":
                await refusal(scope, receive, send)
            return
        ended = False

        async def answer(message: dict[str, Any]) -> None:
            nonlocal ended
            if message["type"] == "http.response.start" and queried:
                cookie = (f"{TOKEN_COOKIE}={self.token.decode()}; HttpOnly; SameSite=Strict; Path=/").encode()
                message = {**message, "headers": [*message.get("headers", []), (b"set-cookie", cookie)]}
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                ended = True
            await send(message)

        gone: list[Callable[[], None]] = []
        scope[GONE_HOOKS] = gone
        try:
            await self.app(scope, receive, answer)
        finally:
            if not ended:
                for hook in gone:
                    hook()


def listen_address(value: str) -> tuple[str, int]:
    """``[HOST:]PORT`` as a loopback address to bind; ValueError for any
    other (with the way to reach a loopback port from another host)."""
    host, colon, port_text = value.rpartition(":")
    if not colon:
        host = "127.0.0.1"
    host = host.removeprefix("[").removesuffix("]")
    if not port_text.isdigit() or not 0 <= int(port_text) <= 65535:
        raise ValueError(f"--http {value}: not a port: {port_text!r} (give PORT or HOST:PORT, PORT 0 for any free one)")
    port = int(port_text)
    if host == "localhost":
        host = "127.0.0.1"
    try:
        loopback = ipaddress.ip_address(host).is_loopback
    except ValueError:
        loopback = False
    if not loopback:
        raise ValueError(
            f"--http {value}: {host} is not a loopback address; this server listens only on 127.0.0.1 or ::1, "
            f"where only this machine reaches it. From another host, forward a port to it over ssh: "
            f"ssh -L {port or 'PORT'}:127.0.0.1:{port or 'PORT'} THIS_HOST")
    return host, port


def bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        listener.bind((host, port))
        listener.listen(128)
    except BaseException:
        listener.close()
        raise
    return listener


def token_path(given: str | None, port: int) -> str:
    """Where the token goes: ``given``, else a file named by the port in
    $XDG_RUNTIME_DIR/morvik or ~/.local/state/morvik (made user-only).
    ValueError when the folder is one another user may enter."""
    if given is None:
        runtime = os.environ.get("XDG_RUNTIME_DIR")
        folder = os.path.join(runtime, "morvik") if runtime else os.path.expanduser("~/.local/state/morvik")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        path = os.path.join(folder, f"mcp-{port}.token")
    else:
        path = os.path.abspath(given)
        folder = os.path.dirname(path)
    try:
        found = os.stat(folder)
    except OSError as error:
        raise ValueError(f"--token-file {path}: its folder: {error.strerror}") from None
    if found.st_uid != os.getuid() or found.st_mode & 0o077:
        raise ValueError(f"--token-file {path}: its folder {folder} is open to other users "
                         f"(mode {found.st_mode & 0o777:o}, owner {found.st_uid}); chmod 700 it or choose another")
    return path


def write_token(path: str) -> str:
    """A new random token, written to ``path`` (mode 0600, replacing any
    file there in one step, never through a link)."""
    token = secrets.token_urlsafe(TOKEN_BYTES)
    new = f"{path}.{os.getpid()}.new"
    fd = os.open(new, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
    try:
        os.fchmod(fd, 0o600)
        os.write(fd, f"{token}\n".encode())
        os.replace(new, path)
    except BaseException:
        os.unlink(new)
        raise
    finally:
        os.close(fd)
    return token


async def serve_http(terminals: Terminals, listener: socket.socket, token: str, token_file: str,
                     idle_close_s: float) -> None:
    """Serve MCP's streamable HTTP at /mcp on ``listener`` until a stop signal comes."""
    import anyio
    import uvicorn
    from mcp.server.transport_security import TransportSecuritySettings

    class Web(uvicorn.Server):
        # The stop signals are ours (_stop_on_signal): every terminal ends
        # first, which uvicorn's own handling would leave to the exit.
        @contextlib.contextmanager
        def capture_signals(self) -> Any:
            yield

    server = build_server(terminals)
    security = TransportSecuritySettings(enable_dns_rebinding_protection=True,
                                         allowed_hosts=LOOPBACK_HOSTS, allowed_origins=LOOPBACK_ORIGINS)
    app = server.streamable_http_app(streamable_http_path="/mcp", transport_security=security,
                                     session_idle_timeout=SESSION_IDLE_S)
    web = Web(uvicorn.Config(Gate(app, token), log_config=None, log_level="warning", access_log=False,
                             lifespan="on", timeout_graceful_shutdown=1))
    host, port = listener.getsockname()[:2]
    where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    print(f"morvik-mcp: serving MCP at http://{where}/mcp; send the header Authorization: Bearer TOKEN, "
          f"the token being in {token_file}", file=sys.stderr, flush=True)
    async with anyio.create_task_group() as group:
        group.start_soon(_stop_on_signal, terminals, lambda: _remove(token_file))
        if idle_close_s > 0:
            group.start_soon(_close_idle, terminals, idle_close_s)
        try:
            await web.serve(sockets=[listener])
        finally:
            with anyio.CancelScope(shield=True):
                await terminals.close_all()
            _remove(token_file)
            group.cancel_scope.cancel()


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


async def _close_idle(terminals: Terminals, idle_s: float) -> None:
    import anyio

    while True:
        await anyio.sleep(min(IDLE_CHECK_S, idle_s / 4))
        for name in await terminals.close_idle(idle_s):
            print(f"morvik-mcp: closed {name}, unused for {idle_s / 60:g} minutes", file=sys.stderr, flush=True)


_gone = threading.Lock()


def _client_gone() -> None:
    """Ends every terminal and this process, with one line that says why:
    nobody reads our stdout any more. From any thread; the first caller
    does it, a second waits for the end. No orderly return: the transport's
    reader thread may sit in a read of stdin that nothing ends (a killed
    client's stdin may be held open by another process), and the
    interpreter's flush of stdout at exit would fail again."""
    if not _gone.acquire(blocking=False):
        threading.Event().wait()
    close_every_terminal()
    print("morvik-mcp: the client went away (broken pipe); every program was stopped", file=sys.stderr, flush=True)
    os._exit(1)


def _watch_stdout() -> None:
    """Calls `_client_gone` from a thread of its own once nobody can read
    our stdout: a pipe whose reader closed polls as an error, also while no
    reply is being written. Watches a copy taken now, since the transport
    moves the wire off descriptor 1."""
    wire = fcntl.fcntl(sys.stdout.fileno(), fcntl.F_DUPFD_CLOEXEC, 3)

    def watch() -> None:
        poller = select.poll()
        poller.register(wire, 0)
        while not any(flags & (select.POLLERR | select.POLLHUP) for _, flags in poller.poll()):
            pass
        _client_gone()

    threading.Thread(target=watch, name="morvik-mcp-stdout", daemon=True).start()


async def _stop_on_signal(terminals: Terminals, cleanup: Callable[[], None] | None = None) -> None:
    import anyio

    with anyio.open_signal_receiver(signal.SIGTERM, signal.SIGHUP, signal.SIGINT) as received:
        async for signum in received:
            await terminals.close_all()
            if cleanup is not None:
                cleanup()
            # Not an orderly return: the transport's reader thread may sit in
            # a read of stdin that nothing will end. Die of the signal, as
            # the sender expects, with every program already stopped.
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)


def parse_options(args: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="morvik-mcp",
        description="An MCP server (stdio, or streamable HTTP on a loopback port) that lets a model run "
        "interactive terminal programs such as gdb, shells and REPLs: start them with arguments, send lines "
        "and keys, read what the terminal shows, interrupt, close. For another host, let the MCP client run "
        "it over ssh (ssh HOST morvik-mcp --allow PROGRAM), or forward a port to an --http server with "
        "ssh -L.",
        epilog="Every program is stopped, with everything it started (daemons that left its session "
        "included), when the server gets SIGTERM; on stdio also when the client disconnects, over HTTP "
        "once unused for --idle-close minutes.",
    )
    parser.add_argument(
        "--allow", action="append", metavar="PROGRAM", default=[],
        help="a program that clients may start (a name looked up along this PATH now, or a path); "
        "repeatable. It is opened at start-up and always run from that file; clients start it by this "
        "name, its path, or the last part of its path, and by no other name (--allow rbash allows "
        "rbash, not bash).",
    )
    parser.add_argument(
        "--allow-any", action="store_true",
        help="let clients start any program with any environment (instead of --allow)",
    )
    parser.add_argument(
        "--allow-env", action="append", metavar="NAME", default=[],
        help="an environment variable that clients may set for the programs they start; repeatable, "
        "none by default. Variables of this server's own environment are never changed.",
    )
    parser.add_argument(
        "--max-output-chars", type=_bounded(1, MAX_OUTPUT_CHARS), default=DEFAULT_MAX_OUTPUT_CHARS, metavar="N",
        help="the most characters of output one reply hands back; longer output keeps its head "
        f"and tail (default {DEFAULT_MAX_OUTPUT_CHARS})",
    )
    parser.add_argument(
        "--max-output-tokens", type=_bounded(1, MAX_OUTPUT_TOKENS), metavar="N",
        help=f"the same bound in tokens, estimated at {CHARS_PER_TOKEN} characters a token; the lower of "
        "the two holds. A client may lower either for one call (max_chars, max_tokens)",
    )
    parser.add_argument(
        "--record", metavar="DIR",
        help="write an asciicast v2 recording of each terminal into DIR, named by the terminal and the "
        "time (asciinema play replays it)",
    )
    parser.add_argument(
        "--max-terminals", type=_bounded(1, 1000), default=DEFAULT_MAX_TERMINALS, metavar="N",
        help=f"the most terminals open at once (default {DEFAULT_MAX_TERMINALS})",
    )
    parser.add_argument(
        "--http", metavar="[HOST:]PORT",
        help="serve MCP's streamable HTTP at http://HOST:PORT/mcp instead of stdio; HOST is 127.0.0.1 "
        "(the default) or ::1, never another (from another host: ssh -L PORT:127.0.0.1:PORT HOST), "
        "PORT 0 any free one. Every request needs the token written to --token-file. The terminals "
        "belong to the server: a client that goes leaves them running for the next.",
    )
    parser.add_argument(
        "--token-file", metavar="FILE",
        help="with --http, where to write the new token (mode 0600, in a folder only you may enter); "
        "default $XDG_RUNTIME_DIR/morvik/mcp-PORT.token, or ~/.local/state/morvik/mcp-PORT.token",
    )
    parser.add_argument(
        "--idle-close", type=_minutes, default=DEFAULT_IDLE_CLOSE_MINUTES, metavar="MINUTES",
        help="with --http, close a terminal nobody has used for MINUTES (default "
        f"{DEFAULT_IDLE_CLOSE_MINUTES:g}; 0 never)",
    )
    return parser.parse_args(args)


def _minutes(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of minutes: {text!r}") from None
    if not 0 <= value <= 525_600:
        raise argparse.ArgumentTypeError(f"must be between 0 and 525600 minutes (a year), not {text}")
    return value


def _bounded(low: int, high: int) -> Callable[[str], int]:
    def number(text: str) -> int:
        value = int(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low} and {high}, not {value}")
        return value
    return number


def main(args: Sequence[str] | None = None) -> int:
    options = parse_options(args)
    if options.allow_any and options.allow:
        print("morvik-mcp: --allow-any and --allow exclude each other", file=sys.stderr)
        return 2
    if not options.allow_any and not options.allow:
        print("morvik-mcp: not starting: name the programs clients may run with --allow PROGRAM "
              "(or let them run anything with --allow-any)", file=sys.stderr)
        return 2
    if options.allow_any:
        policy = Policy(None)
        print("morvik-mcp: warning: --allow-any: clients may start any program, with any environment, "
              f"as user {os.getuid()} ({os.environ.get('USER', 'unknown')})", file=sys.stderr)
    else:
        try:
            policy = Policy.allowing(options.allow, options.allow_env)
        except ValueError as error:
            print(f"morvik-mcp: {error}", file=sys.stderr)
            return 2
        for program in policy.scripts():
            print(f"morvik-mcp: --allow {program.name}: a script, run by its interpreter "
                  f"{program.interpreter}; it runs as {program.script}, and only while that path "
                  "still names the file opened now", file=sys.stderr)
        for name in policy.fixed_names():
            print(f"morvik-mcp: warning: --allow-env {name}: this server's own {name} stays; "
                  "clients cannot change it", file=sys.stderr)
    if options.record is not None and not (os.path.isdir(options.record) and os.access(options.record, os.W_OK)):
        print(f"morvik-mcp: --record {options.record}: not a folder this server may write in", file=sys.stderr)
        return 2
    try:
        import anyio
        import mcp  # noqa: F401
    except ImportError:
        print("morvik-mcp needs the MCP SDK: pip install 'morvik[mcp]'", file=sys.stderr)
        return 2
    record = None if options.record is None else os.path.abspath(options.record)
    if options.http is None:
        # Orphans of the programs' descendants (daemons, `setsid` jobs) come
        # here rather than to init, so a terminal's close can still end them.
        contain.ensure()
        limit = budget(options.max_output_chars, None, options.max_output_tokens)
        anyio.run(serve, Terminals(policy, limit, options.max_terminals, record))
        return 0
    try:
        host, port = listen_address(options.http)
        listener = bind(host, port)
    except (ValueError, OSError) as error:
        print(f"morvik-mcp: {error}", file=sys.stderr)
        return 2
    try:
        path = token_path(options.token_file, listener.getsockname()[1])
        token = write_token(path)
    except (ValueError, OSError) as error:
        print(f"morvik-mcp: {error}", file=sys.stderr)
        listener.close()
        return 2
    contain.ensure()
    limit = budget(options.max_output_chars, None, options.max_output_tokens)
    terminals = Terminals(policy, limit, options.max_terminals, record, shared=True)
    anyio.run(serve_http, terminals, listener, token, path, options.idle_close * 60)
    return 0


if __name__ == "__main__":
    sys.exit(main())
