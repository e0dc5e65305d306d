"""What saves a model's tokens: the screen's changes since a version,
waiting for a program that redraws by itself to change, and search in the
history.

Protects: changes that, applied to the screen of the version they were
taken since, give exactly the screen now, over random cuts of what vim,
less and top wrote; a stale version said so, never diffed; a wait for a
change that ends once the change settled, takes no output a later reply
shows, and ends on a cancel; search that finds plain text and regular
expressions at the right offsets of the history with their lines, nothing
where there is nothing or where the history no longer reaches, and a
backtracking expression stopped in bounded time.
"""

import json
import random
import shutil
import sys
import threading
import time
from pathlib import Path

import anyio
import pytest

from morvik_agent import Terminal
from morvik_agent.terminal import SCREENS_KEPT

import support

LONG_FILE = "".join(f"line {n:04d} of a long file for the pager\n" for n in range(1, 601))

# Plays the pieces of a trace raw, one group per Ctrl-A it reads (anything
# else it reads is the terminal's answers to the trace's queries).
PLAYER = r"""
import json, os, sys, tty
tty.setraw(0)
for piece in json.load(open(sys.argv[1])):
    while b"\x01" not in os.read(0, 64):
        pass
    os.write(1, bytes.fromhex(piece))
os.read(0, 1)
"""


def need(*programs):
    for program in programs:
        if shutil.which(program) is None:
            pytest.skip(f"{program} is not installed")


def recorded(folder, argv, steps):
    """What ``argv`` wrote while driven by ``steps`` (keys, or a number of ms to let it draw)."""
    cast = folder / f"{argv[0]}.cast"
    with Terminal.start(argv, cwd=folder, record=cast, timeout_ms=5000) as t:
        for step in steps:
            if isinstance(step, int):
                t.read(timeout_ms=step, quiet_ms=step)
            else:
                t.send_keys(*step, timeout_ms=5000)
    events = [json.loads(line) for line in cast.read_text().splitlines()[1:]]
    return b"".join(data.encode() for _, kind, data in events if kind == "o")


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    need("vim", "less", "top")
    folder = tmp_path_factory.mktemp("traces")
    (folder / "long.txt").write_text(LONG_FILE)
    return [
        recorded(folder, ["vim", "-u", "NONE", "-i", "NONE", "-N", "notes.txt"],
                 [("i",), ("hello world", "Enter", "second line", "Escape"), (":set number", "Enter"),
                  ("gg", "dd"), ("u",), (":q!", "Enter")]),
        recorded(folder, ["less", "long.txt"], [("Space",), ("/line 0100", "Enter"), ("b",), ("G",), ("q",)]),
        recorded(folder, ["top", "-d", "0.2"], [600, ("q",)]),
    ]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_changes_applied_to_the_screen_they_were_taken_since_give_the_screen_now(seed, traces, tmp_path):
    rng = random.Random(seed)
    stream = b"".join(traces)
    cuts = sorted(rng.sample(range(1, len(stream)), 40))
    pieces = [stream[a:b].hex() for a, b in zip([0, *cuts], [*cuts, len(stream)])]
    (tmp_path / "pieces.json").write_text(json.dumps(pieces))
    player = support.python_child(tmp_path, "player", PLAYER)
    seen = {}  # version -> lines, in the order looked at
    with Terminal.start([player, str(tmp_path / "pieces.json")], rows=24, columns=80) as t:
        for step in range(len(pieces)):
            reply = t.send_keys(text="\x01", timeout_ms=10_000)
            if reply.screen_version is not None and rng.random() < 0.3:
                # The screen a reply ended with is kept as it showed it.
                shown = t.screen(changes_since=reply.screen_version)
                assert shown.version != reply.screen_version or shown.changes == [], (step, shown)
            if rng.random() < 0.1:
                t.resize(24, rng.choice([60, 80, 100]))
            since = rng.choice(list(seen)) if seen and rng.random() < 0.8 else None
            shot = t.screen(changes_since=since)
            if since is None:
                assert shot.changes is None and not shot.stale
            elif shot.stale:
                # Only a version the last looks no longer reach (a step keeps
                # at most three screens: its reply's and two looks).
                assert since not in list(seen)[-(SCREENS_KEPT // 3):], (step, since)
                assert shot.changes is None
            else:
                assert shot.apply_to(seen[since]) == shot.lines, (step, since)
                assert all(seen[since][row] != text for row, text in shot.changes)
            seen.pop(shot.version, None)
            seen[shot.version] = shot.lines
    assert len(seen) > SCREENS_KEPT  # some versions went stale on the way


PROGRESS = r"""
import sys, time
print("building")
for step in range(21):
    sys.stdout.write(f"\r[{'#' * step:<20}] {step * 5:3d}%")
    sys.stdout.flush()
    time.sleep(0.05)
print("\nbuilt")
sys.stdin.readline()
"""


@pytest.mark.parametrize("case", ["top", "progress bar", "cancelled"])
def test_wait_for_change_ends_once_the_change_settled_and_takes_no_output(case, tmp_path):
    if case == "top":
        need("top")
        argv = ["top", "-d", "1"]
    elif case == "progress bar":
        argv = [support.python_child(tmp_path, "build", PROGRESS)]
    else:
        argv = ["sleep", "600"]
    with Terminal.start(argv, rows=24, columns=80, timeout_ms=300, quiet_ms=300) as t:
        before = t.screen()
        if case == "cancelled":
            threading.Timer(0.5, t.cancel).start()
        began = time.monotonic()
        change = t.wait_for_change(timeout_ms=20_000, quiet_ms=400, changes_since=before.version)
        took = time.monotonic() - began
        assert change.screen.apply_to(before.lines) == change.screen.lines
        if case == "cancelled":
            assert (change.status, change.screen.changes) == ("cancelled", [])
            assert took < 10
            return
        assert change.status == "changed", change
        assert change.screen.changes and change.screen.version > before.version
        assert 0.4 <= took < 15
        if case == "progress bar":
            assert "built" in change.screen.lines
            # The wait took nothing: the next reply has the bar's last state.
            assert "[####################] 100%\nbuilt\n" in t.read(timeout_ms=5000).text


FILLER = "".join(f"filler {n:06d} keeps the history full\n" for n in range(120_000))  # 4.7 MB
LOG = r"""
import sys
sys.stdout.write("OLDEST line, gone once 4 MiB followed\n")
sys.stdout.write(open(sys.argv[1]).read())
sys.stdout.write("compiling a.c\nERROR: disk full\nretrying\nERROR: net down\n" + "a" * 40 + "!\ndone\n")
sys.stdout.flush()
sys.stdin.readline()
"""


@pytest.fixture(scope="module")
def log_terminal(tmp_path_factory):
    folder = tmp_path_factory.mktemp("log")
    (folder / "filler.txt").write_text(FILLER)
    with Terminal.start([support.python_child(folder, "log", LOG), str(folder / "filler.txt")],
                        timeout_ms=30_000, max_output_bytes=16 << 20) as t:
        yield t


SEARCHES = {
    "plain": ("ERROR: disk", False, [["compiling a.c", "ERROR: disk full", "retrying"]]),
    "regex": (r"ERROR: \w+ (full|down)", True, [["compiling a.c", "ERROR: disk full", "retrying"],
                                                ["retrying", "ERROR: net down", "a" * 40 + "!"]]),
    "no hit": ("nowhere to be found", False, []),
    "the history window's start": ("OLDEST", False, []),
}


@pytest.mark.parametrize("pattern, regex, blocks", SEARCHES.values(), ids=SEARCHES.keys())
def test_search_finds_each_hit_at_its_offset_with_its_lines(pattern, regex, blocks, log_terminal):
    history = log_terminal.history()
    hits = log_terminal.search(pattern, regex=regex, context_lines=1)
    assert [hit.lines for hit in hits] == blocks
    for hit in hits:
        assert history.count("\n", 0, hit.offset) == hit.line == hit.first_line + 1
        assert history[hit.offset:hit.end].startswith("ERROR: ")


def test_search_stops_a_backtracking_expression_in_bounded_time(log_terminal):
    began = time.monotonic()
    with pytest.raises(TimeoutError, match="took longer than"):
        log_terminal.search(r"(a+)+$", regex=True)
    assert time.monotonic() - began < 10
    # And the terminal still answers.
    assert log_terminal.search("done")[0].lines[-1] == "done"


def test_every_step_of_the_scripted_session_rebuilds_from_the_changes(tmp_path):
    need("vim", "less", "top", "bash")
    sys.path.insert(0, str(Path(__file__).parents[2] / "bench"))
    import token_session

    token_session.prepare(tmp_path)
    used, checked, wrong = anyio.run(token_session.play, tmp_path, "changes")
    assert not wrong, wrong[0]
    # Only the steps that end a program, or after which top redrew before the check, go unchecked.
    assert checked >= 40 and all(used.values()), (checked, used)
