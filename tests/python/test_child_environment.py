"""What the started program finds around it, seen from inside the child.

Protects: the start-up failure report, the terminal the child gets (device,
size, echo, controlling terminal, session leadership), the descriptors
it inherits, and that starting and dropping many sessions
gives back everything it took. Must never trust the host's view alone: each
check asks the child itself.
"""

import os
import re
import time

import pytest

from morvik import Morvik

import support


# ------------------------------------------------------------ failed start


class TestFailedStart:
    def _start_error(self, command):
        before = support.Resources.snapshot()
        with pytest.raises(Exception) as info:
            Morvik(command, True)
        # Nothing of the failed start may stay behind: no master, no pipe end,
        # no reader thread, no uncollected child.
        assert support.settled_difference(before) == {}
        return info.value

    def test_missing_program_is_reported_as_plain_exception(self):
        error = self._start_error("morvik-no-such-program")
        assert type(error) is Exception
        assert str(error) == (
            "Failed to spawn process with command 'morvik-no-such-program': "
            "ENOENT: No such file or directory"
        )

    def test_command_with_blank_is_one_program_name_not_a_command_line(self):
        error = self._start_error("cat -n")
        assert type(error) is Exception
        assert str(error) == (
            "Failed to spawn process with command 'cat -n': ENOENT: No such file or directory"
        )

    def test_file_without_execute_permission_is_refused(self, tmp_path):
        path = tmp_path / "not-executable"
        path.write_text("#!/bin/sh\necho hi\n")
        path.chmod(0o644)
        error = self._start_error(str(path))
        assert type(error) is Exception
        assert str(error) == (
            f"Failed to spawn process with command '{path}': EACCES: Permission denied"
        )


# ------------------------------------------------------------ the terminal


def _report(tmp_path, name, body):
    """Run a shell script in a session, return its cleaned output once it ended."""
    script = support.write_script(tmp_path, name, "#!/bin/sh\n" + body + "\necho REPORT-END\n")
    text = support.run_to_end(script)
    assert text.endswith("REPORT-END\n"), text
    return text


class TestTerminal:
    def test_standard_descriptors_are_one_pseudo_terminal(self, tmp_path):
        text = _report(
            tmp_path,
            "ttys",
            # Outside a command substitution, so descriptor 1 is still the terminal.
            'printf "IN "; tty\nprintf "OUT "; tty <&1\nprintf "ERR "; tty <&2',
        )
        found = dict(re.findall(r"^(IN|OUT|ERR) (\S+)$", text, re.M))
        assert set(found) == {"IN", "OUT", "ERR"}, text
        assert re.fullmatch(r"/dev/pts/\d+", found["IN"]), text
        assert found["OUT"] == found["IN"] and found["ERR"] == found["IN"]

    def test_window_is_24_rows_by_80_columns(self, tmp_path):
        text = _report(tmp_path, "size", 'echo "SIZE $(stty size)"')
        assert "SIZE 24 80\n" in text

    def test_echo_is_off_and_signals_are_on(self, tmp_path):
        text = _report(tmp_path, "modes", "stty -a")
        tokens = set(re.split(r"[\s;]+", text))
        assert "-echo" in tokens and "echo" not in tokens, text
        # The interrupt byte must reach the line discipline as a signal.
        assert "isig" in tokens, text

    def test_child_leads_a_new_session_with_the_terminal_as_controlling_tty(self, tmp_path):
        text = _report(
            tmp_path,
            "leader",
            'echo "PID $$"\necho "TTY $(tty)"\necho "STAT $(cat /proc/$$/stat)"',
        )
        pid = int(re.search(r"^PID (\d+)$", text, re.M).group(1))
        tty = re.search(r"^TTY (\S+)$", text, re.M).group(1)
        stat = re.search(r"^STAT (.*)$", text, re.M).group(1)
        fields = stat.rsplit(")", 1)[1].split()
        pgrp, session_id, tty_nr = int(fields[2]), int(fields[3]), int(fields[4])
        assert pid != os.getpid()
        assert session_id == pid and pgrp == pid
        assert session_id != os.getsid(0)
        number = int(tty.rsplit("/", 1)[1])
        major, minor = support.decode_tty_nr(tty_nr)
        # Unix98 pseudo-terminal subordinates have major numbers 136 to 143.
        assert 136 <= major <= 143, (major, minor)
        assert (major - 136) * 256 + minor == number

    def test_no_host_descriptor_reaches_the_child(self, tmp_path):
        # Descriptors the host marked inheritable are the ones a careless
        # start would pass on.
        extra = [os.open("/dev/null", os.O_RDONLY) for _ in range(3)]
        extra.append(os.open(tmp_path, os.O_RDONLY))
        read_end, write_end = os.pipe()
        extra += [read_end, write_end]
        for fd in extra:
            os.set_inheritable(fd, True)
        try:
            script = support.write_script(
                tmp_path, "fds", "#!/bin/sh\nexec ls -l /proc/self/fd\n"
            )
            listing = support.run_to_end(script)
        finally:
            for fd in extra:
                os.close(fd)
        links = dict(re.findall(r" (\d+) -> (\S+)", listing))
        # ls itself holds one descriptor: the directory it lists.
        assert sorted(map(int, links)) == [0, 1, 2, 3], listing
        terminal = links["0"]
        assert re.fullmatch(r"/dev/pts/\d+", terminal), listing
        assert links["1"] == terminal and links["2"] == terminal
        assert links["3"].startswith("/proc/"), listing


# ------------------------------------------------------------ program lookup


def test_bare_program_name_is_found_along_path_and_runs(tmp_path):
    session = Morvik("bash", True)
    try:
        assert session.is_alive()
        session.set_ready_markers(["DONE-7"])
        # The marker is computed by the shell, so only a real round trip
        # through bash can produce it.
        answer = session.send_and_read_until_ready("echo DONE-$((3+4))", timeout_ms=10000)
        assert "DONE-7" in answer
        assert session.is_alive()
    finally:
        session.close()
    assert not session.is_alive()


def test_child_inherits_environment_and_working_directory(tmp_path, monkeypatch):
    monkeypatch.setenv("MORVIK_PROBE", "probe-value-17")
    workdir = tmp_path / "work dir"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    text = _report(tmp_path, "env", 'echo "VAR $MORVIK_PROBE"\necho "CWD $(pwd)"')
    assert "VAR probe-value-17\n" in text
    assert f"CWD {workdir}\n" in text


# ------------------------------------------------------------ many sessions


@pytest.mark.soak
def test_many_started_and_dropped_sessions_leave_no_trace():
    count = support.scaled(30, 200)
    before = support.Resources.snapshot()
    start = time.monotonic()
    for _ in range(count):
        session = Morvik("cat", False)
        assert session.is_alive()
        del session
    took = time.monotonic() - start
    assert support.settled_difference(before) == {}
    # Each drop pauses about 100 ms for the hang-up to work; far beyond that
    # means teardown waits on something it should not.
    assert took < count * 0.6, took
