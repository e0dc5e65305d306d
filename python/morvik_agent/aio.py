"""`Terminal` for asyncio: every operation a coroutine, every terminal on a
thread of its own.

Owns: one worker thread per terminal, on which its `Terminal` (and so its
`Morvik` session) is created, used, closed and dropped, and the hand-over of
calls and results between that thread and the event loop. Must never let the
`Terminal` be referenced from anywhere but its worker: a session is bound to
the thread that made it, refuses every other, and one dropped elsewhere is
leaked with its program still running. The event loop never blocks: waits
happen on the worker with the interpreter lock released, so terminals wait
in parallel.
"""

from __future__ import annotations

import asyncio
import atexit
import os
import queue
import shlex
import signal
import threading
import traceback
import weakref
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Future
from dataclasses import dataclass, field, replace
from types import TracebackType
from typing import Any, Self, cast

from morvik_agent.terminal import DEFAULT_QUIET_MS, DEFAULT_TIMEOUT_MS, Reply, Terminal

# How long close() lets a call that is still waiting finish on its own
# after the program was sent SIGHUP, before it sends SIGKILL.
HANGUP_GRACE_S = 1.0


@dataclass(eq=False)
class _Call:
    """One operation for the worker, and who still wants its result."""

    run: Callable[[Terminal], Any]
    gives_reply: bool
    future: Future[Any] = field(default_factory=Future)
    abandoned: bool = False


@dataclass(frozen=True)
class _Started:
    argv: tuple[str, ...]
    prompts: tuple[str, ...]
    pid: int | None
    banner: Reply


class _Worker:
    """The thread that owns one `Terminal`, and its queue of calls.

    Output of a `send` or `read` whose caller gave up (its task was
    cancelled while the call ran) is not thrown away: it is carried into
    the text of the next reply, so the caller sees every line the program
    wrote. ``lock`` decides, for each call, whether its result goes to the
    caller or to that carry, exactly once.
    """

    def __init__(self, start: Callable[[], Terminal]) -> None:
        self.calls: queue.SimpleQueue[_Call | None] = queue.SimpleQueue()
        self.lock = threading.Lock()
        self.carry: list[str] = []
        self.running: _Call | None = None
        self.pid: int | None = None
        self.terminal: Terminal | None = None
        self.started: Future[_Started] = Future()
        self.stopped: Future[None] = Future()
        self.thread = threading.Thread(target=self._main, args=(start,), name="morvik-terminal", daemon=True)
        _live.add(self)
        self.thread.start()

    def stop(self) -> None:
        """Ask the thread to close its terminal and end; callable from anywhere."""
        self.calls.put(None)

    def _main(self, start: Callable[[], Terminal]) -> None:
        try:
            self.terminal = start()
        except BaseException as error:
            _forget_locals(error)
            self.started.set_exception(error)
            _live.discard(self)
            self.stopped.set_result(None)
            return
        try:
            self.pid = self.terminal.pid
            self.started.set_result(
                _Started(self.terminal.argv, self.terminal.prompts, self.pid, self.terminal.banner)
            )
            while (call := self.calls.get()) is not None:
                self._serve(call)
        finally:
            if self.terminal is not None:
                self.terminal.close()
            # The last reference goes here, on the session's own thread.
            self.terminal = None
            _live.discard(self)
            self.stopped.set_result(None)

    def _serve(self, call: _Call) -> None:
        # No local variable may hold the terminal: a failing call's
        # traceback keeps this frame, and travels to the event loop's thread.
        with self.lock:
            if call.abandoned or not call.future.set_running_or_notify_cancel():
                return
            self.running = call
        try:
            result = call.run(cast(Terminal, self.terminal))
        except BaseException as error:
            _forget_locals(error)
            with self.lock:
                self.running = None
                if not call.abandoned:
                    call.future.set_exception(error)
            return
        with self.lock:
            self.running = None
            if call.gives_reply:
                if self.carry:
                    result = replace(result, text="".join(self.carry) + result.text)
                    self.carry.clear()
                if call.abandoned:
                    self.carry.append(result.text)
                    return
            if not call.abandoned:
                call.future.set_result(result)


def _forget_locals(error: BaseException) -> None:
    """Drop the locals of the finished frames in ``error``'s traceback.

    They hold the terminal (``self`` of its methods), and the error is
    handed to another thread: were the terminal's last reference to go
    there, its session would be leaked instead of stopped.
    """
    traceback.clear_frames(error.__traceback__)


class AsyncTerminal:
    """A program on its own pseudo-terminal, driven from asyncio.

    Made by ``await AsyncTerminal.start(...)``, which takes the arguments of
    `Terminal.start`. Every operation is a coroutine that runs on the
    terminal's own thread; calls on one terminal run one after another in
    the order made, calls on different terminals in parallel.

    Cancelling a pending call never corrupts the terminal. A call still in
    the queue is dropped (a cancelled `send` that had not begun sends
    nothing). A call already running is finished by the worker, since a
    session cannot be stopped in the middle of a wait; if it was a `send`,
    `read` or `interrupt`, its text is put in front of the next reply's, so
    no output is lost; the next call works as usual.
    """

    def __init__(self, worker: _Worker, started: _Started) -> None:
        self._worker = worker
        self._closed = False
        self.argv = started.argv
        self.prompts = started.prompts
        self.pid = started.pid
        self.banner = started.banner
        # A terminal dropped without close() still stops its program: the
        # worker closes it on its own thread.
        self._finalizer = weakref.finalize(self, worker.stop)

    @classmethod
    async def start(
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
        """Start ``argv`` as `Terminal.start` does; the first reply is ``banner``."""

        def start() -> Terminal:
            return Terminal.start(
                argv, env=env, cwd=cwd, prompts=prompts, rows=rows, columns=columns,
                timeout_ms=timeout_ms, quiet_ms=quiet_ms,
            )

        worker = _Worker(start)
        try:
            started = await asyncio.shield(asyncio.wrap_future(worker.started))
        except asyncio.CancelledError:
            # The start goes on without us; whatever it brings up must end.
            worker.stop()
            raise
        return cls(worker, started)

    async def send(self, line: str, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """`Terminal.send` on the terminal's thread."""
        reply: Reply = await self._call(lambda t: t.send(line, timeout_ms=timeout_ms, quiet_ms=quiet_ms), True)
        return reply

    async def read(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """`Terminal.read` on the terminal's thread."""
        reply: Reply = await self._call(lambda t: t.read(timeout_ms=timeout_ms, quiet_ms=quiet_ms), True)
        return reply

    async def interrupt(self, *, timeout_ms: int | None = None, quiet_ms: int | None = None) -> Reply:
        """`Terminal.interrupt` on the terminal's thread."""
        reply: Reply = await self._call(lambda t: t.interrupt(timeout_ms=timeout_ms, quiet_ms=quiet_ms), True)
        return reply

    async def history(self, tail_chars: int | None = None) -> str:
        """`Terminal.history` on the terminal's thread."""
        text: str = await self._call(lambda t: t.history(tail_chars), False)
        return text

    async def alive(self) -> bool:
        """Whether the program still runs (False once the terminal is closed)."""
        if self._closed:
            return False
        answer: bool = await self._call(lambda t: t.alive, False)
        return answer

    @property
    def closed(self) -> bool:
        return self._closed

    async def close(self) -> None:
        """Stop the program and the terminal's thread; returns when both are gone.

        Normally the program gets the session's own stop (SIGHUP, then
        harder signals). If calls are still waiting on the terminal, the
        program is sent SIGHUP at once so their waits end (they return what
        they have), and SIGKILL if that has not ended it within a second.
        A second call only waits for the first to finish.
        """
        worker = self._worker
        stopped = asyncio.wrap_future(worker.stopped)
        if not self._closed:
            self._closed = True
            self._finalizer.detach()
            with worker.lock:
                busy = worker.running is not None or not worker.calls.empty()
            worker.stop()
            if busy and worker.pid is not None:
                _signal_child(worker.pid, signal.SIGHUP)
                done, _ = await asyncio.wait({stopped}, timeout=HANGUP_GRACE_S)
                if not done:
                    _signal_child(worker.pid, signal.SIGKILL)
        await asyncio.shield(stopped)
        # The thread has nothing left to do but return; joining it makes
        # "closed" mean that no thread of this terminal remains.
        worker.thread.join()

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
        state = "closed" if self._closed else f"pid {self.pid}"
        return f"<AsyncTerminal {shlex.join(self.argv)!r} {state}>"

    async def _call(self, run: Callable[[Terminal], Any], gives_reply: bool) -> Any:
        if self._closed:
            raise RuntimeError("the terminal is closed")
        worker = self._worker
        call = _Call(run, gives_reply)
        worker.calls.put(call)
        try:
            return await asyncio.wrap_future(call.future)
        except asyncio.CancelledError:
            with worker.lock:
                call.abandoned = True
                finished = call.future.done() and not call.future.cancelled()
                if finished and gives_reply and call.future.exception() is None:
                    worker.carry.append(call.future.result().text)
            raise


def _signal_child(pid: int, signum: int) -> None:
    # Only while the process is still our child: once the session has
    # collected it, the number may already belong to some other process.
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            parent = int(f.read().rsplit(b")", 1)[1].split()[1])
        if parent == os.getpid():
            os.kill(pid, signum)
    except (FileNotFoundError, ProcessLookupError):
        pass


def _stop_all_at_exit() -> None:
    # Worker threads are daemons, so an interpreter that ends with terminals
    # still open would freeze them mid-way; stop them properly first.
    workers = list(_live)
    for worker in workers:
        worker.stop()
    for worker in workers:
        worker.thread.join(timeout=5)


_live: set[_Worker] = set()
atexit.register(_stop_all_at_exit)
