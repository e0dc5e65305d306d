"""Drive gdb through a small C program and print the clean transcript.

What `make demo` runs. The command given to Morvik is one program taken
verbatim, so gdb's options live in a small wrapper script.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

from morvik import Morvik

PROGRAM = textwrap.dedent(
    """\
    #include <stdio.h>

    static int square(int x) {
        int result = x * x;
        return result;
    }

    int main(void) {
        int total = 0;
        for (int i = 1; i <= 3; i++)
            total += square(i);
        printf("total = %d\\n", total);
        return 0;
    }
    """
)


def build(workdir: str) -> str:
    source = os.path.join(workdir, "squares.c")
    binary = os.path.join(workdir, "squares")
    with open(source, "w") as f:
        f.write(PROGRAM)
    subprocess.run(["cc", "-g", "-O0", "-o", binary, source], check=True)
    wrapper = os.path.join(workdir, "gdb-squares")
    with open(wrapper, "w") as f:
        f.write(f'#!/bin/sh\nexec gdb -q -nx "{binary}"\n')
    os.chmod(wrapper, 0o755)
    return wrapper


def main() -> int:
    if shutil.which("gdb") is None or shutil.which("cc") is None:
        print("this demo needs gdb and a C compiler", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as workdir:
        session = Morvik(build(workdir), True)
        try:
            print(session.read_until_ready(timeout_ms=10000), end="")
            for command in [
                "set pagination off",
                "set confirm off",
                "break square",
                "run",
                "backtrace",
                "print x",
                "finish",
                "continue",
                "info breakpoints",
                "delete",
                "continue",
            ]:
                answer = session.send_and_read_until_ready(command, timeout_ms=10000)
                print(command)
                print(answer, end="")
            print()
            print(f"gdb still running: {session.is_alive()}")
        finally:
            session.close()
        print(f"after close: {session.is_alive()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
