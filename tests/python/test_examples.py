"""The shipped examples run to completion and show what they promise.

Protects: each example as a user runs it (a separate interpreter, the
installed module), judged by the key lines of its transcript: answers of the
child program, prompts, the interrupt and the final liveness report. Must
never run an example inside the test process: a hang or crash there has to
stay a failed test, not a stuck suite.
"""

import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


# Both gdb examples compile the program they debug.
NEEDS_GDB_AND_CC = pytest.mark.skipif(
    shutil.which("gdb") is None or shutil.which("cc") is None,
    reason="the gdb examples need gdb and a C compiler",
)


def _run(name: str, timeout: float = 120) -> tuple[str, float]:
    start = time.monotonic()
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    took = time.monotonic() - start
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout, took


def _assert_in_order(text: str, pieces: list[str]) -> None:
    position = 0
    for piece in pieces:
        found = text.find(piece, position)
        assert found >= 0, f"{piece!r} missing after position {position} in:\n{text}"
        position = found + len(piece)


def test_python_repl_example_shows_answers_definition_and_traceback():
    out, took = _run("python_repl.py")
    _assert_in_order(
        out,
        [
            ">>> 6 * 7\n42\n>>> ",
            "[('fig', 1), ('plum', 2), ('pear', 3)]\n>>> ",
            "def greet(name):\n...     return f'hello, {name}'\n... \n>>> ",
            "greet('morvik')\n'hello, morvik'\n>>> ",
            "True\n>>> ",
            "Traceback (most recent call last):\n",
            "ZeroDivisionError: division by zero\n>>> ",
            "still running\n>>> ",
            "python still running: True\n",
            "after close: False\n",
        ],
    )
    # The traceback's colours are gone.
    assert "\x1b" not in out
    # Every exchange ends at a prompt, never at the 10 s timeout.
    assert took < 30


def test_shell_example_runs_commands_and_interrupts_a_sleep():
    out, took = _run("shell.py")
    _assert_in_order(
        out,
        [
            "MORVIK$ cd /usr && pwd\n/usr\nMORVIK$ ",
            "1 squared is 1\n2 squared is 4\n3 squared is 9\nMORVIK$ ",
            "red words in plain text\nMORVIK$ ",
            "sleep 30",
            "sending Ctrl-C]",
            "MORVIK$ echo exit status $?\nexit status 130\nMORVIK$ ",
            "bash still running: True\n",
            "after close: False\n",
        ],
    )
    assert "\x1b" not in out
    # The interrupt, not the end of the 30 s sleep, brought the prompt back.
    assert took < 20


@NEEDS_GDB_AND_CC
def test_gdb_example_stops_at_the_breakpoint_and_reports_values():
    out, took = _run("gdb_session.py", timeout=180)
    _assert_in_order(
        out,
        [
            "(gdb) ",
            "Breakpoint 1 at ",
            "Breakpoint 1, square (x=1) at ",
            "#0  square (x=1) at ",
            "#1  ",
            " in main () at ",
            "$1 = 1\n",
            "Value returned is $2 = 1\n",
            "Breakpoint 1, square (x=2) at ",
            "total = 14\n",
            "exited normally]",
            "gdb still running: True\n",
            "after close: False\n",
        ],
    )
    assert "\x1b" not in out
    # No command was left waiting for an answer gdb never prompted for.
    assert took < 30


def test_large_output_example_reads_every_line_in_pieces():
    out, _ = _run("large_output.py")
    _assert_in_order(
        out,
        [
            "200000 lines, first 1, last 200000\n",
            "every line present and in order: True\n",
        ],
    )


def test_restart_example_notices_the_crash_and_starts_afresh():
    out, took = _run("restart.py")
    _assert_in_order(
        out,
        [
            "[crashed: True]",
            ">>> 'counter' in globals()\nFalse\n>>> ",
            "counter = 1; counter\n1\n>>> ",
            "[alive: True]",
        ],
    )
    assert took < 30


@NEEDS_GDB_AND_CC
def test_mcp_gdb_example_finds_the_faulting_line_and_the_variables():
    out, _ = _run("mcp_gdb.py", timeout=180)
    _assert_in_order(
        out,
        [
            ">>> terminal_start ",
            " as terminal t1 ",
            "[t1] status: ready ",
            ">>> terminal_send {'terminal': 't1', 'line': 'run'}",
            "Program received signal SIGSEGV, Segmentation fault.",
            "[t1] status: ready ",
            "$1 = 3\n(gdb) ",
            "$2 = (struct node *) 0x0\n(gdb) ",
            " in main () at ",
            "closed t1",
            "faulting line: ",
            "crash.c:10: total += list->value;\n",
            "there: i 3, list (struct node *) 0x0\n",
        ],
    )
