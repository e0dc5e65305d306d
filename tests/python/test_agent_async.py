"""Terminals driven from asyncio.

Protects: several terminals waiting at the same time instead of one after
another; a cancelled task's running wait ended in the core at once, with
its output carried into the next reply, and a queued call never sent;
control (interrupt) reaching the program while a call waits; elapsed_ms
counting time spent queued; and the event loop never stalling while
stubborn programs are closed; no thread, descriptor or child outlives close.
Must never cancel by the clock alone: a call is cancelled once the program
has shown (through a file) that the line arrived.
"""

import asyncio
import inspect
import time

import pytest

from morvik_agent import AsyncTerminal, Terminal

import support

PROMPT = support.SHELL_PROMPT
BASH = ["bash", "--norc", "--noprofile"]


async def shell(**options) -> AsyncTerminal:
    return await AsyncTerminal.start(BASH, env={"PS1": PROMPT}, prompts=[PROMPT], **options)


async def appears(path) -> None:
    while not path.exists():
        await asyncio.sleep(0.01)


@pytest.mark.parametrize("name", ["start", "send", "read", "send_keys", "interrupt", "screen", "history", "close"])
def test_each_async_call_takes_the_sync_parameters_docs_and_result(name):
    sync, awaited = getattr(Terminal, name), getattr(AsyncTerminal, name)
    assert awaited.__doc__ and awaited.__doc__ == sync.__doc__
    assert inspect.signature(awaited) == inspect.signature(sync)
    assert inspect.iscoroutinefunction(awaited) and not inspect.iscoroutinefunction(sync)


def test_eight_terminals_wait_in_parallel():
    async def run():
        terminals = await asyncio.gather(*(shell() for _ in range(8)))
        try:
            began = time.monotonic()
            replies = await asyncio.gather(*(t.send(f"sleep 1; echo done {n}") for n, t in enumerate(terminals)))
            took = time.monotonic() - began
        finally:
            await asyncio.gather(*(t.close() for t in terminals))
        return replies, took

    with support.no_leaks():
        replies, took = asyncio.run(run())
    assert [(r.status, r.text) for r in replies] == [("ready", f"\ndone {n}\n{PROMPT}") for n in range(8)]
    # One after another would take 8 s.
    assert took < 6, f"eight 1 s waits took {took:.1f} s together"


def test_cancelled_calls_leave_the_terminal_usable(tmp_path):
    async def run():
        async with await shell() as terminal:
            # Cancelled while its wait runs: the core ends the wait at once,
            # and its output comes first in the next reply.
            running = asyncio.ensure_future(terminal.send(f"touch {tmp_path}/a; sleep 1; echo one"))
            await appears(tmp_path / "a")
            began = time.monotonic()
            running.cancel()
            await asyncio.gather(running, return_exceptions=True)
            cancel_took = time.monotonic() - began
            after_running = await terminal.send("echo two")

            # Cancelled while still queued behind another call: never sent.
            first = asyncio.ensure_future(terminal.send(f"touch {tmp_path}/b; sleep 1; echo three"))
            await appears(tmp_path / "b")
            queued = asyncio.ensure_future(terminal.send("echo never"))
            await asyncio.sleep(0)
            queued.cancel()
            await asyncio.gather(queued, return_exceptions=True)
            after_queued = [await first, await terminal.send("echo four")]
            return running, cancel_took, after_running, queued, after_queued, await terminal.history()

    with support.no_leaks():
        running, cancel_took, after_running, queued, after_queued, history = asyncio.run(run())
    assert running.cancelled() and queued.cancelled()
    assert cancel_took < 0.5, cancel_took
    assert (after_running.status, after_running.text) == ("ready", f"\none\n{PROMPT}\ntwo\n{PROMPT}")
    assert [(r.status, r.text) for r in after_queued] == [
        ("ready", f"\nthree\n{PROMPT}"),
        ("ready", f"\nfour\n{PROMPT}"),
    ]
    assert "never" not in history


def test_interrupt_while_a_call_waits_and_elapsed_counts_the_queue():
    async def run():
        async with await shell() as terminal:
            sleeping = asyncio.ensure_future(terminal.send("sleep 30"))
            queued = asyncio.ensure_future(terminal.send("echo after"))
            await asyncio.sleep(0.5)
            began = time.monotonic()
            interrupted = await terminal.interrupt()
            took = time.monotonic() - began
            return interrupted, took, await sleeping, await queued

    with support.no_leaks():
        interrupted, took, sleeping, queued = asyncio.run(run())
    assert interrupted is None and took < 0.5, (interrupted, took)
    assert sleeping.status == "ready" and sleeping.elapsed_ms < 5000, sleeping
    assert (queued.status, queued.text) == ("ready", f"\nafter\n{PROMPT}")
    assert queued.elapsed_ms >= 450, queued  # it waited in the queue behind the sleep


@pytest.mark.serial
def test_closing_stubborn_terminals_never_stalls_the_loop():
    async def run():
        terminals = await asyncio.gather(*(
            AsyncTerminal.start(["sh", "-c", "trap '' HUP INT TERM; sleep 300 & while :; do sleep 1; done"],
                                timeout_ms=200)
            for _ in range(8)))
        gaps = []

        async def tick():
            last = time.monotonic()
            while True:
                await asyncio.sleep(0.001)
                now = time.monotonic()
                gaps.append(now - last)
                last = now

        ticker = asyncio.ensure_future(tick())
        began = time.monotonic()
        await asyncio.gather(*(t.close() for t in terminals))
        took = time.monotonic() - began
        ticker.cancel()
        return max(gaps), took

    with support.no_leaks():
        lag, took = asyncio.run(run())
    assert lag < 0.1, f"the loop stalled {lag * 1000:.0f} ms"
    assert took < 3, took


@pytest.mark.parametrize("resume", ["carry", "since"])
def test_the_text_of_a_cancelled_wait_comes_once_whether_carried_or_read_since(resume, tmp_path):
    async def run():
        async with await shell() as terminal:
            start = terminal.banner.offset
            running = asyncio.ensure_future(terminal.send(f"touch {tmp_path}/a; sleep 1; echo one"))
            await appears(tmp_path / "a")
            running.cancel()
            await asyncio.gather(running, return_exceptions=True)
            first = await (terminal.send("echo two") if resume == "carry" else terminal.read(since=start))
            second = await terminal.send("echo three")
            return start, first, second, terminal.offset

    start, first, second, end = asyncio.run(run())
    expected = {"carry": f"\none\n{PROMPT}\ntwo\n{PROMPT}", "since": f"\none\n{PROMPT}"}[resume]
    assert (first.text, second.text) == (expected, f"\nthree\n{PROMPT}")
    assert (first.offset, second.offset) == (start + len(first.text), end) == (start + len(first.text), first.offset + len(second.text))
