"""Terminals driven from asyncio, each on a thread of its own.

Protects: several terminals waiting at the same time instead of one after
another (the event loop never blocks in a wait), and a cancelled call
leaving its terminal usable, with no output lost and no line sent twice or
sent after its caller gave up; no thread, descriptor or child outlives
close.
Must never cancel by the clock alone: a call is cancelled once the program
has shown (through a file) that the line arrived.
"""

import asyncio
import time

from morvik_agent import AsyncTerminal

import support

PROMPT = support.SHELL_PROMPT
BASH = ["bash", "--norc", "--noprofile"]


async def shell() -> AsyncTerminal:
    return await AsyncTerminal.start(BASH, env={"PS1": PROMPT}, prompts=[PROMPT])


async def appears(path) -> None:
    while not path.exists():
        await asyncio.sleep(0.01)


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
            # Cancelled while its wait runs: the worker finishes it, and its
            # output comes first in the next reply.
            running = asyncio.ensure_future(terminal.send(f"touch {tmp_path}/a; sleep 1; echo one"))
            await appears(tmp_path / "a")
            running.cancel()
            await asyncio.gather(running, return_exceptions=True)
            after_running = await terminal.send("echo two")

            # Cancelled while still queued behind another call: never sent.
            first = asyncio.ensure_future(terminal.send(f"touch {tmp_path}/b; sleep 1; echo three"))
            await appears(tmp_path / "b")
            queued = asyncio.ensure_future(terminal.send("echo never"))
            await asyncio.sleep(0)
            queued.cancel()
            await asyncio.gather(queued, return_exceptions=True)
            after_queued = [await first, await terminal.send("echo four")]
            return running, after_running, queued, after_queued, await terminal.history()

    with support.no_leaks():
        running, after_running, queued, after_queued, history = asyncio.run(run())
    assert running.cancelled() and queued.cancelled()
    assert (after_running.status, after_running.text) == ("ready", f"\none\n{PROMPT}\ntwo\n{PROMPT}")
    assert [(r.status, r.text) for r in after_queued] == [
        ("ready", f"\nthree\n{PROMPT}"),
        ("ready", f"\nfour\n{PROMPT}"),
    ]
    assert "never" not in history
