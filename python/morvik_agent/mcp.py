"""`morvik-mcp`: terminal programs as tools for a model, over MCP on stdio.

Owns: the command line, the open terminals of one connection and their
names, the tools and their descriptions (which the model reads), the bound
on what a reply hands back, and the end of every terminal when the client
goes away or a stop signal comes. Must never listen on a network (stdio is
the only transport), never start a program that ``--allow`` does not name
when it is given (the file is checked once, by its identity, and run from
the descriptor that was checked), never leave a program running after it
exits, and never make a control tool (interrupt, list, close) wait for a
running call.

The SDK is imported only once the command line has been read, so ``--help``
works, and says how to get the SDK, where the optional extra is missing.
"""

# No postponed annotations here: the SDK reads the tools' parameter types
# at run time, and some of them are names local to build_server.
import argparse
import asyncio
import os
import shlex
import signal
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Annotated, Any

from morvik_agent.aio import AsyncTerminal
from morvik_agent.terminal import DEFAULT_QUIET_MS, DEFAULT_TIMEOUT_MS, Reply, open_program, resolve_program

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer

DEFAULT_MAX_OUTPUT_CHARS = 20_000
DEFAULT_HISTORY_CHARS = 4_000

# What a model should do next after each status; it reads this line first.
NEXT_STEP = {
    "ready": "the program waits for input",
    "quiet": "output paused",
    "timeout": "still running: terminal_read waits longer, terminal_interrupt sends Ctrl-C",
    "exited": "the program has ended: terminal_close frees the terminal",
    "cancelled": "the wait was cancelled; the program goes on",
    "cap": "output cap reached: terminal_read returns the rest",
}

INSTRUCTIONS = """\
Runs interactive terminal programs (gdb, shells, REPLs, any command-line \
program) on pseudo-terminals. Start one with terminal_start, then exchange \
lines with terminal_send. Every reply begins with a status: ready (the \
program waits for input: its prompt ends the output, or the kernel shows \
it reading the terminal, with or without prompts), quiet (no prompt was \
given and the output paused while the program works), timeout (still busy \
after timeout_ms), exited (the program ended; the exit code or signal \
follows), cap (the output cap was reached; terminal_read returns the rest). \
terminal_interrupt and terminal_list answer at once, also while another \
call waits. The terminal does not echo what you send, and escape sequences \
are removed from the output."""


def bound(text: str, limit: int) -> tuple[str, int]:
    """``text`` cut to at most ``limit`` characters by leaving out its middle.

    Returns the text (first half and last half of the limit, with a line in
    between that says how much is missing) and the number of characters
    left out. The head shows how an answer began, the tail where the
    program stands now; the middle of a long listing matters least.
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


def render(name: str, reply: Reply, limit: int) -> str:
    """A reply as the model sees it: status and time first, then the text."""
    text, omitted = bound(reply.text, limit)
    header = f"[{name}] status: {reply.status} ({NEXT_STEP[reply.status]}); {reply.elapsed_ms} ms"
    if reply.status == "exited" or reply.exit_code is not None or reply.signal is not None:
        header += f"; {ending(reply.exit_code, reply.signal)}"
    if reply.status == "cap":
        header += f"; {reply.queued_bytes} more bytes queued"
    if omitted:
        header += f"; {omitted} of {len(reply.text)} characters left out of the middle"
    return f"{header}\n{text}"


class Terminals:
    """The terminals of one connection, by name (``t1``, ``t2``, ...)."""

    def __init__(self, allowed: dict[tuple[int, int], str] | None, max_output_chars: int) -> None:
        # The allowed files by identity (device, inode), with their paths.
        self.allowed = allowed
        self.limit = max_output_chars
        self.open: dict[str, AsyncTerminal] = {}
        self._count = 0

    def open_allowed(self, program: str, env: dict[str, str] | None, cwd: str | None) -> int:
        """A descriptor of the file ``program`` resolves to, if it may be
        started; else ValueError. The file is checked through the descriptor
        it will run from, so a path swapped afterwards changes nothing."""
        path = resolve_program(program, env=env, cwd=cwd)
        fd = open_program(path)
        if self.allowed is not None:
            st = os.fstat(fd)
            if (st.st_dev, st.st_ino) not in self.allowed:
                os.close(fd)
                permitted = ", ".join(sorted(self.allowed.values()))
                raise ValueError(f"{program} ({path}) is not allowed here; this server may start: {permitted}")
        return fd

    async def start(self, argv: list[str], **options: Any) -> tuple[str, AsyncTerminal]:
        if not argv:
            raise ValueError("argv names no program")
        fd = self.open_allowed(argv[0], options.get("env"), options.get("cwd"))
        try:
            terminal = await AsyncTerminal.start(argv, executable=fd, **options)
        finally:
            os.close(fd)
        self._count += 1
        name = f"t{self._count}"
        self.open[name] = terminal
        return name, terminal

    def get(self, name: str) -> AsyncTerminal:
        try:
            return self.open[name]
        except KeyError:
            known = ", ".join(self.open) or "none"
            raise ValueError(f"no terminal {name!r} (open: {known})") from None

    async def close(self, name: str) -> None:
        await self.get(name).close()
        del self.open[name]

    async def close_all(self) -> None:
        terminals = list(self.open.values())
        self.open.clear()
        await asyncio.gather(*(terminal.close() for terminal in terminals), return_exceptions=True)


def build_server(terminals: Terminals) -> "MCPServer[Any]":
    """The MCP server with its tools, working on ``terminals``."""
    from mcp.server.mcpserver import MCPServer
    from mcp.server.mcpserver.exceptions import ToolError
    from pydantic import Field

    server: "MCPServer[Any]" = MCPServer("morvik", instructions=INSTRUCTIONS, log_level="WARNING")
    limit = terminals.limit

    def failed(error: Exception) -> ToolError:
        # Expected failures reach the model as their own message; any other
        # exception would reach it as a bare "Error executing tool".
        return ToolError(str(error))

    Name = Annotated[str, Field(description="The terminal's name as terminal_start returned it, e.g. t1.")]
    Timeout = Annotated[
        int,
        Field(ge=0, description="How long to wait for the prompt, in milliseconds. Raise it for slow commands."),
    ]

    @server.tool(name="terminal_start", structured_output=False)
    async def start(
        argv: Annotated[
            list[str],
            Field(min_length=1, description='The program and its arguments, e.g. ["gdb", "-q", "./a.out"]. '
                  "No shell is involved: each item arrives as one argument."),
        ],
        prompts: Annotated[
            list[str] | None,
            Field(description='Optional: texts the program shows when it waits for input, e.g. ["(gdb) "]. '
                  "A reply is ready when one ends the output. Usually not needed: a reply is also ready "
                  "when the program is seen waiting for input, and otherwise ends once the output pauses "
                  "for quiet_ms."),
        ] = None,
        env: Annotated[
            dict[str, str] | None,
            Field(description="Environment variables to set or override for the program."),
        ] = None,
        cwd: Annotated[str | None, Field(description="The program's working folder.")] = None,
        rows: Annotated[int, Field(ge=1, le=1000, description="Terminal height.")] = 24,
        columns: Annotated[int, Field(ge=1, le=1000, description="Terminal width; raise it for wide output.")] = 80,
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
        quiet_ms: Annotated[
            int, Field(ge=0, description="For programs without prompts: the pause that ends a reply, in ms.")
        ] = DEFAULT_QUIET_MS,
    ) -> str:
        """Start a program on its own terminal and wait for its first prompt.

        Returns the terminal's name (use it in the other tools), then the
        program's first output and status. The terminal stays open until
        terminal_close, also after the program ended.
        """
        try:
            name, terminal = await terminals.start(
                argv, prompts=prompts, env=env, cwd=cwd, rows=rows, columns=columns,
                timeout_ms=timeout_ms, quiet_ms=quiet_ms,
            )
        except (OSError, ValueError) as error:
            raise failed(error) from error
        started = f"started {shlex.join(terminal.argv)} as terminal {name} (pid {terminal.pid})"
        return f"{started}\n{render(name, terminal.banner, limit)}"

    @server.tool(name="terminal_send", structured_output=False)
    async def send(
        terminal: Name,
        line: Annotated[str, Field(description="One line of input; a line feed is added.")],
        timeout_ms: Timeout = DEFAULT_TIMEOUT_MS,
    ) -> str:
        """Send a line of input, then wait until the program shows its prompt
        again, goes quiet, ends, or timeout_ms passes. Returns the status and
        the output (the line itself is not echoed)."""
        try:
            reply = await terminals.get(terminal).send(line, timeout_ms=timeout_ms)
        except (RuntimeError, ValueError) as error:
            raise failed(error) from error
        return render(terminal, reply, limit)

    @server.tool(name="terminal_read", structured_output=False)
    async def read(terminal: Name, timeout_ms: Timeout = DEFAULT_TIMEOUT_MS) -> str:
        """Wait for more output without sending anything: after a timeout
        status, or for a program that prints by itself."""
        try:
            reply = await terminals.get(terminal).read(timeout_ms=timeout_ms)
        except (RuntimeError, ValueError) as error:
            raise failed(error) from error
        return render(terminal, reply, limit)

    @server.tool(name="terminal_interrupt", structured_output=False)
    async def interrupt(terminal: Name, timeout_ms: Timeout = DEFAULT_TIMEOUT_MS) -> str:
        """Send Ctrl-C at once and wait for the program to answer: stops the
        running command of a shell, pauses the program under gdb. While
        another call waits on this terminal, Ctrl-C is sent at once and that
        call returns the program's answer."""
        try:
            reply = await terminals.get(terminal).interrupt(timeout_ms=timeout_ms)
        except (RuntimeError, ValueError) as error:
            raise failed(error) from error
        if reply is None:
            return f"[{terminal}] Ctrl-C sent; the call waiting on {terminal} returns the program's answer"
        return render(terminal, reply, limit)

    @server.tool(name="terminal_history", structured_output=False)
    async def history(
        terminal: Name,
        tail_chars: Annotated[
            int, Field(ge=1, description="How many characters to return, counted from the end.")
        ] = DEFAULT_HISTORY_CHARS,
    ) -> str:
        """The end of everything the program printed since it started (what
        replies showed and what they left out)."""
        try:
            text = await terminals.get(terminal).history(tail_chars)
        except (RuntimeError, ValueError) as error:
            raise failed(error) from error
        return bound(text, limit)[0]

    @server.tool(name="terminal_list", structured_output=False)
    async def list_terminals() -> str:
        """The open terminals: name, program and whether it still runs (or
        how it ended). Answers at once, also while calls wait."""
        if not terminals.open:
            return "no open terminals"
        lines = []
        for name, terminal in terminals.open.items():
            state = "running" if terminal.alive else ending(terminal.exit_code, terminal.signal)
            lines.append(f"{name}: {shlex.join(terminal.argv)} (pid {terminal.pid}, {state})")
        return "\n".join(lines)

    @server.tool(name="terminal_close", structured_output=False)
    async def close(terminal: Name) -> str:
        """Stop the program and close its terminal."""
        try:
            await terminals.close(terminal)
        except ValueError as error:
            raise failed(error) from error
        return f"closed {terminal}"

    return server


async def serve(terminals: Terminals) -> None:
    """Serve one client on stdin and stdout until it goes or a stop signal comes."""
    import anyio

    server = build_server(terminals)
    async with anyio.create_task_group() as group:
        group.start_soon(_stop_on_signal, terminals)
        try:
            await server.run_stdio_async()
        finally:
            with anyio.CancelScope(shield=True):
                await terminals.close_all()
            group.cancel_scope.cancel()


async def _stop_on_signal(terminals: Terminals) -> None:
    import anyio

    with anyio.open_signal_receiver(signal.SIGTERM, signal.SIGHUP, signal.SIGINT) as received:
        async for signum in received:
            await terminals.close_all()
            # Not an orderly return: the transport's reader thread may sit in
            # a read of stdin that nothing will end. Die of the signal, as
            # the sender expects, with every program already stopped.
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)


def parse_options(args: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="morvik-mcp",
        description="An MCP server (stdio transport) that lets a model run interactive terminal programs "
        "such as gdb, shells and REPLs: start them with arguments, send lines, read clean output, "
        "interrupt, close.",
        epilog="Every program is stopped when the client disconnects or the server gets SIGTERM.",
    )
    parser.add_argument(
        "--allow", action="append", metavar="PROGRAM", default=None,
        help="a program that may be started (a name looked up along PATH, or a path); repeatable. "
        "Requests are compared by the file they resolve to, which is then run from the descriptor "
        "that was checked. Without it, any program may be started.",
    )
    parser.add_argument(
        "--max-output-chars", type=_positive, default=DEFAULT_MAX_OUTPUT_CHARS, metavar="N",
        help="the most characters of output one reply hands back; longer output keeps its head "
        f"and tail (default {DEFAULT_MAX_OUTPUT_CHARS})",
    )
    return parser.parse_args(args)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main(args: Sequence[str] | None = None) -> int:
    options = parse_options(args)
    allowed = None
    if options.allow is not None:
        try:
            allowed = {}
            for name in options.allow:
                path = os.path.realpath(resolve_program(name))
                st = os.stat(path)
                allowed[(st.st_dev, st.st_ino)] = path
        except (OSError, ValueError) as error:
            print(f"morvik-mcp: --allow: {error}", file=sys.stderr)
            return 2
    try:
        import anyio
        import mcp  # noqa: F401
    except ImportError:
        print("morvik-mcp needs the MCP SDK: pip install 'morvik[mcp]'", file=sys.stderr)
        return 2
    anyio.run(serve, Terminals(allowed, options.max_output_chars))
    return 0


if __name__ == "__main__":
    sys.exit(main())
