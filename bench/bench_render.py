#!/usr/bin/env python3
"""Throughput of the line renderer against the cleaner and memcpy.

Builds bench_render.cpp with the cleaner and the renderer (g++ -O2, in a
temporary folder), writes the inputs of bench_cleaning.py there (plain text,
the same text with CR LF line ends as a terminal delivers it, and the
colour-heavy terminal log) and times, best of --reps, each input read whole
and in reads of 64 KiB (the renderer taking its text after each read, as an
agent does). A timing is never a pass or a failure; nothing is left behind.

    .venv/bin/python bench/bench_render.py                # 64 MiB each
    .venv/bin/python bench/bench_render.py --size-mib 8   # a quick look
"""

import random
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from bench_cleaning import arguments, plain_text, run_records, terminal_log, write_inputs  # noqa: E402

TIMED = ("clean", "render", "clean_reads", "render_reads", "memcpy")


def main() -> int:
    args = arguments(__doc__.splitlines()[0], 5).parse_args()

    size = args.size_mib << 20
    rng = random.Random(1234)
    plain = plain_text(rng, size)
    inputs = {
        "plain text": plain,
        "plain text, CR LF": plain.replace(b"\n", b"\r\n")[:size],
        "terminal log": terminal_log(rng, size),
    }
    with tempfile.TemporaryDirectory(prefix="morvik-bench-render-") as tmp:
        tmp = Path(tmp)
        exe = tmp / "bench_render"
        src = ROOT / "src"
        subprocess.run([args.cxx, "-O2", "-std=c++20", "-DNDEBUG", f"-I{src}", str(HERE / "bench_render.cpp"),
                        *map(str, sorted((src / "text").glob("*.cpp"))), "-o", str(exe)], check=True)
        files = write_inputs(tmp, inputs)
        records = run_records(exe, args.reps, files)

    print(f"line renderer throughput, best of {args.reps}, {args.size_mib} MiB per input; MB/s")
    print(f"{'input':<18} {'kept %':>7} {'cleaner':>9} {'renderer':>9} {'ratio':>6}"
          f" {'cleaner/64K':>12} {'renderer/64K':>13} {'ratio':>6} {'memcpy':>8}")
    for f in records:
        nbytes = int(f["bytes"])
        m = {k: nbytes / 1e6 / float(f[k]) for k in TIMED}
        print(f"{files[f['file']]:<18} {100 * int(f['rendered']) / nbytes:>7.1f} {m['clean']:>9.0f} {m['render']:>9.0f}"
              f" {m['render'] / m['clean']:>6.2f} {m['clean_reads']:>12.0f} {m['render_reads']:>13.0f}"
              f" {m['render_reads'] / m['clean_reads']:>6.2f} {m['memcpy']:>8.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
