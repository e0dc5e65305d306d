"""What the started program inherits from the host, seen from inside the child.

Protects: the environment and working directory the host has at the moment
of the start, and that no descriptor of the host reaches the child: neither
ones the host marked inheritable nor those of the module's other live
sessions. The terminal the child gets (device, window, echo, session
leadership) is the PTY layer's and is tested there, in C++. Must never trust
the host's view alone: each check asks the child itself.
"""

import os
import re

import support


def test_child_inherits_environment_and_working_directory(tmp_path, monkeypatch):
    monkeypatch.setenv("MORVIK_PROBE", "probe-value-17")
    workdir = tmp_path / "work dir"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    script = support.write_script(
        tmp_path, "env", '#!/bin/sh\necho "VAR $MORVIK_PROBE"\necho "CWD $(pwd)"\necho REPORT-END\n'
    )
    text = support.run_to_end(script)
    assert text.endswith("REPORT-END\n"), text
    assert "VAR probe-value-17\n" in text
    assert f"CWD {workdir}\n" in text


def test_no_host_descriptor_reaches_the_child(tmp_path, spawn):
    # Descriptors the host marked inheritable are the ones a careless start
    # would pass on; a live session holds its own (terminal, reader), which
    # must not reach the next session's child either.
    other = spawn("cat", True)
    extra = [os.open("/dev/null", os.O_RDONLY) for _ in range(3)]
    extra.append(os.open(tmp_path, os.O_RDONLY))
    read_end, write_end = os.pipe()
    extra += [read_end, write_end]
    for fd in extra:
        os.set_inheritable(fd, True)
    try:
        script = support.write_script(tmp_path, "fds", "#!/bin/sh\nexec ls -l /proc/self/fd\n")
        listing = support.run_to_end(script)
    finally:
        for fd in extra:
            os.close(fd)
    assert other.is_alive()
    links = dict(re.findall(r" (\d+) -> (\S+)", listing))
    # ls itself holds one descriptor: the directory it lists.
    assert sorted(map(int, links)) == [0, 1, 2, 3], listing
    terminal = links["0"]
    assert re.fullmatch(r"/dev/pts/\d+", terminal), listing
    assert links["1"] == terminal and links["2"] == terminal
    assert links["3"].startswith("/proc/"), listing
