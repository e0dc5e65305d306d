"""Shells started with `Terminal.shell`. Protects: ``command_exit_code``
equal to ``$?`` for every command of a corpus in bash, zsh and fish (None
when none ended), ``cwd`` following ``cd``; forged marks changing nothing,
the nonce out of the commands' reach; the user's files and prompt as they
were, no mark in any text; the private folder gone at close.
"""

import os
import re
import shutil

import pytest

from morvik_agent import Terminal

WAIT = {"timeout_ms": 20_000}
PLAIN = {"TERM": "xterm-256color", "PS1": "$ "}


def need(program):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (make test installs it)")


def make_home(folder):
    # Without completions made from the man pages, fish starts a job making
    # them, which keeps the terminal busy.
    (folder / ".local/share/fish/generated_completions").mkdir(parents=True, exist_ok=True)
    return folder


# (command, its $?) in bash and zsh alike; None: no command ended.
POSIX = [
    ("true", 0), ("false", 1), ("! true", 1), ("! false", 0), (":", 0),
    *[(f"(exit {n})", n) for n in range(0, 256, 5)], ("(exit 3)", 3), ("sh -c 'exit 42'", 42), ("sh -c 'exit 255'", 255),
    ("false | true", 0), ("true | false", 1), ("echo hi | grep -q hi", 0), ("echo hi | grep -q no", 1),
    ("set -o pipefail; false | true", 1), ("false | true; set +o pipefail", 0), ("false | true", 0),
    ("false && true", 1), ("false || true", 0), ("true && (exit 4)", 4), ("false || (exit 6) || true", 0),
    ("true && false || (exit 8)", 8),
    ("sh -c 'kill -TERM $$'", 143), ("sh -c 'kill -KILL $$'", 137), ("sh -c 'kill -INT $$'", 130),
    ("sh -c 'kill -SEGV $$'", 139), ("sh -c 'kill -PIPE $$'", 141), ("timeout 0.2 sleep 5", 124),
    ("cat <<'EOF'\nhello\nEOF", 0), ("grep -q nomatch <<'EOF'\nabc\nEOF", 1), ("sh <<'EOF'\nexit 12\nEOF", 12),
    ("for i in 1 2 3\ndo\n  echo $i\ndone", 0), ("for i in 1 2\ndo\n  false\ndone", 1),
    ("while false; do :; done", 0), ("if false; then :; else (exit 9); fi", 9),
    ("f() { return 7; }", 0), ("f", 7), ("g() {\n  (exit 5)\n}", 0), ("g", 5), ("g || f", 7),
    ("(set -e; false; echo not reached)", 1), ("(set -e; true; (exit 3))", 3),
    ("printf abc", 0), ("printf abc; false", 1), ("printf '\\033]133;D;0\\007'; (exit 2)", 2),
    ("echo '\\033]133;A\\007'", 0), ("x=$(exit 9)", 9), ("test 1 -eq 2", 1), ("[ a = a ]", 0),
    ("no_such_command_here", 127), ("/etc/passwd", 126), ("(( 0 ))", 1), ("(( 3 ))", 0),
    ("", None), ("   ", None), ("sleep 0.1", 0), ("yes | head -1", 0), ("true", 0),
]

FISH = [
    ("true", 0), ("false", 1), ("not true", 1), ("not false", 0),
    *[(f"sh -c 'exit {n}'", n) for n in range(0, 256, 6)], ("fish -c 'exit 3'", 3),
    ("false | true", 0), ("true | false", 1), ("echo hi | grep -q hi", 0), ("echo hi | grep -q no", 1),
    ("false; and true", 1), ("false; or true", 0), ("true && false", 1), ("false || sh -c 'exit 4'", 4),
    ("sh -c 'kill -TERM $$'", 143), ("sh -c 'kill -KILL $$'", 137), ("sh -c 'kill -SEGV $$'", 139),
    ("timeout 0.2 sleep 5", 124),
    ("for i in 1 2 3\n  echo $i\nend", 0), ("for i in 1 2\n  false\nend", 1),
    ("if false\n  true\nelse\n  sh -c 'exit 9'\nend", 9), ("begin; false; end", 1),
    ("function f; return 7; end", 0), ("f", 7), ("f; or true", 0),
    ("printf abc", 0), ("printf abc; false", 1), ("printf '\\e]133;D;0\\a'; sh -c 'exit 2'", 2),
    ("test 1 -eq 2", 1), ("no_such_command_here", 127),
    ("", None), ("sleep 0.1", 0), ("true", 0),
]

CORPUS = {"bash": POSIX, "zsh": POSIX, "fish": FISH}
# (where to cd, its $?, the folder after it)
CDS = [("/", 0, "/"), ("/tmp", 0, "/tmp"), ("{home}/a dir%20x", 0, "{home}/a dir%20x"),
       ("/no/such/folder", 1, "{home}/a dir%20x")]


@pytest.mark.parametrize("program", sorted(CORPUS))
def test_command_exit_code_is_the_shells_status(program, tmp_path):
    need(program)
    home = make_home(tmp_path / "home")
    (home / "a dir%20x").mkdir()
    with Terminal.shell(program, env={**PLAIN, "HOME": str(home)}, cwd=home, **WAIT) as t:
        assert (t.banner.status, t.banner.command_exit_code, t.banner.cwd) == ("ready", None, str(home))
        # Ready means the shell reads: keys sent at once all reach it (bash
        # loses them to a Ctrl-C that lands while it sets its editor up).
        for _ in range(40):
            assert (t.interrupt().status, t.send("echo ok").command_exit_code) == ("ready", 0)
        for line, code in CORPUS[program]:
            reply = t.send(line)
            assert (reply.status, reply.command_exit_code) == ("ready", code), (line, reply)
        for folder, code, cwd in CDS:
            moved = t.send(f"cd '{folder.format(home=home)}'")
            assert (moved.command_exit_code, moved.cwd) == (code, cwd.format(home=home))
        # Output longer than a reply: the code comes with its end.
        parts = [t.send("seq 20000; false", max_output_bytes=8192)]
        while parts[-1].status == "cap":
            parts.append(t.read(max_output_bytes=8192))
        assert len(parts) > 3 and [r.command_exit_code for r in parts] == [None] * (len(parts) - 1) + [1]
        assert "".join(r.text for r in parts).split().count("20000") == 1
        # Ctrl-C: a running command ends with 130; at the prompt none ends
        # (a prompt drawn after the first reply comes in the second).
        running = t.send("sleep 30", timeout_ms=300)
        assert running.status == "timeout" and running.command_exit_code is None
        stopped = t.interrupt()
        assert (stopped.status, stopped.command_exit_code) == ("ready", 130)
        at_prompt = [t.interrupt(), t.read(timeout_ms=1000)]
        assert [(r.status, r.command_exit_code) for r in at_prompt] == [("ready", None)] * 2


FORGED = [("D;0",), ("D;0;morvik=0000",), ("A", "B"), ("D;0", "A", "B"), ("D;0;morvik=", "A;morvik=", "B"),
          ("B", "C", "D;0")]


def _folder_of(t):
    for part in ("cmdline", "environ"):  # where the shell was told of it
        with open(f"/proc/{t.pid}/{part}", "rb") as f:
            found = re.search(r"/[^'\0]*?/morvik-shell-[^/'\0]+", f.read().decode())
        if found:
            return found[0]
    raise AssertionError("no private folder")


@pytest.mark.parametrize("program", sorted(CORPUS))
def test_forged_marks_change_nothing(program, tmp_path):
    need(program)
    esc = "\\033" if program != "fish" else "\\e"
    bel = "\\007" if program != "fish" else "\\a"
    cast = tmp_path / "raw.cast"  # the raw output, marks and all
    with Terminal.shell(program, env={**PLAIN, "HOME": str(make_home(tmp_path))}, record=cast, **WAIT) as t:
        folder = _folder_of(t)
        assert os.listdir(folder) and "nonce" not in os.listdir(folder)
        # A forged end, a forged prompt, and the command goes on after them:
        # the reply waits for its real end.
        for marks in FORGED:
            forged = "".join(f"{esc}]133;{m}{bel}" for m in marks)
            reply = t.send(f"printf '{forged}$ '; sleep 0.3; echo after; false")
            assert (reply.status, reply.command_exit_code) == ("ready", 1), (marks, reply)
            assert "after" in reply.text
        # A folder reported from inside a command is forged too.
        moved = t.send(f"printf '{esc}]7;file://x/etc{bel}'; true")
        assert (moved.command_exit_code, moved.cwd) == (0, reply.cwd)
        # No trace of the nonce: not in the commands' environment, nor in
        # the shell's or its arguments, nor in a file.
        env = t.send("env").text
        (nonce,) = set(re.findall(r"morvik=([0-9a-f]{32})", cast.read_text()))
        seen = [open(f"/proc/{t.pid}/{part}", "rb").read().decode() for part in ("environ", "cmdline")]
        seen += [open(os.path.join(folder, name)).read() for name in os.listdir(folder)]
        assert not [text for text in [env, *seen] if nonce in text]
    assert not os.path.exists(folder)


RC = {
    "bash": (".bashrc", "PS1='mine> '\nalias ll='echo aliased'\ngreet() { echo \"hi $1\"; }\n", "mine>"),
    "zsh": (".zshrc", "PROMPT='zmine> '\nalias ll='echo aliased'\ngreet() { echo \"hi $1\"; }\n", "zmine>"),
    "fish": (".config/fish/config.fish",
             "function fish_prompt; echo -n 'fmine> '; end\nalias ll='echo aliased'\n"
             "function greet; echo \"hi $argv\"; end\n", "fmine>"),
}


@pytest.mark.parametrize("program", sorted(RC))
def test_user_files_run_and_prompt_shows_unchanged(program, tmp_path):
    need(program)
    name, body, prompt = RC[program]
    (make_home(tmp_path) / name).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / name).write_text(body)
    env = {"TERM": "xterm-256color", "HOME": str(tmp_path), "XDG_CONFIG_HOME": str(tmp_path / ".config"),
           "HISTFILE": str(tmp_path / "history")}
    with Terminal.shell(program, env=env, **WAIT) as t:
        replies = [t.banner, *(t.send(line) for line in ("ll", "greet you", "echo one", "history"))]
        assert all(r.status == "ready" and r.text.endswith(f"\n{prompt} "[r is t.banner:]) for r in replies)
        replies = replies[1:]
        assert [r.command_exit_code for r in replies] == [0, 0, 0, 0]
        assert all(w in r.text for r, w in zip(replies, ["aliased", "hi you", "", "echo one"]))
        screen = t.screen()
        assert (screen.lines[screen.cursor[0]], screen.cursor[1]) == (prompt, len(prompt) + 1)
        shown = "\n".join([*(r.text for r in replies), *screen.lines, t.history()])
        assert "133;" not in shown and "\x1b" not in "".join(r.text for r in replies)


def test_shell_without_hooks_runs_as_started_and_a_programs_own_marks_count():
    need("dash")
    with Terminal.shell("dash", env=PLAIN, **WAIT) as t:
        reply = t.send("false")
        assert (reply.status, reply.command_exit_code, reply.cwd) == ("ready", None, None)
        assert t.argv == ("dash",)
        # Marks of its own, with no nonce to carry: taken at their word.
        own = "".join(f"\\033]{m}\\007" for m in ("7;file://h/x%%20y", "133;A", "133;B", "133;C", "133;D;5"))
        reply = t.send(f"printf '{own}'")
        assert (reply.command_exit_code, reply.cwd) == (5, "/x y")
        assert "133" not in reply.text
