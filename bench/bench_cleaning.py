#!/usr/bin/env python3
"""Throughput of the cleaning routine against memcpy and a regex stripper.

This file owns the synthetic inputs and the one table they print. It compiles
bench_cleaning.cpp with the sources of src/text (g++ -O2, in a temporary
folder), writes two inputs there, a plain text and a colour-heavy terminal log,
times the C++ cleaner and memcpy on them through that program (best of
--reps): the path the processor gets (AVX2 where it has it), the SSE2 path
every x86-64 has, and the portable one. It also times the usual Python way of doing the same job, a
regular-expression substitution and a "replace" decode, on the same bytes.

It must never turn a timing into a pass or a failure, and never leave files
behind: everything it writes lives in the temporary folder.

    .venv/bin/python bench/bench_cleaning.py                 # 64 MiB each
    .venv/bin/python bench/bench_cleaning.py --size-mib 8    # a quick look
    .venv/bin/python bench/bench_cleaning.py --baseline main # and main's cleaner, same run

With --baseline, the cleaning routine as it is at that git revision is built
too and timed in alternation with the working tree's, so that a change is
judged against figures taken on the same machine at the same moment.
"""

import argparse
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# The stripper one finds in agent code and on Q&A sites: CSI, OSC, the
# ESC-\ strings, two-byte escapes, C0 controls and CR, then a lenient decode.
PY_STRIPPER = re.compile(
    rb"""
      \x1b\[[0-?]*[ -/]*[@-~]
    | \x1b\][^\x07\x1b]*(?:\x07|\x1b\\)
    | \x1b[P^_].*?\x1b\\
    | \x1b[@-Z\\-_]
    | [\x00-\x08\x0b-\x1f]
    """,
    re.VERBOSE | re.DOTALL,
)


def py_clean(data: bytes) -> str:
    return PY_STRIPPER.sub(b"", data).decode("utf-8", "replace")


WORDS = (
    "the of and to in is that for it as with was on be at by this had not are but from or have an "
    "they which one you were all we when there can been has more if will would who so no out up "
    "function return value buffer pointer thread process signal terminal session output history"
).split()
UTF8_WORDS = ["café", "naïve", "résumé", "→", "✓", "—", "über", "日本語", "😀", "░▒▓", "π≈3.14"]


def _repeat_to(block: bytes, size: int) -> bytes:
    out = block * (size // len(block) + 1)
    return out[:size]


def plain_text(rng: random.Random, size: int) -> bytes:
    lines = []
    total = 0
    while total < min(size, 4 << 20):
        n = rng.randint(4, 16)
        words = [rng.choice(UTF8_WORDS) if rng.random() < 0.02 else rng.choice(WORDS) for _ in range(n)]
        line = (" ".join(words) + "\n").encode()
        lines.append(line)
        total += len(line)
    return _repeat_to(b"".join(lines), size)


SGR = [b"\x1b[0m", b"\x1b[1m", b"\x1b[31m", b"\x1b[1;32m", b"\x1b[01;34m", b"\x1b[38;5;208m",
       b"\x1b[38;2;255;128;0m", b"\x1b[48;5;236m", b"\x1b[4m", b"\x1b[m", b"\x1b[39;49m"]
MOVES = [b"\x1b[K", b"\x1b[2K", b"\x1b[H", b"\x1b[2J", b"\x1b[10;20H", b"\x1b[?25l", b"\x1b[?25h",
         b"\x1b[A", b"\x1b[3C", b"\x1b(B", b"\x1b=", b"\x1b>", b"\x1b[?2004h", b"\x1b[?2004l"]


def terminal_log(rng: random.Random, size: int) -> bytes:
    def word() -> bytes:
        return (rng.choice(UTF8_WORDS) if rng.random() < 0.05 else rng.choice(WORDS)).encode()

    def coloured() -> bytes:
        return rng.choice(SGR) + word() + b"\x1b[0m"

    def prompt() -> bytes:
        return (b"\x1b]0;user@host: ~/src/project\x07\x1b[01;32muser@host\x1b[00m:"
                b"\x1b[01;34m~/src/project\x1b[00m$ " + b" ".join(word() for _ in range(rng.randint(1, 4))) + b"\r\n")

    def listing() -> bytes:
        return b"  ".join(coloured() for _ in range(rng.randint(2, 6))) + b"\r\n"

    def registers() -> bytes:
        name = rng.choice([b"RAX", b"RBX", b"RCX", b"RSP", b"RIP"])
        return (b"\x1b[1m\x1b[31m" + name + b"\x1b[0m  \x1b[34m0x7ffff7dd" + b"%04x" % rng.randrange(65536)
                + "\x1b[0m ◂— 0x0\r\n".encode())

    def progress() -> bytes:
        pct = rng.randint(0, 100)
        bar = ("█" * (pct // 10) + " " * (10 - pct // 10)).encode()
        return b"\r\x1b[K %3d%% |" % pct + bar + b"| %d/100" % pct

    def rule() -> bytes:
        return b"\x1b[90m" + ("─" * rng.randint(20, 60)).encode() + b"\x1b[0m\r\n"

    def hyperlink() -> bytes:
        return b"\x1b]8;;file:///home/user/" + word() + b"\x1b\\" + word() + b"\x1b]8;;\x1b\\\r\n"

    def plain_line() -> bytes:
        return b" ".join(word() for _ in range(rng.randint(3, 14))) + b"\r\n"

    def moves() -> bytes:
        return b"".join(rng.choice(MOVES) for _ in range(rng.randint(1, 3))) + word()

    makers = [prompt, listing, registers, progress, rule, hyperlink, plain_line, plain_line, plain_line, moves]
    pieces = []
    total = 0
    while total < min(size, 4 << 20):
        piece = rng.choice(makers)()
        pieces.append(piece)
        total += len(piece)
    return _repeat_to(b"".join(pieces), size)


TIMED = ("sanitize", "sanitize_sse2", "sanitize_portable", "strip", "memcpy")


def build(cxx: str, exe: Path, include: Path) -> Path:
    """bench_cleaning.cpp with the cleaning routine found under `include`: the
    text layer, or for a revision from before it, session/sanitize.cpp."""
    sources = sorted((include / "text").glob("*.cpp")) or [include / "session" / "sanitize.cpp"]
    # The bench program names the routine by its header of today; a revision
    # from before the text layer gets a header of that name pointing at its own.
    if not (include / "text" / "cleaning.h").exists():
        (include / "text").mkdir(exist_ok=True)
        (include / "text" / "cleaning.h").write_text(
            '#include "session/sanitize.h"\nnamespace morvik { namespace text = session; }\n')
    subprocess.run(
        [cxx, "-O2", "-std=c++20", "-DNDEBUG", f"-I{include}",
         str(HERE / "bench_cleaning.cpp"), *map(str, sources), "-o", str(exe)],
        check=True,
    )
    return exe


def arguments(description: str, reps: int, reps_help: str = "repetitions (best counts)") -> argparse.ArgumentParser:
    """The options every bench program of the text and screen layers takes."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--size-mib", type=int, default=64)
    ap.add_argument("--reps", type=int, default=reps, help=reps_help)
    ap.add_argument("--cxx", default="g++")
    return ap


def run_records(exe: Path, reps: int, files: dict[str, str]) -> list[dict[str, str]]:
    """Runs a bench program over the input files: a record a line, each of
    `key=value` fields."""
    out = subprocess.run([str(exe), str(reps), *files], check=True, capture_output=True, text=True).stdout
    return [dict(item.split("=", 1) for item in line.split()) for line in out.splitlines()]


def write_inputs(tmp: Path, inputs: dict[str, bytes]) -> dict[str, str]:
    """Each input in a file of its own under `tmp`, for a bench program to
    read: the files' paths, each with its input's name."""
    files = {}
    for name, data in inputs.items():
        path = tmp / (name.replace(" ", "_").replace(",", "") + ".bin")
        path.write_bytes(data)
        files[str(path)] = name
    return files


def best_of(reps: int, fn, data: bytes) -> float:
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn(data)
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> int:
    ap = arguments(__doc__.splitlines()[0], 7, "C++ repetitions (best counts)")
    ap.add_argument("--py-reps", type=int, default=3, help="Python regex repetitions (best counts)")
    ap.add_argument("--baseline", metavar="REV", help="also time the cleaning routine of this git revision")
    ap.add_argument("--rounds", type=int, default=3, help="alternations with --baseline (best counts)")
    args = ap.parse_args()

    size = args.size_mib << 20
    rng = random.Random(1234)
    inputs = {"plain text": plain_text(rng, size), "terminal log": terminal_log(rng, size)}

    with tempfile.TemporaryDirectory(prefix="morvik-bench-cleaning-") as tmp:
        tmp = Path(tmp)
        builds = {"": build(args.cxx, tmp / "bench_cleaning", ROOT / "src")}
        if args.baseline:
            archive = subprocess.run(["git", "-C", str(ROOT), "archive", args.baseline, "src"],
                                     check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(tmp)], input=archive, check=True)
            src = tmp / "src"
            builds[f" @{args.baseline}"] = build(args.cxx, tmp / "bench_cleaning_baseline", src)
        files = write_inputs(tmp, inputs)
        # Alternating the builds spreads a noisy moment over all of them.
        best = {}
        for _ in range(args.rounds if args.baseline else 1):
            for label, exe in builds.items():
                for fields in run_records(exe, args.reps, files):
                    key = (files[fields["file"]], label)
                    if key in best:
                        for k in TIMED:
                            fields[k] = str(min(float(fields[k]), float(best[key][k])))
                    best[key] = fields

    python = {name: (best_of(args.py_reps, py_clean, data), len(py_clean(data).encode()))
              for name, data in inputs.items()}
    rows = []
    for (name, label), fields in sorted(best.items()):
        nbytes = int(fields["bytes"])
        t_py, py_text_bytes = python[name]
        mbps = {k: nbytes / 1e6 / float(fields[k]) for k in TIMED}
        mbps["python re"] = nbytes / 1e6 / t_py
        rows.append((name + label, nbytes, int(fields["cleaned"]), py_text_bytes, mbps))

    print(f"cleaning throughput, best of {args.reps} (C++) / {args.py_reps} (Python), {args.size_mib} MiB per input,"
          f" {sys.implementation.name} {sys.version.split()[0]}")
    w = max(13, *(len(r[0]) for r in rows))
    header = (f"{'input':<{w}} {'kept %':>7} {'sanitize':>10} {'sse2':>10} {'portable':>10} {'strip':>10}"
              f" {'memcpy':>10} {'python re':>10} {'vs memcpy':>10} {'vs re':>8}")
    print(header)
    print(f"{'':<{w}} {'':>7}" + f" {'MB/s':>10}" * 7)
    for name, nbytes, cleaned, py_bytes, m in rows:
        print(f"{name:<{w}} {100 * cleaned / nbytes:>7.1f} {m['sanitize']:>10.0f} {m['sanitize_sse2']:>10.0f}"
              f" {m['sanitize_portable']:>10.0f}"
              f" {m['strip']:>10.0f} {m['memcpy']:>10.0f} {m['python re']:>10.0f}"
              f" {m['sanitize'] / m['memcpy']:>10.2f} {m['sanitize'] / m['python re']:>7.1f}x")
        if py_bytes != cleaned:
            print(f"  (the regex stripper kept {py_bytes} bytes, the cleaner {cleaned}: their rules differ)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
