"""Drive an interactive Python interpreter and print the clean transcript.

Shows a REPL as the child: two prompts as ready markers (">>> " and the
continuation "... "), a multi-line definition sent line by line, and a
traceback whose colours the cleaning removes. The command given to Morvik is
one program taken verbatim, so the interpreter's options and environment live
in a small wrapper script.
"""

import os
import sys
import tempfile

from morvik import Morvik

PROMPTS = [">>> ", "... "]

LINES = [
    "6 * 7",
    "sorted({'pear': 3, 'fig': 1, 'plum': 2}.items(), key=lambda kv: kv[1])",
    "def greet(name):",
    "    return f'hello, {name}'",
    "",
    "greet('morvik')",
    "import sys; sys.version_info >= (3, 12)",
    "1 / 0",
    "print('still running')",
]


def write_wrapper(workdir: str) -> str:
    wrapper = os.path.join(workdir, "python-repl")
    with open(wrapper, "w") as f:
        # The plain line-based REPL; the newer one redraws the screen.
        f.write(f"#!/bin/sh\nPYTHON_BASIC_REPL=1 exec {sys.executable} -q\n")
    os.chmod(wrapper, 0o755)
    return wrapper


def main() -> int:
    with tempfile.TemporaryDirectory() as workdir:
        session = Morvik(write_wrapper(workdir), True, PROMPTS)
        try:
            print(session.read_until_ready(timeout_ms=10000), end="")
            for line in LINES:
                answer = session.send_and_read_until_ready(line, timeout_ms=10000)
                # Echo is off, so print the input after the prompt ourselves.
                print(line)
                print(answer, end="")
            print()
            print(f"python still running: {session.is_alive()}")
        finally:
            session.close()
        print(f"after close: {session.is_alive()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
