"""The screen against tmux: each scenario of screens.py runs in tmux and,
with the same size and keys, through a `Terminal`; `Terminal.screen()` must
show what tmux showed. The bytes tmux recorded, fed to the screen model
alone in the reads a terminal would deliver, must give it too, so a
difference tells the model's fault from the terminal's."""

import os
import re
import time

import pytest

from morvik_agent import Terminal

import hooks
import screens

ENV = {"TERM": "xterm-256color", "NCURSES_NO_UTF8_ACS": "1"}


def drive(scenario, command, folder):
    """The scenario through a Terminal; its screen once the program is done drawing."""
    with Terminal.start(["sh", "-c", command], env=ENV, cwd=folder, rows=scenario.rows, columns=scenario.columns,
                        timeout_ms=2000) as t:
        for step in scenario.steps:
            if isinstance(step, screens.WaitFor):
                pattern = re.compile(step.pattern, re.MULTILINE)
                deadline = time.monotonic() + screens.STEP_TIMEOUT_S
                while not pattern.search("\n".join(t.screen().lines)):
                    assert time.monotonic() < deadline, f"{step.pattern!r} never showed:\n" + "\n".join(t.screen().lines)
                    t.read(timeout_ms=50)
            else:
                t.send_keys(step.name if isinstance(step, screens.Key) else step, timeout_ms=2000)
        last, since = None, time.monotonic()
        deadline = since + screens.STEP_TIMEOUT_S
        while time.monotonic() - since < screens.SETTLE_S and time.monotonic() < deadline:
            t.read(timeout_ms=50)
            now = t.screen()
            if now != last:
                last, since = now, time.monotonic()
        return last


@pytest.mark.parametrize("scenario", screens.SCENARIOS, ids=lambda s: s.name)
def test_screen_shows_what_tmux_shows(scenario, tmp_path):
    why = screens.missing(scenario)
    if why:
        pytest.skip(why)
    reference = tmp_path / "tmux"
    ours = tmp_path / "terminal"
    reference.mkdir()
    ours.mkdir()
    ref = screens.record(scenario, reference)
    for name, text in scenario.files.items():
        (ours / name).write_text(text)
    shown = drive(scenario, screens.command_of(scenario), ours)
    assert screens.masked(shown.lines, scenario.mask) == screens.masked(ref.lines, scenario.mask)
    if scenario.mask is None:
        assert shown.cursor == ref.cursor

    assert ref.stream, "tmux recorded nothing"
    model = hooks.HookScreen(scenario.rows, scenario.columns)
    try:
        for at in range(0, len(ref.stream), 4096):
            model.feed(ref.stream[at:at + 4096])
        lines, cursor, _ = model.state()
    finally:
        model.close()
    assert screens.masked(lines, scenario.mask) == screens.masked(ref.lines, scenario.mask)
    if scenario.mask is None:
        assert cursor == ref.cursor
