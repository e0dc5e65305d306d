"""What a client of `morvik-mcp` may start, and with which environment.

Owns: the programs the operator allowed, each looked up once along the
server's ``PATH`` at start-up and held open from then on; the names a
client may start them by; and the environment variables a client may add.
Must never let a client reach a file by a name the operator did not allow
(a name that resolves, through a symlink or ``PATH``, to an allowed file is
still refused: ``rbash`` and ``bash`` are one file that behaves two ways),
never look a client's name up in the file system (a swapped path or a
client's ``PATH`` would change what runs), and never let a client change or
remove a variable of the server's own environment.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Mapping
from typing import NamedTuple

from morvik_agent.terminal import open_program, resolve_program


class Program(NamedTuple):
    """An allowed program: the name the operator gave, the absolute path it
    was found at (symlinks in it kept, since a program may read its own
    name), and the descriptor opened there at start-up, which every start
    runs from."""

    name: str
    path: str
    fd: int
    # For a "#!" script: the canonical path it runs by (its interpreter
    # finds it through $0, which a descriptor would make /dev/fd/N), and
    # its "#!" line's interpreter. None for a binary, which runs from fd.
    script: str | None = None
    interpreter: str | None = None


class Policy:
    """The operator's rules for one server.

    ``programs`` None means any program may be started, with any
    environment (``--allow-any``).
    """

    def __init__(self, programs: list[Program] | None, env_names: Iterable[str] = (),
                 server_env: Mapping[str, str] | None = None) -> None:
        self.programs = programs
        self.env_names = frozenset(env_names)
        # TERM is not the server's to keep: it describes the server's own
        # terminal, and a program gets the one its terminal emulates instead.
        self._server_env = frozenset(os.environ if server_env is None else server_env) - {"TERM"}
        # The names a client may say: each program's name as written and its
        # path first, then the last part of the path (so "/opt/gdb/bin/gdb"
        # is also "gdb"); the first program given wins a shared name.
        self._by_name: dict[str, Program] = {}
        for program in programs or ():
            self._by_name.setdefault(program.name, program)
            self._by_name.setdefault(program.path, program)
        for program in programs or ():
            self._by_name.setdefault(os.path.basename(program.path), program)

    @classmethod
    def allowing(cls, names: Iterable[str], env_names: Iterable[str] = ()) -> Policy:
        """The policy of ``--allow NAME ...`` and ``--allow-env NAME ...``:
        each name looked up along this process's ``PATH`` (or taken as a
        path), and opened. Raises ValueError saying which name failed."""
        programs = []
        try:
            for name in names:
                try:
                    path = resolve_program(name)
                    fd = open_program(path)
                except OSError as error:
                    raise ValueError(f"--allow {name}: {error.strerror or error}") from None
                programs.append(Program(name, path, fd))
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    raise ValueError(f"--allow {name}: {path} is not a regular file")
                interpreter = _interpreter(fd)
                if interpreter is not None:
                    programs[-1] = programs[-1]._replace(script=os.path.realpath(path), interpreter=interpreter)
            for env_name in env_names:
                if not env_name or "=" in env_name or "\0" in env_name:
                    raise ValueError(f"--allow-env: not an environment variable name: {env_name!r}")
        except ValueError:
            for program in programs:
                os.close(program.fd)
            raise
        return cls(programs, env_names)

    def scripts(self) -> list[Program]:
        """The allowed programs that are "#!" scripts."""
        return [program for program in self.programs or () if program.script is not None]

    @property
    def any(self) -> bool:
        return self.programs is None

    def program(self, name: str) -> Program:
        """The allowed program a client's ``argv[0]`` names; ValueError if none."""
        assert self.programs is not None
        found = self._by_name.get(name)
        if found is None:
            raise ValueError(f"argv[0]: {name!r} is not allowed here; this server may start: {self.describe()}")
        return found

    def environment(self, env: Mapping[str, str] | None) -> dict[str, str] | None:
        """The variables a client asked for, if it may set them all; else
        ValueError naming every one it may not."""
        if not env or self.any:
            return dict(env) if env else None
        problems = []
        refused = sorted(name for name in env if name not in self.env_names)
        if refused:
            may = ", ".join(sorted(self.env_names - self._server_env)) or "none"
            problems.append(f"{', '.join(refused)} may not be set here (clients may set: {may}; "
                            "the operator names them with --allow-env)")
        kept = sorted(name for name in env if name in self.env_names and name in self._server_env)
        if kept:
            problems.append(f"{', '.join(kept)} is set by the server, and a client never changes it")
        if problems:
            raise ValueError(f"env: {'; '.join(problems)}")
        return dict(env)

    def fixed_names(self) -> list[str]:
        """The ``--allow-env`` names the server's own environment already
        sets, which clients therefore cannot set after all."""
        return sorted(self.env_names & self._server_env)

    def describe(self) -> str:
        """The allowed programs, as the model reads them."""
        if self.programs is None:
            return "any program"
        return ", ".join(
            program.name if program.name == program.path else f"{program.name} ({program.path})"
            for program in self.programs
        )

    def close(self) -> None:
        for program in self.programs or ():
            os.close(program.fd)


# A "#!" line longer than this is not one the kernel would run.
_SHEBANG_LIMIT = 256


def _interpreter(fd: int) -> str | None:
    """The interpreter named by the "#!" line of the file ``fd`` holds (a
    path-only descriptor), or None when it has none, or cannot be read (a
    program that may be run but not read is no script)."""
    try:
        with open(f"/proc/self/fd/{fd}", "rb") as file:
            head = file.read(_SHEBANG_LIMIT)
    except OSError:
        return None
    if not head.startswith(b"#!"):
        return None
    line = head[2:].split(b"\n", 1)[0].strip()
    return os.fsdecode(line) or None
