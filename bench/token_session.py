"""A scripted 50-step session through `morvik-mcp`, played two ways: vim
editing a file, less paging and searching a log, top for a few seconds, and
a build with a progress bar in bash.

"full": the agent reads whole screens (a full-screen program's replies, a
terminal_screen after each step of the build, terminal_read to watch top
and the build). "changes": the same keys with changes_since, and
terminal_wait_for_change to watch, so that only changed rows come back.
Each way counts the characters the tools handed back. In the "changes" way
the agent keeps each terminal's screen from the changes alone, and after
every step a look that is not counted checks it against the real screen of
the same version: `play` returns how many steps were checked and which
differed.

bench_agent.py (part G) plays both ways and reports the counts; the tests
play the "changes" way and check every step's screen.
"""

from __future__ import annotations

import os
import re
import sys
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path

import anyio

BUILD = r"""#!/bin/bash
for i in $(seq 1 20); do
  bar=$(printf '%*s' "$i" '' | tr ' ' '#')
  printf '\r[%-20s] %3d%%' "$bar" $((i * 5))
  sleep 0.25
  if (( i % 4 == 0 )); then printf '\rcompiled part %d of 5              \n' $((i / 4)); fi
done
echo "build finished"
"""

LOG = "".join(
    f"{n:04d} {'ERROR disk quota exceeded' if n % 97 == 0 else 'warning: unused variable' if n % 41 == 0 else 'ok'}"
    f" step {n} of the nightly job\n" for n in range(1, 801))

# (terminal, tool, arguments); "watch" is a wait for a program that redraws
# by itself, "look" a step after which the agent wants the screen.
VIM = [("vim", "start", {"argv": ["vim", "-Nu", "NONE", "-i", "NONE", "notes.txt"]})] + [
    ("vim", "keys", {"keys": keys}) for keys in (
        ["i"], ["first line of notes", "Enter"], ["second line", "Enter"], ["third line here", "Enter"],
        ["fourth", "Enter"], ["Escape"], [":set number", "Enter"], ["gg"], ["dd"], ["u"], ["x"],
        ["/third", "Enter"], ["o", "an added line", "Escape"], [":w", "Enter"], [":q", "Enter"])]
LESS = [("less", "start", {"argv": ["less", "job.log"]})] + [
    ("less", "keys", {"keys": keys}) for keys in (
        ["Space"], ["Space"], ["b"], ["/ERROR", "Enter"], ["n"], ["n"], ["N"], ["50%"], ["G"], ["g"],
        ["/warning", "Enter"], ["Space"], ["j"], ["q"])]
TOP = [("top", "start", {"argv": ["top", "-d", "1"]})] + [("top", "watch", {})] * 6 + [("top", "keys", {"keys": ["q"]})]
SHELL = [("build", "start", {"argv": ["bash", "--norc", "--noprofile"], "env": {"PS1": "$ "}}),
         ("build", "send", {"line": "./build.sh", "timeout_ms": 300})] + [("build", "watch", {})] * 7 + [
         ("build", "send", {"line": "echo status $?", "timeout_ms": 20_000}),
         ("build", "send", {"line": "ls", "timeout_ms": 5000})]
STEPS = VIM + LESS + TOP + SHELL
assert len(STEPS) == 50
# Terminals whose program draws a full screen: its replies are the screen.
FULL_SCREEN = {"vim", "less", "top"}
WATCH_QUIET_MS = {"top": 400, "build": 120}
WATCH_PAUSE_S = 1.0


def prepare(folder: Path) -> None:
    (folder / "job.log").write_text(LOG)
    build = folder / "build.sh"
    build.write_text(BUILD)
    build.chmod(0o755)


@dataclass
class Seen:
    """A terminal's screen as the agent holds it."""

    version: int | None = None
    rows: list[str] = field(default_factory=list)


SCREEN = re.compile(r"version (\d+), cursor \d+,\d+(?:; ([^;]*))?")


def follow(seen: Seen, text: str, rows: int = 24) -> None:
    """Updates ``seen`` from a reply or look that shows a screen: whole, or
    its changes since ``seen.version``, or the rows that end the text."""
    header, _, body = text.partition("\n")
    found = SCREEN.search(header)
    if found is None:
        return
    version, how = int(found.group(1)), found.group(2) or ""
    lines = body.split("\n")
    # A look joins its rows with newlines; a reply ends each row with one.
    if not re.search(r"\d+ rows, version", header) and body.endswith("\n"):
        lines.pop()
    if changes := re.fullmatch(r"(\d+) changes since \d+", how):
        held = list(seen.rows)
        for line in lines[len(lines) - int(changes.group(1)):]:
            if moved := re.fullmatch(r"(\d+)-(\d+)=(\d+)-(\d+)", line):
                a, b, c, d = (int(n) - 1 for n in moved.groups())
                held[a:b + 1] = seen.rows[c:d + 1]
                continue
            where, _, row_text = line.partition("|")
            number, _, column = where.partition(":")
            row = int(number) - 1
            held[row] = held[row][:int(column) - 1] + row_text if column else row_text
        seen.rows = held
    elif ending := re.fullmatch(r"rows 1-(\d+) end the text|blank", how):
        shown = int(ending.group(1) or 0)
        seen.rows = (lines[len(lines) - shown:] if shown else []) + [""] * (rows - shown)
    elif not how.startswith("unchanged"):
        seen.rows = lines[len(lines) - rows:]
    seen.version = version


@asynccontextmanager
async def connected(folder: Path, log: Path):
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    server = StdioServerParameters(command=sys.executable, args=["-m", "morvik_agent.mcp", "--allow-any"],
                                   env=dict(os.environ), cwd=str(folder))
    with open(log, "a") as errors:
        async with stdio_client(server, errlog=errors) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            yield session


async def play(folder: Path, way: str) -> tuple[dict[str, int], int, list[str]]:
    """Plays the steps in ``folder`` (prepared) the ``way`` given; returns
    the characters handed back for each program, the steps whose screen
    was checked, and what differed."""
    from mcp.types import TextContent

    names: dict[str, str] = {}
    seen: dict[str, Seen] = {}
    used = {who: 0 for who, _, _ in STEPS}
    checked = 0
    wrong: list[str] = []

    async with connected(folder, folder / f"server-{way}.log") as session:
        async def call(tool: str, counted: bool = True, **arguments) -> str:
            result = await session.call_tool(f"terminal_{tool}", arguments)
            text = "".join(b.text for b in result.content if isinstance(b, TextContent))
            if result.is_error:
                raise RuntimeError(f"terminal_{tool} {arguments}: {text}")
            if counted:
                used[who] += len(text)
            return text

        for step, (who, tool, arguments) in enumerate(STEPS):
            since = {} if way == "full" or seen.get(who, Seen()).version is None else {
                "changes_since": seen[who].version}
            if tool == "start":
                text = await call("start", rows=24, columns=80, **arguments)
                names[who] = re.search(r" as terminal (t\d+) ", text).group(1)
                seen[who] = Seen()
                if way == "changes":
                    follow(seen[who], text.partition("\n")[2])
                    if seen[who].version is None:  # a line program: a look of its own
                        follow(seen[who], await call("screen", terminal=names[who]))
                continue
            name = names[who]
            if tool == "watch":
                quiet = WATCH_QUIET_MS[who]
                if way == "full" and who in FULL_SCREEN:
                    # Its replies come "ready" at once (top waits on its keys with a
                    # timer): a pause of the agent's own, then the screen.
                    await anyio.sleep(WATCH_PAUSE_S)
                    text = await call("screen", terminal=name)
                elif way == "full":
                    text = await call("read", terminal=name, timeout_ms=3000, quiet_ms=quiet)
                else:
                    text = await call("wait_for_change", terminal=name, timeout_ms=3000, quiet_ms=quiet, **since)
            else:
                text = await call(tool, terminal=name, **since, **arguments)
            if who not in FULL_SCREEN:
                # A line program's reply is its lines: the screen is a look of its own.
                text = await call("screen", terminal=name, **since)
            if way != "changes":
                continue
            follow(seen[who], text)
            if "status: exited" in text:
                continue
            truth = await call("screen", terminal=name, counted=False)
            version = int(re.search(r"version (\d+)", truth).group(1))
            if version == seen[who].version:
                checked += 1
                if truth.split("\n")[1:] != seen[who].rows:
                    wrong.append(f"step {step} ({who} {tool} {arguments}): held {seen[who].rows!r}, "
                                 f"screen {truth!r}")
        for who, name in names.items():
            await call("close", counted=False, terminal=name)
    return used, checked, wrong
