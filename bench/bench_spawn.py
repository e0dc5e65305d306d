"""Start-up cost against the size of the host: how long `Morvik(program)`
takes in a process that holds 0, 256 and 1024 MiB of touched memory.

Each size runs in a fresh interpreter of its own, which fills a bytearray of
that size (every page written, so it is resident) and then times 60 starts
of the program, closing each session outside the timing. A start whose cost
grows with the host is one that copies the host.

    .venv/bin/python bench/bench_spawn.py [--program cat] [--sizes 0,256,1024]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys

WORKER = r"""
import statistics, sys, time, morvik
ballast = bytearray(int(sys.argv[1]) << 20)
for i in range(0, len(ballast), 4096):
    ballast[i] = 1
times = []
for _ in range(60):
    t = time.perf_counter()
    m = morvik.Morvik(sys.argv[2], False)
    times.append(time.perf_counter() - t)
    m.close()
print(statistics.median(times), sorted(times)[int(0.95 * len(times))])
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default="cat")
    parser.add_argument("--sizes", default="0,256,1024", help="MiB held by the host, comma-separated")
    args = parser.parse_args()
    print(f"| host holds | median start of `{args.program}` | p95 |")
    print("|---|---|---|")
    for size in (int(s) for s in args.sizes.split(",")):
        done = subprocess.run([sys.executable, "-c", WORKER, str(size), args.program],
                              capture_output=True, text=True, check=True)
        median, p95 = (float(x) for x in done.stdout.split())
        print(f"| {size} MiB | {median * 1e3:.2f} ms | {p95 * 1e3:.2f} ms |")


if __name__ == "__main__":
    main()
