"""Full-screen and line-editing programs run in tmux, the reference terminal.

This file owns the scenario table and the tmux side: each scenario starts a
program in a detached tmux pane of a fixed size (default-terminal and TERM
xterm-256color, no status line), records every byte the program writes with
`pipe-pane`, drives it with `send-keys`, and reads what tmux shows with
`capture-pane -p` and the cursor with `display -p`. A test then feeds the
recorded bytes to a screen model, or drives the same scenario through a
terminal of its own, and compares. tmux is the tests' reference, never a
dependency of the module.

It must leave nothing behind: each run has its own tmux server (its own
socket in the run's folder), killed at the end whatever happened.
"""

from __future__ import annotations

import dataclasses
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

SETTLE_S = 0.4  # output and screen unchanged this long: the program is done drawing
STEP_TIMEOUT_S = 20.0


@dataclasses.dataclass(frozen=True)
class Key:
    """A named tmux key (Enter, Escape, Space, C-c), sent as a key, not as text."""

    name: str


@dataclasses.dataclass(frozen=True)
class WaitFor:
    """Wait until the screen shows this text (a regular expression)."""

    pattern: str


@dataclasses.dataclass(frozen=True)
class Scenario:
    name: str
    command: str  # a shell command line, run by sh in the pane's folder
    steps: tuple = ()  # text (sent literally), Key or WaitFor, in order
    rows: int = 24
    columns: int = 80
    needs: tuple = ()  # programs that must be on PATH (else the case is skipped)
    mask: str | None = None  # a regular expression for what changes from run to run
    files: dict = dataclasses.field(default_factory=dict)  # name -> text, written to the folder first


def python313() -> str | None:
    """A Python 3.13 interpreter, where the machine has one."""
    found = shutil.which("python3.13")
    if found and subprocess.run([found, "-c", "1"], capture_output=True).returncode == 0:
        return found
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for p in sorted(Path(root, "versions").glob("3.13.*/bin/python3.13"), reverse=True):
        return str(p)
    return None


CURSES_PROGRAM = r'''
import curses, sys

def main(w):
    curses.curs_set(0)
    w.box()
    w.addstr(1, 2, "boxes and CJK")
    sub = w.derwin(6, 30, 3, 4)
    sub.box()
    sub.addstr(1, 2, "日本語のテキスト")
    sub.addstr(2, 2, "한국어 and 中文 mixed")
    sub.addstr(3, 2, "e\u0301 combining")
    w.addstr(10, 2, "ready")
    w.refresh()
    sys.stdin.read(1)

curses.wrapper(main)
'''

LONG_FILE = "".join(f"line {n:04d} of a long file for the pager\n" for n in range(1, 601))

SCENARIOS = [
    Scenario(
        "vim_insert_then_numbers",
        "vim -u NONE -i NONE -N notes.txt",
        (WaitFor(r"notes\.txt"), "i", "hello world", Key("Enter"), "second line", Key("Escape"),
         ":set number", Key("Enter"), WaitFor(r"  2 second line")),
        needs=("vim",),
    ),
    Scenario(
        "less_search_then_page",
        "less long.txt",
        (WaitFor(r"line 0001"), "/line 0100", Key("Enter"), WaitFor(r"line 0100"), Key("Space"),
         WaitFor(r"line 01[2-9]\d")),
        needs=("less",),
        files={"long.txt": LONG_FILE},
    ),
    Scenario(
        "top_first_frame",
        "top -d 100",
        (WaitFor(r"PID"),),
        rows=7,  # the header rows and the column titles: the process list changes from run to run
        needs=("top",),
        # figures change from run to run, and with their width the padding before them
        mask=r" *\d+",
    ),
    Scenario(
        "curses_boxes_and_cjk",
        f"{shlex.quote(sys.executable)} draw.py",
        (WaitFor(r"ready"),),
        files={"draw.py": CURSES_PROGRAM},
    ),
    Scenario(
        "python313_repl_def_block",
        "{python313} -q",
        (WaitFor(r">>>$"), "def twice(x):", Key("Enter"), "return 2 * x", Key("Enter"), Key("Enter"),
         WaitFor(r">>>$"), "twice(21)", Key("Enter"), WaitFor(r"^42$")),
    ),
    Scenario(
        "bash_line_wrapping_at_margin",
        # Echo on, as a terminal starts: readline draws what is typed, and
        # wraps it at the margin, only then (an agent terminal starts
        # without echo).
        "stty echo; exec env -i TERM=xterm-256color PS1='$ ' bash --norc --noprofile",
        (WaitFor(r"\$$"), "echo " + "wrap" * 30, Key("Enter"), WaitFor(r"^\$$")),
        needs=("bash",),
    ),
    Scenario(
        "printf_cursor_addressing",
        r"printf '\033[2J\033[5;10HHello\033[10;3HWorld\033[3;70Hedge\033[20;1Hdone'; exec sleep 600",
        (WaitFor(r"done"),),
    ),
]


@dataclasses.dataclass
class Reference:
    """What tmux recorded and showed."""

    stream: bytes
    lines: list[str]
    cursor: tuple[int, int]


def masked(lines: list[str], mask: str | None) -> list[str]:
    return [re.sub(mask, "#", line) for line in lines] if mask else lines


class TmuxRun:
    """One scenario in a tmux server of its own."""

    def __init__(self, scenario: Scenario, folder: Path):
        self.scenario = scenario
        self.folder = folder
        self.socket = folder / "tmux.sock"
        self.stream = folder / "stream.bin"

    def tmux(self, *args: str, check: bool = True) -> str:
        return subprocess.run(["tmux", "-S", str(self.socket), *args], check=check, capture_output=True,
                              text=True, timeout=STEP_TIMEOUT_S).stdout

    def screen(self) -> list[str]:
        return self.tmux("capture-pane", "-p", "-t", "run").split("\n")[: self.scenario.rows]

    def wait_for(self, pattern: str) -> None:
        deadline = time.monotonic() + STEP_TIMEOUT_S
        rx = re.compile(pattern, re.MULTILINE)
        while not rx.search("\n".join(self.screen())):
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.scenario.name}: {pattern!r} never showed; screen:\n"
                                     + "\n".join(self.screen()))
            time.sleep(0.05)

    def settle(self) -> None:
        """Waits until neither the recorded bytes nor the screen change for SETTLE_S."""
        deadline = time.monotonic() + STEP_TIMEOUT_S
        last = None
        since = time.monotonic()
        while time.monotonic() < deadline:
            now = (self.stream.stat().st_size if self.stream.exists() else 0, self.screen())
            if now != last:
                last = now
                since = time.monotonic()
            elif time.monotonic() - since >= SETTLE_S:
                return
            time.sleep(0.05)

    def run(self, command: str) -> Reference:
        s = self.scenario
        for name, text in s.files.items():
            (self.folder / name).write_text(text)
        conf = self.folder / "tmux.conf"
        conf.write_text('set -g default-terminal "xterm-256color"\nset -g status off\nset -g history-limit 0\n')
        go = self.folder / "go"
        # The program starts only once pipe-pane records, so no byte is missed.
        # ncurses is told to draw lines with UTF-8 characters rather than the
        # line-drawing character set: capture-pane prints the latter's cells
        # as the letters that select them (lqqk for a box), which is not what
        # a person sees on tmux's screen.
        script = (f"while [ ! -e {shlex.quote(str(go))} ]; do sleep 0.01; done; "
                  f"export TERM=xterm-256color NCURSES_NO_UTF8_ACS=1; exec sh -c {shlex.quote(command)}")
        self.tmux("-f", str(conf), "new-session", "-d", "-s", "run", "-x", str(s.columns), "-y", str(s.rows),
                  "-c", str(self.folder), "sh", "-c", script)
        try:
            self.tmux("resize-window", "-t", "run", "-x", str(s.columns), "-y", str(s.rows), check=False)
            self.tmux("pipe-pane", "-o", "-t", "run", f"cat >> {shlex.quote(str(self.stream))}")
            go.touch()
            for step in s.steps:
                if isinstance(step, WaitFor):
                    self.wait_for(step.pattern)
                elif isinstance(step, Key):
                    self.tmux("send-keys", "-t", "run", step.name)
                else:
                    self.tmux("send-keys", "-t", "run", "-l", step)
                    time.sleep(0.05)
            self.settle()
            lines = self.screen()
            y, x = self.tmux("display", "-p", "-t", "run", "#{cursor_y} #{cursor_x}").split()
            return Reference(self.stream.read_bytes(), lines, (int(y), int(x)))
        finally:
            self.tmux("kill-server", check=False)


def command_of(scenario: Scenario) -> str | None:
    """The scenario's command line for this machine, or None with the reason in missing()."""
    if "{python313}" in scenario.command:
        py = python313()
        return scenario.command.format(python313=shlex.quote(py)) if py else None
    return scenario.command


def missing(scenario: Scenario) -> str | None:
    """Why the scenario cannot run here, or None."""
    if shutil.which("tmux") is None:
        return "tmux is not installed (make test installs it)"
    for program in scenario.needs:
        if shutil.which(program) is None:
            return f"{program} is not installed"
    if command_of(scenario) is None:
        return "no Python 3.13 on this machine"
    return None


def record(scenario: Scenario, folder: Path) -> Reference:
    return TmuxRun(scenario, folder).run(command_of(scenario))
