"""What an agent terminal shows: replies as the lines a terminal showed, the
queries a program sends answered, resize reaching the program and the
screen, the terminal announced, and the recording a person can replay.

Protects: the line renderer's table (tests/data/line_cases.txt, shared with
its C++ test) holding through a real terminal and the reply boundaries;
a program that asks the terminal never hanging, nor read as waiting for
input while it waits for the answer, whether or not a wait runs; `stty
size`, SIGWINCH and the screen agreeing after a resize; TERM; replies of a
full-screen program being its screen; a recording that `asciinema play`
turns back into the same screen, with output stamped when it came.
The screen against tmux is test_screen_tmux.py.
"""

import codecs
import json
import shutil
import threading
import time
from pathlib import Path

import pytest

from morvik_agent import Terminal

import support

CASES = Path(__file__).parents[1] / "data" / "line_cases.txt"
SHELL = ["bash", "--norc", "--noprofile"]
ENV = {"PS1": "$ "}
# A terminal wide enough that no case without a width wraps.
NO_WIDTH_COLUMNS = 200

# Writes each group of pieces raw (no output processing, so the bytes reach
# the terminal as they are), then waits for a key before the next group.
WRITER = r"""
import json, os, sys, tty
tty.setraw(0)
for group in json.load(open(sys.argv[1])):
    for piece in group:
        os.write(1, bytes.fromhex(piece))
    os.read(0, 1)
"""


def line_cases():
    for line in CASES.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            name, columns, shown, *pieces = line.split("\t")
            decode = lambda s: codecs.escape_decode(s.encode())[0]  # noqa: E731
            yield pytest.param(int(columns), decode(shown).decode(), [decode(p) for p in pieces], id=name)


@pytest.mark.parametrize("columns, shown, pieces", list(line_cases()))
def test_replies_show_the_lines_a_terminal_shows(columns, shown, pieces, tmp_path):
    # Each "|" is where a wait ends, as the renderer's take there.
    groups = [[]]
    for piece in pieces:
        if piece == b"|":
            groups.append([])
        else:
            groups[-1].append(piece.hex())
    (tmp_path / "pieces.json").write_text(json.dumps(groups))
    writer = support.python_child(tmp_path, "writer", WRITER)
    with Terminal.start([writer, str(tmp_path / "pieces.json")], columns=columns or NO_WIDTH_COLUMNS) as t:
        texts = [t.banner.text] + [t.send_keys("x").text for _ in groups[1:]]
    assert "|".join(texts) == shown


ASK = r"""printf 'go\n'; sleep {delay}; printf '{query}'; IFS= read -rsd '{end}' x; echo "got ${{x#?}}" """
QUERIES = {
    "cursor position": ("\\033[6n", "R", "got [3;1"),
    "device attributes": ("\\033[c", "c", "got [?1;2"),
    "secondary attributes": ("\\033[>c", "c", "got [>0;100;0"),
    "device status": ("\\033[5n", "n", "got [0"),
}


@pytest.mark.parametrize("query, end, answer", QUERIES.values(), ids=QUERIES.keys())
@pytest.mark.parametrize("waiting", [True, False], ids=["while a wait runs", "while no wait runs"])
def test_a_program_that_asks_the_terminal_gets_its_answer(query, end, answer, waiting):
    with Terminal.start(SHELL, env=ENV, rows=10, columns=40, quiet_ms=60_000) as t:
        t.send("clear")
        line = ASK.format(delay=0.3 if waiting else 0.5, query=query, end=end)
        if waiting:
            # Asleep reading the answer is no waiting for input: the reply
            # holds what the program did with it.
            reply = t.send(line)
        else:
            assert t.send(line, timeout_ms=200).status == "timeout"
            time.sleep(1.0)  # the program asks, and must be answered, meanwhile
            reply = t.read(timeout_ms=5000)
            assert reply.elapsed_ms < 500, reply
        assert (reply.status, reply.text.split("\n")[-2:]) == ("ready", [answer, "$ "]), reply


def test_resize_reaches_the_program_the_screen_and_the_lines():
    with Terminal.start(SHELL, env=ENV) as t:
        t.send("trap 'echo winched' WINCH")
        t.resize(30, 100)
        reply = t.send("stty size; printf '%0150d\\r\\033[Kend\\n' 0")
        screen = t.screen()
    # Erasure acts on the last row, which begins at the new width.
    lines = reply.text.split("\n")
    assert "winched" in lines and lines[-3:] == ["30 100", "0" * 100 + "end", "$ "], reply
    at = screen.lines.index("30 100")
    assert len(screen.lines) == 30 and screen.lines[at + 1:at + 3] == ["0" * 100, "end"], screen


@pytest.mark.parametrize("env, term", [({}, "xterm-256color"), ({"TERM": "dumb"}, "dumb")], ids=["default", "env"])
def test_terminal_announced(env, term):
    with Terminal.start(SHELL, env={**ENV, **env}) as t:
        assert t.send("echo $TERM").text.split("\n")[-2] == term


@pytest.mark.skipif(shutil.which("less") is None, reason="less is not installed")
def test_a_full_screen_program_replies_with_its_screen(tmp_path):
    (tmp_path / "long.txt").write_text("".join(f"line {n}\n" for n in range(1, 200)))
    with Terminal.start(SHELL, env=ENV, rows=8, columns=30, cwd=tmp_path) as t:
        shown = t.send("less long.txt")
        screen = t.screen()
        paged = t.send_keys("Space")
        after = t.send_keys("q")
    assert screen.alternate and screen.lines[:7] == [f"line {n}" for n in range(1, 8)]
    # After the end of the shell's line, the screen.
    assert shown.text == "\n" + "\n".join(screen.lines).rstrip("\n") + "\n"
    assert paged.text.startswith("line 8\n") and "line 14\n" in paged.text
    assert after.text == "$ " and not t.screen().alternate


@pytest.mark.skipif(shutil.which("asciinema") is None, reason="asciinema is not installed (make test installs it)")
def test_recording_plays_back_to_the_same_screen(tmp_path):
    cast = tmp_path / "run.cast"
    program = support.write_script(tmp_path, "show", r"""#!/bin/sh
printf '\033[2J\033[3;5Hhello\033[6;1Hworld'
for p in 10 50 100; do printf '\rprogress %s%%' $p; sleep 0.1; done
printf '\n\033[?1049h\033[Hon the alternate screen\033[?1049l'
read line; printf '\nread %s, \346\227\245\346\234\254 e\314\201\n' "$line"
""")
    with Terminal.start([program], rows=10, columns=40, record=cast) as t:
        t.send("it")
    recorded = t.screen()
    header, *events = [json.loads(line) for line in cast.read_text().splitlines()]
    assert (header["version"], header["width"], header["height"]) == (2, 40, 10)
    times = [e[0] for e in events]
    assert times == sorted(times) and ["i", "it\r"] in [e[1:] for e in events]
    # Stamped as the output came, not as waits took it: the three states of
    # the progress bar came 0.1 s apart, though one wait took them all.
    progress = [e[0] for e in events if e[1] == "o" and "progress" in e[2]]
    assert len(progress) == 3 and progress[2] - progress[0] >= 0.15, events

    with Terminal.start(["asciinema", "play", "-i", "1", str(cast)], rows=10, columns=40) as player:
        deadline = time.monotonic() + 20
        while player.alive and time.monotonic() < deadline:
            player.read(timeout_ms=2000)
        # What shows; the versions count each terminal's own changes.
        assert player.screen()[:3] == recorded[:3]
    assert recorded.lines[2:6] == ["    hello", "", "", "progress 100%"] and "read it, 日本 e\u0301" in recorded.lines


def test_screen_answers_while_a_flood_is_read():
    with Terminal.start(SHELL, env=ENV, rows=5, columns=20) as t:
        flood = threading.Thread(target=lambda: t.send("seq 1 300000 | tr -d '\\n'; echo; echo end",
                                                       max_output_bytes=1 << 30, timeout_ms=60_000,
                                                       quiet_ms=60_000))
        flood.start()
        took = []
        while flood.is_alive():
            began = time.monotonic()
            assert len(t.screen().lines) == 5
            took.append(time.monotonic() - began)
        flood.join()
        assert t.screen().lines[-2:] == ["end", "$"]
    assert max(took) < 1.0, max(took)


def test_drawing_at_rows_of_the_main_screen_replies_with_the_screen():
    # top and watch draw so without the alternate screen: a line model
    # cannot show it.
    with Terminal.start(SHELL, env=ENV, rows=6, columns=20) as t:
        t.send("echo before")
        reply = t.send(r"clear; printf 'top row\033[4;3Hfourth\033[2;1Hsecond\033[6;1H'")
        screen = t.screen()
    assert screen.lines[:4] == ["top row", "second", "", "  fourth"]
    # The lines before (the end of the shell's line), then the screen.
    assert reply.text == "\n" + "\n".join(screen.lines).rstrip("\n") + "\n", reply
