"""A program started with arguments through the generated wrapper, and the
status of each reply.

Protects: every argument, environment value and working folder reaching the
program exactly as given, whatever the shell would make of it; the window
size being set before the program starts; the private folder (owner only)
going away at close; and a reply saying "exited" for a program that has
ended, not for one that waits, works or has gone quiet.
Must never judge a status from timing alone: each case's program either
ends by itself or waits far longer than the call.
"""

import json
import os
import stat
import sys
import tempfile

import pytest

from morvik_agent import Terminal

import support

ECHO_ALL = (
    "import json, os, sys\n"
    "print(json.dumps([sys.argv[1:], os.environ['MORVIK_VALUE'], os.getcwd()]))\n"
)

AWKWARD = [
    "two words",
    "it's",
    'say "hi"',
    "$HOME ${PATH} $(id) $$",
    "`id`",
    "first\nsecond\n",
    "",
    "-n",
    "*",
    "back\\slash\\",
    "tab\there; rm -rf nothing &",
    "ü €",
]


@pytest.mark.parametrize("word", AWKWARD, ids=repr)
def test_arguments_environment_and_folder_arrive_unchanged(word, tmp_path, monkeypatch):
    private = tmp_path / "private"
    private.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(private))
    folder = tmp_path / "it's a \"folder\" $HOME"
    folder.mkdir()
    argv = [sys.executable, "-c", ECHO_ALL, word, "fixed", word]

    with Terminal.start(argv, env={"MORVIK_VALUE": word}, cwd=str(folder)) as terminal:
        (made,) = private.iterdir()
        assert stat.S_IMODE(made.stat().st_mode) == 0o700
        reply = terminal.banner
        assert reply.status == "exited", reply
        assert json.loads(reply.text) == [[word, "fixed", word], word, str(folder)]
    assert list(private.iterdir()) == []


@pytest.mark.parametrize("rows, columns", [(24, 200), (50, 132), (10, 40)])
def test_window_size_is_set_before_the_program_starts(rows, columns):
    with Terminal.start(["stty", "size"], rows=rows, columns=columns) as terminal:
        assert terminal.banner.text == f"{rows} {columns}\n"


PYTHON = [sys.executable, "-q"]
REPL = {"env": {"PYTHON_BASIC_REPL": "1"}, "prompts": [">>> "]}

# argv, start options, line to send (None: judge the start-up reply), status, text in the reply
STATUS_CASES = [
    (["sh", "-c", "exit 3"], {}, None, "exited", ""),
    (["sh", "-c", "echo bye; exit 3"], {}, None, "exited", "bye\n"),
    (PYTHON, REPL, "import os; print('going'); os._exit(3)", "exited", "going\n"),
    (PYTHON, REPL, "import os, signal; os.kill(os.getpid(), signal.SIGKILL)", "exited", ""),
    # Controls: the same detection must not call a live program ended.
    (PYTHON, REPL, "print(6 * 7)", "ready", "42\n>>> "),
    (["sh", "-c", "echo hi; exec sleep 60"], {}, None, "quiet", "hi\n"),
    (["sh", "-c", "exec sleep 60"], {"timeout_ms": 300}, None, "timeout", ""),
]


@pytest.mark.parametrize("argv, options, line, status, text", STATUS_CASES)
def test_status_tells_an_ended_program_from_a_live_one(argv, options, line, status, text):
    with support.no_leaks():
        with Terminal.start(argv, **options) as terminal:
            reply = terminal.banner if line is None else terminal.send(line)
            assert (reply.status, reply.text) == (status, text), reply
            assert terminal.alive is (status != "exited")
            pid = terminal.pid
        assert not support.pid_exists(pid)
