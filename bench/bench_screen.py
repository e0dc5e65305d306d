#!/usr/bin/env python3
"""The screen model's cost, against memcpy in the same run.

Builds bench_screen.cpp with the screen model and libvterm (g++ -O2, in a
temporary folder) and times, on a 24 x 80 screen: libvterm fed eagerly in
reads of 4 KiB, and LazyScreen taking the same bytes in reads of 64 KiB and
then materialising the screen once, as an agent's screen() would after a
long output. The inputs: the colour log and the plain text of
bench_cleaning.py (with CR LF line ends, as a terminal delivers them), and a
TUI redraw stream made here in the manner of top (home, then each row
addressed, coloured and erased to its end, frame after frame). The lazy
screen is compared with the eager one and the result printed; a timing is
never a pass or a failure.

    .venv/bin/python bench/bench_screen.py                # 64 MiB each
    .venv/bin/python bench/bench_screen.py --size-mib 8
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


def tui_redraws(rng: random.Random, size: int) -> bytes:
    """Frames as top draws them on the alternate screen."""
    frames = [b"\x1b[?1049h\x1b[H\x1b[2J"]
    total = 0
    n = 0
    while total < min(size, 4 << 20):
        rows = [b"\x1b[H\x1b[1mtop - 12:%02d:%02d up 3 days,  load average: %d.%02d\x1b[m\x1b[K" % (
            n // 60 % 60, n % 60, rng.randrange(4), rng.randrange(100))]
        for r in range(2, 25):
            pid = rng.randrange(1, 99999)
            rows.append(b"\x1b[%d;1H\x1b[%dm%7d user      20   0 %7d %6d S %5.1f %4.1f   %d:%02d.%02d %s\x1b[m\x1b[K" % (
                r, 7 if r == 7 else 39, pid, rng.randrange(10**6), rng.randrange(10**5), rng.random() * 100,
                rng.random() * 10, rng.randrange(60), rng.randrange(60), rng.randrange(100),
                rng.choice([b"bash", b"python3", b"vim", b"top", b"kworker/0:1"])))
        frame = b"".join(rows)
        frames.append(frame)
        total += len(frame)
        n += 1
    block = b"".join(frames)
    return (block * (size // len(block) + 1))[:size]


def main() -> int:
    args = arguments(__doc__.splitlines()[0], 1).parse_args()
    size = args.size_mib << 20
    rng = random.Random(1234)
    inputs = {
        "colour log": terminal_log(rng, size),
        "plain text, CR LF": plain_text(rng, size).replace(b"\n", b"\r\n")[:size],
        "TUI redraws": tui_redraws(rng, size),
    }
    with tempfile.TemporaryDirectory(prefix="morvik-bench-screen-") as tmp:
        tmp = Path(tmp)
        build = tmp / "build"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DMORVIK_BUILD_EXTENSION=OFF",
                        "-DMORVIK_BUILD_HOOKS=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target", "morvik_screen"], check=True,
                       capture_output=True)
        archive = build / "vterm" / "libvterm_morvik.a"
        vterm = [str(archive)] if archive.exists() else ["-lvterm"]
        exe = tmp / "bench_screen"
        subprocess.run([args.cxx, "-O2", "-std=c++20", "-DNDEBUG", f"-I{ROOT / 'src'}", str(HERE / "bench_screen.cpp"),
                        str(build / "libmorvik_screen.a"), str(build / "libmorvik_text.a"), *vterm, "-o", str(exe)],
                       check=True)
        files = write_inputs(tmp, inputs)
        records = run_records(exe, args.reps, files)

    print(f"screen model, 24x80, {args.size_mib} MiB per input, best of {args.reps}")
    print(f"{'input':<18} {'libvterm MB/s':>14} {'memcpy MB/s':>12} {'lazy append MB/s':>17}"
          f" {'screen() ms':>12} {'held KiB':>9} {'restarts':>9} {'exact':>6}")
    for f in records:
        mb = int(f["bytes"]) / 1e6
        print(f"{files[f['file']]:<18} {mb / float(f['feed']):>14.1f} {mb / float(f['memcpy']):>12.0f}"
              f" {mb / float(f['append']):>17.0f} {1000 * float(f['screen']):>12.1f} {int(f['held']) // 1024:>9}"
              f" {f['restarts']:>9} {'yes' if f['exact'] == '1' else 'NO':>6}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
