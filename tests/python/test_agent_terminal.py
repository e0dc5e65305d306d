"""Agent terminals through `Terminal`: the exact start, exit status, the
end of each wait, keys, the byte cap, and close.

Protects: the program running with exactly the given argument vector,
environment, folder and size, from the file that was resolved; every wait
ending for the right reason (a prompt only when it ends the output; "ready"
from the kernel without prompts; never "ready" for a program that does not
read the terminal); the exit code or signal of a program that ended, seen
at once with all its output; the keys a terminal would send, in both
cursor-key modes; no byte lost or doubled across a cap; and nothing left
running after close.
Must never judge a status from timing alone: each case's program either
waits for input, ends by itself, or runs far longer than the call.
"""

import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

from morvik_agent import Terminal

import support

# A quiet wait far longer than any call: a "ready" can then only come from
# a prompt or the kernel.
NEVER_QUIET = {"quiet_ms": 600_000, "timeout_ms": 20_000}
ENV = {"TERM": "xterm", "PS1": "$ "}


def interpreter(version):
    """A python{version} that runs (a pyenv shim may stand on PATH without one behind it)."""
    candidates = [shutil.which(f"python{version}")]
    candidates += sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}*/bin/python{version}")))
    for found in filter(None, candidates):
        # The interpreter itself: a launcher script (a pyenv shim) would see
        # itself as /dev/fd/N, since a script runs from its held descriptor.
        real = subprocess.run([found, "-c", "import sys; print(sys.executable)"], capture_output=True, text=True)
        if real.returncode == 0:
            return real.stdout.strip()
    pytest.skip(f"no python{version} here")


# This interpreter's own file (sys.executable may be a launcher script, as
# under the sanitizer runs), so that its children run plain.
PY = subprocess.run([sys.executable, "-c", "import os, sys; print(os.path.realpath(sys.executable))"],
                    capture_output=True, text=True, check=True).stdout.strip()


def need(program):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")
    return program


# ---------------------------------------------------------------- the start

ECHO_ALL = (
    "import json, os; argv = open('/proc/self/cmdline', 'rb').read().split(b'\\0')[:-1]; "
    "print(json.dumps([[os.fsdecode(a) for a in argv], os.environ['MORVIK_VALUE'], os.getcwd()]))"
)
AWKWARD = ["two words", "it's", '$HOME $(id) `id`', "first\nsecond\n", "", "-n", "*", "ü €"]


@pytest.mark.parametrize("word", AWKWARD, ids=repr)
def test_start_is_exact(word, tmp_path):
    folder = tmp_path / "it's a \"folder\" $HOME"
    folder.mkdir()
    argv = ["python-as-named", "-c", ECHO_ALL, word]
    with open(PY, "rb") as program:
        with Terminal.start(argv, env={"MORVIK_VALUE": word}, cwd=folder, executable=program.fileno()) as terminal:
            assert terminal.banner.status == "exited", terminal.banner
            assert json.loads(terminal.banner.text) == [argv, word, str(folder)]


def test_the_resolved_file_runs_whatever_its_path_becomes(tmp_path):
    script = tmp_path / "tool"
    script.write_text("#!/bin/sh\necho first $0 \"$@\"\nexec cat\n")
    script.chmod(0o755)
    with Terminal.start([str(script), "arg"], **NEVER_QUIET) as terminal:
        # A script runs by its resolved path, so that $0 names it.
        assert terminal.banner.text == f"first {script} arg\n", terminal.banner
        assert open(f"/proc/{terminal.pid}/cmdline", "rb").read() == b"cat\0"
    with open(script, "rb") as held:
        swapped = tmp_path / "swapped"
        swapped.write_text("#!/bin/sh\necho second\n")
        swapped.chmod(0o755)
        os.replace(swapped, script)
        with Terminal.start(["tool"], executable=held.fileno(), **NEVER_QUIET) as terminal:
            assert terminal.banner.text.startswith("first "), terminal.banner


@pytest.mark.parametrize("rows, columns", [(24, 200), (50, 132), (10, 40)])
def test_window_size_is_set_before_the_start_and_on_resize(rows, columns):
    with Terminal.start(["sh"], env=ENV, rows=rows, columns=columns, **NEVER_QUIET) as terminal:
        assert terminal.send("stty size").text == f"{rows} {columns}\n$ "
        terminal.resize(columns // 2, rows * 2)
        assert terminal.send("stty size").text == f"{columns // 2} {rows * 2}\n$ "


# ---------------------------------------------------------------- status

# argv, line to send (None: the start-up reply), status, exit code, signal, text
EXITS = [
    (["sh", "-c", "echo bye; exit 3"], None, "exited", 3, None, "bye\n"),
    ([PY, "-q"], "import os; print('going'); os._exit(7)", "exited", 7, None, "going\n"),
    ([PY, "-q"], "import os; os.kill(os.getpid(), 11)", "exited", None, 11, ""),
    (["sh", "-c", "kill -KILL $$"], None, "exited", None, 9, ""),
    # With a background job holding the terminal open, the exit is seen
    # through the process handle, not the end of the output.
    (["sh", "-c", "sleep 30 & seq 1 20000; exit 4"], None, "exited", 4, None, "".join(f"{n}\n" for n in range(1, 20001))),
    ([PY, "-q"], "print(6 * 7)", "ready", None, None, "42\n>>> "),
]


@pytest.mark.parametrize("argv, line, status, code, signum, text", EXITS)
def test_exit_code_and_signal(argv, line, status, code, signum, text):
    with support.no_leaks():
        with Terminal.start(argv, env={"PYTHON_BASIC_REPL": "1"}, **NEVER_QUIET) as terminal:
            reply = terminal.banner if line is None else terminal.send(line)
            assert (reply.status, reply.exit_code, reply.signal, reply.text) == (status, code, signum, text)
            assert (terminal.alive, terminal.exit_code, terminal.signal) == (status != "exited", code, signum)


def test_an_exit_during_a_wait_ends_it_at_once():
    with Terminal.start(["sh"], env=ENV, **NEVER_QUIET) as terminal:
        began = time.monotonic()
        reply = terminal.send("sleep 0.3; head -c 300000 /dev/zero | tr '\\0' x; exit 5")
        took = time.monotonic() - began
    assert (reply.status, reply.exit_code, reply.text) == ("exited", 5, "x" * 300000)
    assert took < 5.0, took  # 0.3 s of sleep; the exit is seen at once


# The programs of an agent's day, and what to send them. Each must read
# "ready" without prompts, and with prompts that never show (the kernel
# tells) or that end the output (the reply names it).
def programs():
    gdb = need("gdb")
    return {
        "bash": (["bash", "--norc", "--noprofile"], "echo hi", "$ "),
        "sh": (["sh"], "echo hi", "$ "),
        "python3.11": ([interpreter("3.11"), "-q"], "print(1)", ">>> "),
        "python3.13": ([interpreter("3.13"), "-q"], "print(1)", ">>> "),
        "gdb": ([gdb, "-q", "-nx"], "print 1", "(gdb) "),
        "gdb (y or n)": ([gdb, "-q", "-nx", "-ex", "file /bin/true", "-ex", "starti"], "kill", "(y or n) "),
        "sqlite3": ([need("sqlite3")], "select 1;", "sqlite> "),
        "node": ([need("node")], "1+1", "> "),
        "read -p": (["bash", "-c", "read -p 'name? ' x; read -p 'again? ' y"], "bob", "again? "),
        "input()": ([PY, "-c", "input('? '); input('?? ')"], "x", "?? "),
        "less": ([need("less"), "/etc/services"], None, None),
        "vim": ([need("vim"), "-u", "NONE", "-N"], None, None),
        "cat": (["cat"], "hello", None),
    }


PROGRAMS = ["bash", "sh", "python3.11", "python3.13", "gdb", "gdb (y or n)", "sqlite3", "node",
            "read -p", "input()", "less", "vim", "cat"]


@pytest.mark.parametrize("with_prompts", [False, True], ids=["kernel", "prompts"])
@pytest.mark.parametrize("name", PROGRAMS)
def test_ready_when_the_program_waits_for_input(name, with_prompts):
    argv, line, prompt = programs()[name]
    prompts = [prompt or "NEVER SHOWN> "] if with_prompts else None
    with Terminal.start(argv, env=ENV, prompts=prompts, **NEVER_QUIET) as terminal:
        replies = [terminal.banner] + ([] if line is None else [terminal.send(line)])
        assert [r.status for r in replies] == ["ready"] * len(replies), replies
        if with_prompts and prompt and line is not None:
            assert replies[-1].prompt == prompt


NEVER_READY = {
    "sleep": ["sleep", "30"],
    "blocked on a pipe": [PY, "-c", "import os; r, w = os.pipe(); os.read(r, 1)"],
    "blocked on a socket": [PY, "-c", "import socket; a, b = socket.socketpair(); a.recv(1)"],
    "busy loop": [PY, "-c", "while True: pass"],
    "blocked writing": [PY, "-c", "import os; r, w = os.pipe(); os.write(w, b'x' * 1000000)"],
    "shell running sleep": ["sh", "-c", "sleep 30"],
    # Relays: they read this terminal to copy it to one of their own.
    "script relaying sleep": ["script", "-q", "-c", "sleep 30", "/dev/null"],
    "sudo relaying sleep": ["sudo", "-n", "sleep", "30"],
    "script relaying sudo relaying sleep": ["script", "-q", "-c", "sudo -n sleep 30", "/dev/null"],
}
# sudo relays only where it asks no password (root), and only if installed.
SUDO_USABLE = shutil.which("sudo") is not None and subprocess.run(
    ["sudo", "-n", "true"], capture_output=True, stdin=subprocess.DEVNULL).returncode == 0


def relay_param(argv):
    return pytest.param(argv, marks=pytest.mark.skipif("sudo" in " ".join(argv) and not SUDO_USABLE,
                                                       reason="sudo is not installed, or asks a password"))


@pytest.mark.parametrize("argv", [relay_param(a) for a in NEVER_READY.values()], ids=NEVER_READY.keys())
def test_never_ready_when_the_program_does_not_read_the_terminal(argv):
    with Terminal.start(argv, timeout_ms=1500, quiet_ms=600_000) as terminal:
        assert terminal.banner.status == "timeout", terminal.banner


# A relay that looks at the program's output only every 300 ms, asleep
# reading this terminal meanwhile: the program behind it waits long before
# its last output is copied here.
LATE_RELAY = """
import os, pty, select, tty
pid, master = pty.fork()
if pid == 0:
    os.execvp("sh", ["sh"])
tty.setraw(0)
while True:
    if select.select([0], [], [], 0.3)[0]:
        os.write(master, os.read(0, 4096))
    try:
        while select.select([master], [], [], 0)[0]:
            os.write(1, os.read(master, 4096))
    except OSError:
        break
"""


@pytest.mark.parametrize("argv", [relay_param(a) for a in (
    ["script", "-q", "-c", "sh", "/dev/null"], ["sudo", "-n", "sh"], ["script", "-q", "-c", "sudo -n sh", "/dev/null"],
    [PY, "-c", LATE_RELAY],
)], ids=["script", "sudo", "script and sudo", "a relay that copies output late"])
def test_ready_behind_a_relay_only_once_the_program_behind_it_waits(argv):
    with Terminal.start(argv, env=ENV, **NEVER_QUIET) as terminal:
        assert terminal.banner.status == "ready", terminal.banner
        began = time.monotonic()
        reply = terminal.send("sleep 1; echo done")
        # The relay's terminal echoes, and its shell may prompt as root.
        assert reply.status == "ready" and reply.text.endswith(("done\n$ ", "done\n# ")), reply
        assert time.monotonic() - began >= 1.0


# The shape of ssh -t (over TCP) and of tmux's client (to its server over a
# local socket): the terminal and a connection read in one wait, the
# program behind it in another process the kernel view does not reach.
NETWORK_RELAY = """
import os, select, socket, sys, tty
family, address = (socket.AF_INET, ("127.0.0.1", int(sys.argv[1]))) if sys.argv[1].isdigit() else (socket.AF_UNIX, sys.argv[1])
connection = socket.socket(family)
connection.connect(address)
tty.setraw(0)
while select.select([0, connection], [], []):
    connection.sendall(os.read(0, 4096))
"""


@pytest.mark.parametrize("family", ["tcp", "unix"])
def test_a_relay_over_a_connection_is_never_ready_on_the_kernels_word(family, tmp_path):
    if family == "tcp":
        server = socket.create_server(("127.0.0.1", 0))
        address = str(server.getsockname()[1])
    else:
        server = socket.socket(socket.AF_UNIX)
        address = str(tmp_path / "server")
        server.bind(address)
        server.listen()
    with server, Terminal.start([PY, "-c", NETWORK_RELAY, address], env=ENV, timeout_ms=20_000) as terminal:
        reply = terminal.send("sleep 1")
        assert [(r.status, r.running) for r in (terminal.banner, reply)] == [("quiet", True)] * 2, reply


# A listening socket beside the terminal is a server's, not a relay's.
SERVING = """
import select, socket, sys
server = socket.create_server(("127.0.0.1", 0))
print("serving")
while select.select([0, server], [], []):
    print(sys.stdin.readline().strip())
"""


def test_a_program_that_serves_while_it_reads_is_ready():
    with Terminal.start([PY, "-c", SERVING], env=ENV, **NEVER_QUIET) as terminal:
        replies = [terminal.banner, terminal.send("hi")]
        assert [(r.status, r.text) for r in replies] == [("ready", "serving\n"), ("ready", "hi\n")], replies


def test_a_prompt_in_mid_output_is_not_the_end():
    with Terminal.start(["sh"], env=ENV, prompts=["$ "], **NEVER_QUIET) as terminal:
        began = time.monotonic()
        reply = terminal.send("echo 'x $ y'; sleep 1; echo done")
        assert (reply.status, reply.text, reply.prompt) == ("ready", "x $ y\ndone\n$ ", "$ ")
        assert time.monotonic() - began >= 1.0
        assert terminal.send("echo next").text == "next\n$ "


# ---------------------------------------------------------------- Enter

# `send` ends the line as the Enter key does: a program that reads lines gets
# it as a line feed through the terminal, one that reads keys sees Enter.
ENTER_CASES = {
    "bash": (["bash", "--norc", "--noprofile"], "echo $((6*7))"),
    "debian python3": (["/usr/bin/python3", "-q"], "6*7"),
    "this python": ([PY, "-q"], "6*7"),
    "gdb": (["gdb", "-q", "-nx"], "print 6*7"),
    "sqlite3": (["sqlite3"], "select 6*7;"),
}


@pytest.mark.parametrize("argv, line", ENTER_CASES.values(), ids=ENTER_CASES.keys())
def test_send_ends_a_line_that_a_line_reader_takes(argv, line):
    with Terminal.start(argv, env=ENV, **NEVER_QUIET) as terminal:
        reply = terminal.send(line)
        assert reply.status == "ready" and "42" in reply.text, reply


def test_send_submits_the_prompts_of_programs_that_read_keys(tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("alpha\nbeta\nneedle here\n")
    env = {**ENV, "HOME": str(tmp_path)}
    with Terminal.start(["nano", "--ignorercfiles", str(notes)], env=env, **NEVER_QUIET) as nano:
        nano.send_keys("C-w")
        nano.send("needle")
        # the search ran: the cursor is on the fourth row (title bar, then
        # the file), not still in the prompt at the bottom
        assert support.wait_until(lambda: nano.screen().cursor == (3, 0), timeout=10), nano.screen()
    with Terminal.start(["whiptail", "--inputbox", "Name", "10", "40"], env=env, **NEVER_QUIET) as box:
        reply = box.send("bob")
        while reply.status == "ready":
            reply = box.read(timeout_ms=5000)
        assert (reply.status, reply.exit_code, reply.text.endswith("bob")) == ("exited", 0, True), reply


# ---------------------------------------------------------------- keys

SHOW_INPUT = (
    "import os, sys, tty\n"
    "tty.setraw(0)\n"
    "if sys.argv[1] == 'application': os.write(1, b'\\x1b[?1h')\n"
    "os.write(1, b'go\\r\\n')\n"
    "while True:\n"
    "    data = os.read(0, 100)\n"
    "    os.write(1, repr(data).encode() + b'\\r\\n')\n"
)
# keys, what a normal-mode and an application-mode terminal sends
KEYS = [
    (["Up", "Down", "Right", "Left"], b"\x1b[A\x1b[B\x1b[C\x1b[D", b"\x1bOA\x1bOB\x1bOC\x1bOD"),
    (["Home", "End"], b"\x1b[H\x1b[F", b"\x1bOH\x1bOF"),
    (["Enter", "Tab", "Escape", "Backspace", "S-Tab"], b"\r\t\x1b\x7f\x1b[Z", None),
    (["PageUp", "PageDown", "Insert", "Delete"], b"\x1b[5~\x1b[6~\x1b[2~\x1b[3~", None),
    (["F1", "F4", "F5", "F12"], b"\x1bOP\x1bOS\x1b[15~\x1b[24~", None),
    (["C-a", "C-z", "C-[", "C-?", "C-@"], b"\x01\x1a\x1b\x7f\x00", None),
    (["M-x", "M-Left", "M-C-a"], b"\x1bx\x1b\x1b[D\x1b\x01", b"\x1bx\x1b\x1bOD\x1b\x01"),
    (["Up-ish", "é", "C-", "M-"], "Up-ishéC-M-".encode(), None),
    # the spellings agents use, in any case
    (["Esc", "Return", "enter", "tab", "BSpace", "^C", "Ctrl+C", "ctrl-c", "C-Space"],
     b"\x1b\r\r\t\x7f\x03\x03\x03\x00", None),
    (["up", "f1", "PgUp", "PgDn", "Del", "Ins", "S-Tab"], b"\x1b[A\x1bOP\x1b[5~\x1b[6~\x1b[3~\x1b[2~\x1b[Z",
     b"\x1bOA\x1bOP\x1b[5~\x1b[6~\x1b[3~\x1b[2~\x1b[Z"),
    (["S-Up", "C-Left"], b"\x1b[1;2A\x1b[1;5D", None),
]


@pytest.mark.parametrize("mode", ["normal", "application"])
@pytest.mark.parametrize("keys, normal, application", KEYS)
def test_keys_are_what_a_terminal_sends(keys, normal, application, mode):
    expected = normal if mode == "normal" or application is None else application
    with Terminal.start([PY, "-c", SHOW_INPUT, mode], **NEVER_QUIET) as terminal:
        assert terminal.banner.text == "go\n"
        reply = terminal.send_keys(*keys)
        assert reply.text == repr(expected) + "\n", reply


# The mode changes a moment after the banner's wait ended (the program
# reads the terminal meanwhile): no wait takes that output before the key.
LATE_MODE = (
    "import os, threading, tty\n"
    "tty.setraw(0)\n"
    "threading.Timer(0.5, os.write, (1, b'\\x1b[?1h')).start()\n"
    "os.write(1, b'go\\r\\n')\n"
    "while True:\n"
    "    os.write(1, repr(os.read(0, 100)).encode() + b'\\r\\n')\n"
)


@pytest.mark.parametrize("screen_model", [True, False])
def test_keys_follow_a_mode_the_program_set_with_no_wait_since(screen_model):
    with Terminal.start([PY, "-c", LATE_MODE], screen_model=screen_model, **NEVER_QUIET) as terminal:
        assert terminal.banner.text == "go\n"
        # the reader reads the change a moment later, whoever waits
        assert support.wait_until(lambda: terminal._encode_keys(["Up"]) == b"\x1bOA", timeout=10)
        assert terminal.send_keys("Up").text == repr(b"\x1bOA") + "\n"


@pytest.mark.parametrize("bad", ["Ctrl+Q2", "F13", "M-M-x", "S-a", "M-" * 50_000 + "x"])
def test_a_key_shape_that_names_no_key_is_refused_and_nothing_sent(bad):
    with Terminal.start([PY, "-c", SHOW_INPUT, "normal"], **NEVER_QUIET) as terminal:
        with pytest.raises(ValueError, match=r"not a key: .*PageDown \(PgDn\).*text=") as refused:
            terminal.send_keys("x", bad)
        assert len(str(refused.value)) < 2000
        # text= types any shape as it is, before the keys
        assert terminal.send_keys("Enter", text="Ctrl+Q2").text == repr(b"Ctrl+Q2\r") + "\n"


def test_keys_drive_a_shell_and_vim(tmp_path):
    with Terminal.start(["bash", "--norc", "--noprofile"], env=ENV, **NEVER_QUIET) as bash:
        bash.send("echo first")
        assert bash.send_keys("Up", "Enter").text.endswith("first\n$ ")
        assert bash.send_keys("cat", "Enter").status == "ready"
        reply = bash.send_keys("C-d")
        assert (reply.status, reply.text) == ("ready", "$ "), reply
    target = tmp_path / "out.txt"
    with Terminal.start(["vim", "-u", "NONE", "-N", str(target)], env=ENV, **NEVER_QUIET) as vim:
        vim.send_keys("i", "one", "Enter", "two", "Escape", "Up", "A", "!", "Escape")
        reply = vim.send_keys(":wq", "Enter")
        # On its way out vim waits a moment for answers to the questions it
        # asked the terminal: a wait for input too.
        deadline = time.monotonic() + 5
        while reply.status == "ready" and time.monotonic() < deadline:
            reply = vim.read()
        assert (reply.status, reply.exit_code) == ("exited", 0), reply
    assert target.read_text() == "one!\ntwo\n"


# ---------------------------------------------------------------- the cap


def test_cap_stops_a_wait_and_the_next_continues_exactly():
    expected = "".join(f"{n}\n" for n in range(1, 100001))
    with Terminal.start(["seq", "1", "100000"], max_output_bytes=50_000, **NEVER_QUIET) as terminal:
        replies = [terminal.banner]
        while replies[-1].status == "cap":
            # never the look of an end: the program runs on, or its output waits
            assert replies[-1].running or replies[-1].queued_bytes > 0, replies[-1]
            replies.append(terminal.read())
        assert replies[-1].status == "exited" and len(replies) > 5
        assert "".join(r.text for r in replies) == expected
        assert terminal.history() == expected


# ---------------------------------------------------------------- close

STUBBORN = "trap '' HUP INT TERM; sleep 300 & while :; do sleep 1; done"


@pytest.mark.parametrize("script, limit", [
    ("exec sleep 300", 0.2),
    (STUBBORN, 2.5),
    ("trap '' HUP; sleep 300 & exec sleep 300", 2.5),
    ("(trap '' HUP; exec sleep 300) & exec cat", 2.5),
    # Orphans: their parent ended before the close, so the child's tree no
    # longer shows them; one in the child's group, one in a group of its own.
    ("(trap '' HUP; sleep 300 &); exec cat", 2.5),
    ("(exec python3 -c 'import os, signal, time; os.setpgid(0, 0); signal.signal(signal.SIGHUP, signal.SIG_IGN); "
     "print(\"up\", flush=True); time.sleep(300)' &); sleep 1; exec cat", 2.5),
], ids=["ends on hangup", "ignores every signal", "background job ignores hangup", "job of a shell",
        "orphan in the child's group", "orphan in a group of its own"])
def test_close_leaves_nothing_of_the_session(script, limit):
    with support.no_leaks():
        terminal = Terminal.start(["sh", "-c", script], timeout_ms=300)
        session = [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
                   if support.session_of(pid) == terminal.pid]
        assert len(session) >= 1
        began = time.monotonic()
        terminal.close()
        took = time.monotonic() - began
        assert not [pid for pid in session if support.running(pid) and support.session_of(pid) == terminal.pid]
    assert took < limit, took
    assert terminal.closed
    with pytest.raises(RuntimeError, match="closed"):
        terminal.send("x")


# A host of its own: a contained terminal makes its process a subreaper for
# good. Two daemons that left bash's session (a setsid job, a double fork),
# one more that ends by itself, and a child of the host's own that only the
# host may reap.
CONTAIN_HOST = """
import json, os, sys, time
from morvik_agent import Terminal
folder, contain = {folder!r}, {contain!r}
with open(f"{{folder}}/daemon.py", "w") as f:
    f.write("import os, sys, time\\nif os.fork(): os._exit(0)\\nos.setsid()\\nif os.fork(): os._exit(0)\\n"
            "open(sys.argv[1], 'w').write(str(os.getpid()))\\ntime.sleep(float(sys.argv[2]))\\n")
own = os.posix_spawn("/bin/sh", ["sh", "-c", "sleep 1; exit 7"], os.environ)
terminal = Terminal.start(["bash", "--norc", "--noprofile"], env={{"PS1": "$ "}}, contain=contain,
                          quiet_ms=600_000, timeout_ms=20_000)
terminal.send(f"setsid sh -c 'echo $$ > {{folder}}/job; exec sleep 991' &")
terminal.send(f"{{sys.executable}} {{folder}}/daemon.py {{folder}}/double 991")
terminal.send(f"{{sys.executable}} {{folder}}/daemon.py {{folder}}/brief 3")
pids = {{}}
deadline = time.monotonic() + 30
while len(pids) < 3 and time.monotonic() < deadline:
    for name in ("job", "double", "brief"):
        if os.path.exists(f"{{folder}}/{{name}}") and os.path.getsize(f"{{folder}}/{{name}}"):
            pids[name] = int(open(f"{{folder}}/{{name}}").read())
    time.sleep(0.02)
deadline = time.monotonic() + 30
while os.path.exists(f"/proc/{{pids['brief']}}") and time.monotonic() < deadline:
    time.sleep(0.05)
terminal.close()
own_status = os.waitstatus_to_exitcode(os.waitpid(own, 0)[1])
print(json.dumps({{"pids": pids, "brief_gone": not os.path.exists(f"/proc/{{pids['brief']}}"),
                  "own": own_status}}))
"""


@pytest.mark.parametrize("contain, daemons_survive", [(True, False), (False, True)], ids=["contain", "plain"])
def test_close_of_a_contained_terminal_ends_daemons_and_reaps_only_its_own(contain, daemons_survive, tmp_path):
    host = support.run_host(CONTAIN_HOST.format(folder=str(tmp_path), contain=contain))
    assert host.returncode == 0, host.stderr
    seen = json.loads(host.stdout)
    daemons = [seen["pids"]["job"], seen["pids"]["double"]]
    try:
        # the orphan that ended by itself was reaped, by the host or by init;
        # the host's own child was left to the host
        assert (seen["brief_gone"], seen["own"]) == (True, 7), seen
        assert [support.running(pid) for pid in daemons] == [daemons_survive] * 2
    finally:
        for pid in filter(support.running, daemons):
            support.kill_quietly(pid)


@pytest.mark.parametrize("case, outcome", [
    # A wrapper that finds its program through $0, as valgrind's and the
    # pyenv shims do.
    ("wrapper", "real program, args: a"),
    ("not-executable", PermissionError),
    ("missing", FileNotFoundError),
    # The path given to run a descriptor by no longer names that file.
    ("swapped", OSError),
])
def test_program_runs_by_its_resolved_path_and_fails_as_the_exec_would(tmp_path, case, outcome):
    support.write_script(tmp_path, "wrap", '#!/bin/sh\nexec "$0.bin" "$@"\n')
    support.write_script(tmp_path, "wrap.bin", '#!/bin/sh\necho "real program, args: $*"\n')
    support.write_script(tmp_path, "other", "#!/bin/sh\necho ran-other\n")
    (tmp_path / "plain").write_text("#!/bin/sh\necho ran-plain\n")
    argv = {"wrapper": ["wrap", "a"], "not-executable": [str(tmp_path / "plain")],
            "missing": ["no-such-program-here"], "swapped": ["wrap"]}[case]
    options = {"env": {"PATH": f"{tmp_path}:/usr/bin:/bin"}}
    if case == "swapped":
        options.update(executable=os.open(tmp_path / "other", os.O_PATH), path=str(tmp_path / "wrap"))
    try:
        if isinstance(outcome, str):
            with Terminal.start(argv, **options) as t:
                assert t.banner.text == outcome + "\n", t.banner
            return
        with pytest.raises(outcome) as raised:
            Terminal.start(argv, **options)
        assert type(raised.value) is outcome
    finally:
        if "executable" in options:
            os.close(options["executable"])


def test_offsets_count_every_replys_text_and_read_since_replays_what_follows():
    with Terminal.start(["bash", "--norc", "--noprofile"], env={"PS1": "$ "}, prompts=["$ "]) as terminal:
        replies = [terminal.banner, terminal.send("echo one"), terminal.send("printf 'two\\nthree\\n'")]
        whole = "".join(reply.text for reply in replies)
        middle = replies[0].offset + 3
        replayed = [terminal.read(since=since, timeout_ms=100) for since in (0, middle, replies[-1].offset)]
        with pytest.raises(ValueError, match="since: offset 1000 is past the end of this terminal's text"):
            terminal.read(since=1000)
        # Once the transcript keeps less than was asked for, the reply says where it begins.
        terminal._transcript.limit = 4
        terminal.send("echo " + "x" * 20)
        old = terminal.read(since=0, timeout_ms=100)
    assert [reply.offset for reply in replies] == [len(r) for r in (replies[0].text, whole[:-len(replies[2].text)], whole)]
    assert [(r.text, r.offset, r.warning) for r in replayed] == [
        (whole, len(whole), None), (whole[middle:], len(whole), None), ("", len(whole), None)]
    earliest = old.offset - len(old.text)
    assert old.warning == (f"the text before offset {earliest} is no longer kept: this reply begins there, "
                           f"{earliest} characters after offset 0") and old.text.endswith("x\n$ ")
