"""The screen model against tmux: each scenario of screens.py runs in tmux,
and the bytes tmux recorded, fed to the model through the hooks library in
the reads a terminal would deliver, must give the screen tmux showed."""

import pytest

import hooks
import screens


@pytest.mark.parametrize("scenario", screens.SCENARIOS, ids=lambda s: s.name)
def test_screen_model_shows_what_tmux_shows(scenario, tmp_path):
    why = screens.missing(scenario)
    if why:
        pytest.skip(why)
    ref = screens.record(scenario, tmp_path)
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
