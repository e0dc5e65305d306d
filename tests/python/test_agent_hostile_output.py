"""A program's output can never crash, corrupt or spin the host, and sizes
the screen model cannot take are refused. Each output case runs in a host of
its own: before the guard in front of the model, these killed the
interpreter or never returned."""

import json

import pytest

from morvik_agent import Terminal

import support

PARAMETERS_20 = ";".join(str(n) for n in range(1, 21))
POINTERS_17 = ";".join(["305419896"] * 17)

# (what the program prints, as printf's format; the first screen line after)
HOSTILE = [
    (rf"\033[{PARAMETERS_20}mA\033[6n", "A"),
    (rf"\033[{POINTERS_17}mB\033[6n", "B"),
    (r"\033[38:2::255:0:0mC\033[1:2:3:4:5:6:7:8:9:10:11:12:13:14:15:16:17m\033[6n", "C"),
    (r"\033[5bD\033[6n", "D"),
    (r"E\033[3b\033[6n", "EEEE"),
    (rf"\302\233{PARAMETERS_20}mF\033[6n", f"{PARAMETERS_20}mF"),
    (r"\033P$qzz\033\\G\033[6n", "G"),
]


@pytest.mark.parametrize("output, first_line", HOSTILE)
def test_hostile_output_leaves_the_host_and_the_screen_sound(output, first_line):
    outcome = support.run_host(f"""
        import json
        from morvik_agent import Terminal
        with Terminal.start(["sh", "-c", {json.dumps("printf '" + output + "'; read x")!s}],
                            timeout_ms=10_000, quiet_ms=200) as t:
            print(json.dumps(t.screen().lines[0]))
    """, timeout=60)
    assert outcome.returncode == 0, outcome.stderr[-2000:]
    assert json.loads(outcome.stdout) == first_line


# (rows, columns, the start of what the ValueError says)
BAD_SIZES = [
    (24, 1, "columns must be between 2 and 65535, not 1"),
    (0, 80, "rows must be between 1 and 65535, not 0"),
    (65535, 65535, "rows x columns must be at most 1000000 cells, not 65535 x 65535"),
    (1001, 1000, "rows x columns must be at most 1000000 cells"),
]


@pytest.mark.parametrize("rows, columns, message", BAD_SIZES)
def test_sizes_the_screen_model_cannot_take_are_refused(rows, columns, message):
    outcome = support.run_host(f"""
        from morvik_agent import Terminal
        from morvik_agent._terminal import Core
        said = []
        try:
            Terminal.start(["true"], rows={rows}, columns={columns})
        except ValueError as e:
            said.append(str(e))
        with Terminal.start(["cat"], rows=24, columns=80) as t:
            for resize in (t.resize, t._core.resize):
                try:
                    resize({rows}, {columns})
                except ValueError as e:
                    said.append(str(e))
            t.resize(1000, 1000)
            assert t.screen() is not None and len(t.screen().lines) == 1000
        print(repr(said))
    """, timeout=60)
    assert outcome.returncode == 0, outcome.stderr[-2000:]
    said = eval(outcome.stdout)
    assert len(said) == 3 and said[0].startswith(message) and said[1] == said[0], said
