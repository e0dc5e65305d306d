"""Read a command's large output in bounded pieces without losing any of it.

Shows `max_output_bytes` as a per-call memory bound: a wait that reaches the
cap returns early, and the next read carries on exactly where it stopped,
also when the cap fell in the middle of what the terminal delivered at once.
The reads go on until the shell's prompt closes the output.
"""

import os
import sys
import tempfile

from morvik import Morvik

PROMPT = "MORVIK$ "
COUNT = 200_000
PIECE_BYTES = 64 * 1024


def write_wrapper(workdir: str) -> str:
    wrapper = os.path.join(workdir, "shell")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nPS1='{PROMPT}' exec bash --norc --noprofile\n")
    os.chmod(wrapper, 0o755)
    return wrapper


def main() -> int:
    with tempfile.TemporaryDirectory() as workdir:
        session = Morvik(write_wrapper(workdir), True, [PROMPT])
        try:
            session.read_until_ready(timeout_ms=10000)
            text = session.send_and_read_until_ready(
                f"seq 1 {COUNT}", timeout_ms=10000, max_output_bytes=PIECE_BYTES
            )
            reads = 1
            # Output that does not end at the prompt was stopped by the cap.
            # The whole text is tested, not the last piece: a cap may also
            # fall inside the prompt itself.
            while not text.endswith(PROMPT):
                piece = session.read_until_ready(timeout_ms=10000, max_output_bytes=PIECE_BYTES)
                if not piece:
                    print("the shell went silent before its prompt", file=sys.stderr)
                    return 1
                text += piece
                reads += 1
        finally:
            session.close()
    numbers = text[: -len(PROMPT)].split()
    intact = numbers == [str(n) for n in range(1, COUNT + 1)]
    print(f"{reads} reads of at most {PIECE_BYTES} bytes each")
    print(f"{len(numbers)} lines, first {numbers[0]}, last {numbers[-1]}")
    print(f"every line present and in order: {intact}")
    return 0 if intact else 1


if __name__ == "__main__":
    sys.exit(main())
