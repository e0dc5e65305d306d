"""`Terminal` for asyncio.

Owns: running each blocking call of a `Terminal` on a thread of its own
(the core releases the interpreter lock, so terminals wait in parallel and
the event loop never blocks), the order of one terminal's waits, and the
text of a wait whose task was cancelled, which the next reply carries. Must
never block the event loop: control calls go straight to the core, which
answers at once, and everything that may wait runs on a worker thread.
"""

from __future__ import annotations

import asyncio
import os
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from types import TracebackType
from typing import Any, Self, TypeVar

from morvik_agent.terminal import (
    DEFAULT_MAX_OUTPUT_BYTES,
    DEFAULT_QUIET_MS,
    DEFAULT_TIMEOUT_MS,
    INTERRUPT,
    Reply,
    Screen,
    Terminal,
)

T = TypeVar("T")


def _on_thread(call: Callable[[], T]) -> asyncio.Future[T]:
    """Runs ``call`` on a new daemon thread; its result as a future of the
    running loop. A daemon, so that a wait still running when the
    interpreter ends never holds it up (the terminal's own finaliser stops
    the program)."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[T] = loop.create_future()

    def settle(result: T | None, error: BaseException | None) -> None:
        if future.cancelled():
            return
        if error is not None:
            future.set_exception(error)
        else:
            future.set_result(result)  # type: ignore[arg-type]

    def run() -> None:
        try:
            result = call()
        except BaseException as error:  # handed to the loop, raised there
            loop.call_soon_threadsafe(settle, None, error)
        else:
            loop.call_soon_threadsafe(settle, result, None)

    threading.Thread(target=run, name="morvik-wait", daemon=True).start()
    return future


def _close_started(start: asyncio.Future[Terminal]) -> None:
    if not start.cancelled() and start.exception() is None:
        start.result().close()


class AsyncTerminal:
    """A program on its own pseudo-terminal, driven from asyncio.

    Made by ``await AsyncTerminal.start(...)``, which takes the arguments of
    `Terminal.start`. Waits (`send`, `read`, `send_keys`, `interrupt`) run
    on worker threads, one at a time per terminal in the order made;
    terminals wait in parallel. Control (`cancel`, `resize`, `alive`,
    `exit_code`, `signal`, `pid`) goes straight to the core and answers at
    once; `screen` never queues behind a wait either, and runs on a worker
    thread, since bringing the screen model up to date may take a moment
    after a flood of output. `interrupt` and `send_keys` send their keys at once even while a
    wait runs, and then return None: that wait returns the program's answer.

    Cancelling a task never corrupts the terminal. A call still queued is
    dropped (a cancelled `send` that had not begun sends nothing). A wait
    already running is cancelled in the core at once, and its text comes
    first in the next reply, so no output is lost. ``elapsed_ms`` counts
    from the call, time spent queued included.
    """

    def __init__(self, terminal: Terminal) -> None:
        self.terminal = terminal
        self.argv = terminal.argv
        self.prompts = terminal.prompts
        self.pid = terminal.pid
        self.banner = terminal.banner
        self._turn = asyncio.Lock()
        self._carry: list[str] = []

    @classmethod
    async def start(
        cls,
        argv: Sequence[str] | str,
        *,
        env: Mapping[str, str] | None = None,
        cwd: str | None = None,
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
    ) -> Self:
        """Start ``argv`` as `Terminal.start` does; the first reply is ``banner``."""

        def start() -> Terminal:
            return Terminal.start(
                argv, env=env, cwd=cwd, rows=rows, columns=columns, prompts=prompts,
                timeout_ms=timeout_ms, quiet_ms=quiet_ms, max_output_bytes=max_output_bytes,
                executable=executable, path=path, record=record, screen_model=screen_model,
                contain=contain,
            )

        starting = _on_thread(start)
        try:
            terminal = await asyncio.shield(starting)
        except asyncio.CancelledError:
            # The start goes on without us; whatever it brings up must end.
            starting.add_done_callback(_close_started)
            raise
        return cls(terminal)

    async def send(self, line: str, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
                   max_output_bytes: int | None = None, paste: bool = False) -> Reply:
        """`Terminal.send` on a worker thread."""
        return await self._wait(lambda: self.terminal.send(
            line, timeout_ms=timeout_ms, quiet_ms=quiet_ms, max_output_bytes=max_output_bytes, paste=paste))

    async def read(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
                   max_output_bytes: int | None = None) -> Reply:
        """`Terminal.read` on a worker thread."""
        return await self._wait(lambda: self.terminal.read(
            timeout_ms=timeout_ms, quiet_ms=quiet_ms, max_output_bytes=max_output_bytes))

    async def send_keys(self, *keys: str, text: str | None = None, timeout_ms: int | None = None,
                        quiet_ms: int | None = None, max_output_bytes: int | None = None) -> Reply | None:
        """`Terminal.send_keys`: the keys go out at once; None at once while
        another call's wait runs (that wait returns the answer)."""
        data = self.terminal._encode_keys(keys, text)
        return await self._write_then_wait(data, timeout_ms, quiet_ms, max_output_bytes)

    async def interrupt(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None,
                        discard: bool = False) -> Reply | None:
        """`Terminal.interrupt`: Ctrl-C at once; None at once while another
        call's wait runs (that wait returns the answer, and nothing is
        dropped). ``discard=True`` drops the output queued once Ctrl-C is
        out; the reply's ``dropped_bytes`` says how much."""
        return await self._write_then_wait(INTERRUPT, timeout_ms, quiet_ms, None, discard)

    def cancel(self) -> None:
        """End the running wait at once (its caller gets status "cancelled")."""
        self.terminal.cancel()

    def resize(self, rows: int, columns: int) -> None:
        """`Terminal.resize`, at once."""
        self.terminal.resize(rows, columns)

    async def screen(self) -> Screen | None:
        """`Terminal.screen` on a worker thread, never behind a wait."""
        return await _on_thread(self.terminal.screen)

    async def history(self, tail_chars: int | None = None) -> str:
        """`Terminal.history`."""
        return self.terminal.history(tail_chars)

    @property
    def alive(self) -> bool:
        return self.terminal.alive

    @property
    def exit_code(self) -> int | None:
        return self.terminal.exit_code

    @property
    def signal(self) -> int | None:
        return self.terminal.signal

    @property
    def closed(self) -> bool:
        return self.terminal.closed

    async def close(self) -> None:
        """`Terminal.close` on a worker thread: the loop goes on while the
        programs end. A running wait returns with status "cancelled"."""
        await _on_thread(self.terminal.close)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"pid {self.pid}"
        return f"<AsyncTerminal {list(self.argv)!r} {state}>"

    # ---------------------------------------------------------------- inside

    async def _wait(self, call: Callable[[], Reply]) -> Reply:
        began = time.monotonic()
        async with self._turn:
            reply = await self._running(call)
        return self._with_carry(reply, began)

    async def _write_then_wait(self, data: bytes, timeout_ms: int | None, quiet_ms: int | None,
                               max_output_bytes: int | None, discard: bool = False) -> Reply | None:
        began = time.monotonic()
        if self._turn.locked():
            # Another call's wait runs (or is about to): the keys go out now,
            # straight from here, and that wait returns the answer.
            self.terminal._write(data)
            return None
        async with self._turn:
            reply = await self._running(
                lambda: self.terminal._write_then_wait(data, timeout_ms, quiet_ms, max_output_bytes, discard))
        return None if reply is None else self._with_carry(reply, began)

    async def _running(self, call: Callable[[], T]) -> T:
        waiting = _on_thread(call)
        try:
            return await asyncio.shield(waiting)
        except asyncio.CancelledError:
            # Our wait is the core's running one (we hold the turn): end it
            # now, and keep what it had for the next reply. Not awaited: a
            # cancelled scope (anyio's) would cancel that await too. The
            # next call's wait starts only once this one has returned, and
            # its result reaches the loop after this callback has run.
            self.terminal.cancel()
            waiting.add_done_callback(self._carry_text)
            raise

    def _carry_text(self, done: asyncio.Future[Any]) -> None:
        if done.cancelled() or done.exception() is not None:
            return
        result = done.result()
        if isinstance(result, Reply) and result.text:
            self._carry.append(result.text)

    def _with_carry(self, reply: Reply, began: float) -> Reply:
        elapsed = round((time.monotonic() - began) * 1000)
        if self._carry:
            text = "".join(self._carry) + reply.text
            self._carry.clear()
            return reply._replace(text=text, elapsed_ms=elapsed)
        return reply._replace(elapsed_ms=elapsed)
