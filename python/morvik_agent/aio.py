"""`Terminal` for asyncio.

Owns: running each call of a terminal (as the shared `Client` defines it)
on a thread of its own (the core releases the interpreter lock, so
terminals wait in parallel and the event loop never blocks), the order of
one terminal's waits, and the text of a wait whose task was cancelled,
which the next reply carries. Must never block the event loop: control
calls go straight to the core, which answers at once, and everything that
may wait runs on a worker thread.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Callable, Coroutine
from types import TracebackType
from typing import Any, Concatenate, ParamSpec, Self, TypeVar

from morvik_agent._terminal import Core
from morvik_agent.terminal import Call, Client, Reply, _shell, _start, face

T = TypeVar("T")
R = TypeVar("R")
P = ParamSpec("P")


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


def _close_started(start: asyncio.Future[AsyncTerminal]) -> None:
    if not start.cancelled() and start.exception() is None:
        start.result()._close_now()


def _awaited(
        call: Callable[Concatenate[Client, P], Call[R]]) -> Callable[Concatenate[AsyncTerminal, P], Coroutine[Any, Any, R]]:
    async def run(self: AsyncTerminal, make: Callable[[], Call[R]]) -> R:
        return await self._run(make())
    method: Callable[Concatenate[AsyncTerminal, P], Coroutine[Any, Any, R]] = face(call, run)
    return method


async def _started(cls: type[AsyncTerminal], make: Callable[[], Call[AsyncTerminal]]) -> AsyncTerminal:
    starting = _on_thread(make().wait)
    try:
        return await asyncio.shield(starting)
    except asyncio.CancelledError:
        # The start goes on without us; whatever it brings up must end.
        starting.add_done_callback(_close_started)
        raise


def _start_awaited(call: Callable[Concatenate[type[AsyncTerminal], P], Call[AsyncTerminal]],
                   ) -> classmethod[AsyncTerminal, P, Coroutine[Any, Any, AsyncTerminal]]:
    method: Callable[Concatenate[type[AsyncTerminal], P], Coroutine[Any, Any, AsyncTerminal]] = face(call, _started)
    return classmethod(method)


class AsyncTerminal(Client):
    """A program on its own pseudo-terminal, driven from asyncio.

    Made by ``await AsyncTerminal.start(...)``, which takes the arguments of
    `Terminal.start` (or ``await AsyncTerminal.shell(...)``, those of
    `Terminal.shell`); every call takes the arguments of `Terminal`'s and
    gives its result. Waits (`send`, `read`, `send_keys`, `interrupt`,
    `wait_for_change`) run
    on worker threads, one at a time per terminal in the order made;
    terminals wait in parallel. Control (`cancel`, `resize`, `alive`,
    `exit_code`, `signal`, `pid`) goes straight to the core and answers at
    once; `screen`, `search`, `history` and `close` never queue behind a wait either,
    and run on worker threads, since bringing the screen model up to date
    may take a moment after a flood of output. `interrupt` and `send_keys`
    send their keys at once even while a wait runs, and then return None:
    that wait returns the program's answer.

    Cancelling a task never corrupts the terminal. A call still queued is
    dropped (a cancelled `send` that had not begun sends nothing). A wait
    already running is cancelled in the core at once, and its text comes
    first in the next reply, so no output is lost. ``elapsed_ms`` counts
    from the call, time spent queued included.
    """

    def __init__(self, core: Core, argv: tuple[str, ...], prompts: tuple[str, ...],
                 timeout_ms: int, quiet_ms: int | None, max_output_bytes: int,
                 contain: str | None = None) -> None:
        super().__init__(core, argv, prompts, timeout_ms, quiet_ms, max_output_bytes, contain)
        self._turn = asyncio.Lock()
        self._carry: list[str] = []

    start = _start_awaited(_start)
    shell = _start_awaited(_shell)
    send = _awaited(Client._send)
    read = _awaited(Client._read)
    send_keys = _awaited(Client._send_keys)
    interrupt = _awaited(Client._interrupt)
    screen = _awaited(Client._screen)
    wait_for_change = _awaited(Client._wait_for_change)
    search = _awaited(Client._search)
    history = _awaited(Client._history)
    close = _awaited(Client._close)

    @property
    def busy(self) -> bool:
        """Whether a wait of this terminal runs or waits its turn."""
        return self._turn.locked()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        await self.close()

    # ---------------------------------------------------------------- inside

    async def _run(self, call: Call[R]) -> R:
        if not call.queued:
            return await _on_thread(call.wait)
        began = time.monotonic()
        if call.keys is not None and self._turn.locked():
            # Another call's wait runs (or is about to): the keys go out now,
            # straight from here, and that wait returns the answer.
            self._write_now(call.keys)
            return None  # type: ignore[return-value]  # a keys call's result may be None
        async with self._turn:
            result = await self._running(call.wait)
        if call.replays:
            # The text held back is in the transcript this reply began with.
            self._carry.clear()
        if isinstance(result, Reply):
            return self._with_carry(result, began)  # type: ignore[return-value]
        return result

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
            self.cancel()
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
