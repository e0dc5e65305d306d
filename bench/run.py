#!/usr/bin/env python3
"""The benchmark suite behind `make bench`: morvik against its peers and a C floor.

This file owns the scenarios, the clock, the interleaving and the one table
they print. Every scenario runs each implementation round by round in a
order of its own, so that machine noise hits all of them alike, and reports the
median and the 95th percentile per implementation together with two ratios
measured in the same run: against the C floor (bench/floor.c, compiled here
with cc -O2) and against the plain Python loop (bench/peers.py).

It must never turn a timing into a pass or a failure: a figure is reported,
never judged. It must never leave a child behind: every session it opens is
closed in a finally block, and the S6 workers run in their own processes. It
checks what each implementation returned (the answer, the byte count, the
marker) so that a fast wrong answer cannot pass for a fast right one.

    .venv/bin/python bench/run.py              # full run, about 5 minutes
    .venv/bin/python bench/run.py --quick      # short run, under 2 minutes
    .venv/bin/python bench/run.py --only S2,S3 # a subset
"""

import argparse
import ctypes
import gc
import json
import math
import os
import platform
import random
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers  # noqa: E402

MiB = 1 << 20
BIG_OUTPUT = 128 * MiB  # max_output_bytes for the bulk waits: never the limit
EMIT_PROMPT = "EMIT> "
BASH_PROMPT = "MORVIK$ "
POLL_BUDGET = 1 * MiB  # read_available max_bytes in the polling variant
POLL_SLEEP_S = 0.001  # what a polling caller sleeps when nothing is queued
LATENCY_TIMEOUT_S = 10.0
BULK_TIMEOUT_S = 180.0

FULL = dict(s1_rounds=40, s2_round_trips=300, s3_rounds=7, s3_bytes=64 * MiB,
            s4_rounds=7, s4_bytes=64 * MiB, s5_rounds=7, s5_bytes=10 * MiB,
            s6_rounds=5, s6_sessions=64, s6_round_trips=50, warmup=5)
QUICK = dict(s1_rounds=8, s2_round_trips=50, s3_rounds=2, s3_bytes=64 * MiB,
             s4_rounds=2, s4_bytes=64 * MiB, s5_rounds=2, s5_bytes=10 * MiB,
             s6_rounds=1, s6_sessions=64, s6_round_trips=50, warmup=3)

# Lines of 80 bytes in 64 KiB writes: a program dumping a large result.
BULK_WRITE = (65536, 80)
# One 16-byte line per write: a line-buffered program printing a log.
FLOOD_WRITE = (16, 16)

ALL_SCENARIOS = ("S1", "S2", "S3", "S4", "S5", "S6")


class Broken(Exception):
    """An implementation gave a wrong or missing answer; its figures are void."""


class Sample(NamedTuple):
    wall: float  # seconds
    cpu: float  # seconds of CPU of the driving process (all its threads)
    out: object  # what came back: text for Python drivers, a byte count for the floor
    reads: int = 0  # reads of the terminal, where known (the floor counts them)
    switches: int = 0  # context switches of the driving process, all its threads


# ---------------------------------------------------------------- statistics


def percentile(values, q):
    xs = sorted(values)
    if not xs:
        return math.nan
    k = (len(xs) - 1) * q
    lo = math.floor(k)
    hi = min(lo + 1, len(xs) - 1)
    return xs[lo] + (xs[hi] - xs[lo]) * (k - lo)


def median(values):
    return percentile(values, 0.5)


# ---------------------------------------------------------------- morvik adapters


def _load_morvik():
    try:
        from morvik import Morvik
    except ImportError as e:
        sys.exit(f"cannot import morvik ({e}); run `make install` first")
    return Morvik


class MorvikMarker:
    """morvik as an agent uses it: marker mode, no settle."""

    name = "morvik"

    def __init__(self, program, marker):
        self.marker = marker
        self.m = _load_morvik()(program, True, [marker])

    def _checked(self, out):
        # A wait that runs out of time is not an error in morvik; here it is.
        if self.marker not in out[-4096:]:
            raise Broken(f"{self.name}: no {self.marker!r} at the end of the output")
        return out

    def wait(self, timeout_s):
        return self._checked(self.m.read_until_ready(
            timeout_ms=int(timeout_s * 1000), max_output_bytes=BIG_OUTPUT, settle_ms=0))

    def ask(self, line, timeout_s):
        return self._checked(self.m.send_and_read_until_ready(
            line, timeout_ms=int(timeout_s * 1000), max_output_bytes=BIG_OUTPUT, settle_ms=0))

    def close(self):
        self.m.close()


class MorvikQuiet(MorvikMarker):
    """morvik in quiet mode (non-interactive) on the same child: returns once
    the output has been silent for the default 80 ms. If the child pauses
    that long before its prompt, the caller simply reads again."""

    name = "morvik quiet"

    def __init__(self, program, marker):
        self.marker = marker
        self.m = _load_morvik()(program, False)

    def _until_marker(self, out, deadline):
        parts = [out]
        while self.marker not in parts[-1][-4096:]:
            left_ms = int((deadline - time.monotonic()) * 1000)
            if left_ms <= 0:
                raise Broken(f"{self.name}: no {self.marker!r} before the deadline")
            parts.append(self.m.read_until_ready(timeout_ms=left_ms, max_output_bytes=BIG_OUTPUT))
        return "".join(parts)

    def wait(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        return self._until_marker("", deadline)

    def ask(self, line, timeout_s):
        deadline = time.monotonic() + timeout_s
        out = self.m.send_and_read_until_ready(
            line, timeout_ms=int(timeout_s * 1000), max_output_bytes=BIG_OUTPUT)
        return self._until_marker(out, deadline)


class MorvikPoll(MorvikMarker):
    """morvik drained by polling read_available: the line goes out with a
    zero-timeout send, then the caller polls, sleeping 1 ms whenever nothing
    is queued."""

    name = "morvik read_available"

    def ask(self, line, timeout_s):
        self.m.send_and_read_until_ready(line, timeout_ms=0)
        deadline = time.monotonic() + timeout_s
        parts = []
        tail = ""
        keep = len(self.marker) - 1
        while True:
            text = self.m.read_available(POLL_BUDGET)
            if text:
                parts.append(text)
                if self.marker in tail + text[:keep] or self.marker in text:
                    return "".join(parts)
                tail = (tail + text)[-keep:]
            elif time.monotonic() > deadline:
                raise Broken(f"{self.name}: no {self.marker!r} before the deadline")
            else:
                time.sleep(POLL_SLEEP_S)


# ---------------------------------------------------------------- drivers


def _switches():
    """Context switches of this process so far, all its threads together."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


class PythonDriver:
    """Times an in-process implementation from the outside, on the same clock for all."""

    def __init__(self, factory, name=None):
        self.factory = factory
        self.name = name or factory.name

    def start(self, program, marker, timeout_s):
        c0 = time.process_time()
        t0 = time.perf_counter()
        session = self.factory(program, marker)
        out = session.wait(timeout_s)
        t1 = time.perf_counter()
        return Sample(t1 - t0, time.process_time() - c0, out), session

    def ask(self, session, line, timeout_s):
        w0 = _switches()
        c0 = time.process_time()
        t0 = time.perf_counter()
        out = session.ask(line, timeout_s)
        t1 = time.perf_counter()
        c1 = time.process_time()
        return Sample(t1 - t0, c1 - c0, out, switches=_switches() - w0)

    def close(self, session):
        t0 = time.perf_counter()
        session.close()
        return Sample(time.perf_counter() - t0, 0.0, None)

    def shutdown(self):
        pass


class FloorDriver:
    """The C floor, one `floor serve` process per driver; it times itself."""

    name = "C floor"

    def __init__(self, floor_binary):
        self.proc = subprocess.Popen([str(floor_binary), "serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def command(self, *words):
        self.proc.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().split()
        if not reply or reply[0] != "ok":
            raise Broken(f"C floor: {' '.join(reply) or 'no answer'} to {words[0]}")
        return reply[1:]

    def start(self, program, marker, timeout_s):
        sid, ns, nbytes, found = self.command(
            "start", _hex(program), _hex(marker), int(timeout_s * 1000))
        if found != "1":
            self.command("close", sid)
            raise Broken(f"C floor: no {marker!r} after start")
        return Sample(int(ns) / 1e9, 0.0, int(nbytes)), (sid, marker)

    def ask(self, session, line, timeout_s):
        sid, marker = session
        ns, nbytes, found, cpu_ns, reads, switches = self.command(
            "ask", sid, _hex(line), _hex(marker), int(timeout_s * 1000))
        if found != "1":
            raise Broken(f"C floor: no {marker!r} after {line!r}")
        return Sample(int(ns) / 1e9, int(cpu_ns) / 1e9, int(nbytes), int(reads), int(switches))

    def close(self, session):
        (ns,) = self.command("close", session[0])
        return Sample(int(ns) / 1e9, 0.0, None)

    def shutdown(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)


def _hex(text):
    return text.encode().hex()


# ---------------------------------------------------------------- workspace


class Workspace:
    """A temporary folder holding the floor binary and the child programs."""

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="morvik-bench-"))
        self.floor = self.dir / "floor"
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-Wall", "-o", str(self.floor), str(HERE / "floor.c")],
                       check=True)
        self.bash = self._script("bash", f"PS1='{BASH_PROMPT}' exec bash --norc --noprofile")
        self.python = self._script("python", f"PYTHON_BASIC_REPL=1 exec {sys.executable} -q")
        self.gdb = self._script("gdb", "exec gdb -q -nx")
        self.emit = self._script("emit", f"exec {self.floor} emit")

    def _script(self, name, body):
        path = self.dir / f"{name}.sh"
        path.write_text(f"#!/bin/sh\n{body}\n")
        path.chmod(0o755)
        return str(path)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


# ---------------------------------------------------------------- results


class Table:
    def __init__(self):
        self.rows = []

    def add(self, scenario, case, impl, kind, values, note="", work=None,
            refs=("C floor", "py-loop")):
        """kind "time": values are seconds. kind "rate": values are seconds for
        `work` bytes, shown as MB/s (p95 is the slow tail: the rate at the p95
        time). Ratios are always median time over the reference's median time,
        so above 1 means slower than the reference. `refs` names the rows that
        stand in for the floor and for py-loop in this case."""
        self.rows.append(dict(scenario=scenario, case=case, impl=impl, kind=kind,
                              values=list(values), note=note, work=work, refs=refs))

    def fail(self, scenario, case, impl, reason):
        self.rows.append(dict(scenario=scenario, case=case, impl=impl, kind="fail",
                              values=[], note=reason, work=None))

    def find(self, scenario, case, impl):
        for r in self.rows:
            if (r["scenario"], r["case"], r["impl"]) == (scenario, case, impl) and r["values"]:
                return r
        return None

    def _reference(self, row, name):
        r = self.find(row["scenario"], row["case"], name)
        return median(r["values"]) if r else None

    def render(self):
        head = ["Scenario", "Case", "Implementation", "Median", "p25-p75", "p95", "x floor", "x py-loop",
                "Notes"]
        lines = []
        for r in self.rows:
            if r["kind"] == "fail":
                lines.append([r["scenario"], r["case"], r["impl"], "failed", "", "", "", "", r["note"]])
                continue
            med, p95 = median(r["values"]), percentile(r["values"], 0.95)
            p25, p75 = percentile(r["values"], 0.25), percentile(r["values"], 0.75)
            if r["kind"] == "rate":
                # The slow end first, as in the p95 column.
                shown = [_rate(r["work"] / med), f"{_rate(r['work'] / p75)}-{_rate(r['work'] / p25)}",
                         _rate(r["work"] / p95)]
            else:
                shown = [_duration(med), f"{_duration(p25)}-{_duration(p75)}", _duration(p95)]
            if len(r["values"]) < 2:
                shown[1] = ""
            ratios = []
            for ref in r["refs"]:
                base = self._reference(r, ref)
                ratios.append(_ratio(med / base) if base else "")
            lines.append([r["scenario"], r["case"], r["impl"], *shown, *ratios, r["note"]])
        widths = [max(len(h), *(len(x[i]) for x in lines)) if lines else len(h)
                  for i, h in enumerate(head)]
        out = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |",
               "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
        for x in lines:
            out.append("| " + " | ".join(c.ljust(w) for c, w in zip(x, widths)) + " |")
        return "\n".join(out)


# The figures the project holds itself to, read off one run: each is a ratio
# of medians against the C floor measured in the same rounds, with the
# spread of the same ratio taken round by round (the implementations of a
# round ran back to back, so a noisy moment hits both sides of a ratio).
# (what, scenario, start of the case name, implementation, kind, bound):
# "rate" targets are rate over the floor's rate, at least the bound; "time"
# targets are time over the floor's time, at most the bound.
TARGETS = (
    ("64 MiB block output, one read_until_ready", "S3", "", "morvik", "rate", 0.90),
    ("colour log, cleaned, end to end", "S4", "64 MiB terminal log through", "morvik", "rate", 0.90),
    ("bash round trip", "S2", "bash", "morvik", "time", 1.20),
    ("Python REPL round trip", "S2", "python", "morvik", "time", 1.20),
)


def render_targets(table):
    """The targets' ratios from this run, or nothing when none was measured."""
    lines = ["| Target | Bound | This run | p25-p75 over rounds | Rounds | Met |",
             "|---|---|---|---|---|---|"]
    for what, scenario, case_start, impl, kind, bound in TARGETS:
        row = next((r for r in table.rows if r["scenario"] == scenario and r["impl"] == impl
                    and r["case"].startswith(case_start) and r["values"]), None)
        floor = table.find(scenario, row["case"], "C floor") if row else None
        if not row or not floor:
            continue
        ours, theirs = row["values"], floor["values"]
        if kind == "rate":
            ratio = median(theirs) / median(ours)
            per_round = [f / o for o, f in zip(ours, theirs)]
            shown_bound, met = f">= {bound:.2f}x", ratio >= bound
        else:
            ratio = median(ours) / median(theirs)
            per_round = [o / f for o, f in zip(ours, theirs)]
            shown_bound, met = f"<= {bound:.2f}x", ratio <= bound
        spread = (f"{percentile(per_round, 0.25):.2f}-{percentile(per_round, 0.75):.2f}"
                  if len(per_round) > 1 and len(ours) == len(theirs) else "")
        lines.append(f"| {what} ({scenario}) | {shown_bound} | {ratio:.2f}x | {spread} | "
                     f"{min(len(ours), len(theirs))} | {'yes' if met else 'no'} |")
    return "\n".join(lines) if len(lines) > 2 else ""


def _ratio(x):
    return f"{x:.0f}" if x >= 100 else f"{x:.2f}" if x >= 0.1 else f"{x:.3f}"


def _duration(s):
    if s < 1e-3:
        return f"{s * 1e6:.0f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def _rate(bytes_per_s):
    mb = bytes_per_s / 1e6
    return f"{mb:.0f} MB/s" if mb >= 100 else f"{mb:.1f} MB/s"


def progress(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- the round loop


def round_orders(items, key):
    """A fresh order of `items` for each round, the same in every run of one
    case (seeded by `key`). Not a rotation: in a fixed cycle each item always
    follows the same one, and what ran just before shapes a short round trip
    (the same build measured 1.08x the floor after a Python driver and 1.30x
    after the floor's process), so every item has to follow every other."""
    rng = random.Random(key)
    while True:
        order = list(items)
        rng.shuffle(order)
        yield order


def interleave(drivers, rounds, step, scenario, case, table, on_broken=None):
    """Runs step(driver, round) for every driver, round by round, each round
    in its own order (round_orders). A driver that breaks is reported once
    and dropped from the rest of the case. Returns {driver name: [Sample, ...]}."""
    samples = {d.name: [] for d in drivers}
    live = list(drivers)
    orders = round_orders(range(len(drivers)), f"{scenario} {case}")
    for i in range(rounds):
        for d in [drivers[j] for j in next(orders) if drivers[j] in live]:
            try:
                samples[d.name].append(step(d, i))
            except (Broken, peers.PeerTimeout, OSError, RuntimeError) as e:
                table.fail(scenario, case, d.name, str(e))
                live.remove(d)
                samples.pop(d.name)
                if on_broken:
                    on_broken(d)
        if not live:
            break
    return samples


# ---------------------------------------------------------------- scenarios


def python_drivers(include_default_pexpect=True):
    out = [PythonDriver(MorvikMarker), PythonDriver(peers.PlainPty)]
    if include_default_pexpect:
        out.append(PythonDriver(peers.pexpect_default, "pexpect"))
    out.append(PythonDriver(peers.pexpect_fast, "pexpect-fast"))
    return out


def s1_startup(ws, cfg, table):
    progress("S1 start-up and close")
    floor = FloorDriver(ws.floor)
    drivers = [floor] + python_drivers()
    closes = {d.name: [] for d in drivers}

    def step(d, _):
        sample, session = d.start(ws.bash, BASH_PROMPT, LATENCY_TIMEOUT_S)
        closes[d.name].append(d.close(session).wall)
        return sample

    try:
        got = interleave(drivers, cfg["s1_rounds"], step, "S1", "start bash to first prompt", table)
    finally:
        floor.shutdown()
    for d in drivers:
        if d.name in got:
            table.add("S1", "start bash to first prompt", d.name, "time",
                      [s.wall for s in got[d.name]])
    notes = {"morvik": "SIGHUP, then a 100 ms pause by design",
             "pexpect": "delayafterclose 0.1 s",
             "pexpect-fast": "pauses off: signals back to back, then reaped",
             "C floor": "SIGHUP, waitpid"}
    for d in drivers:
        if d.name in got:
            table.add("S1", "close", d.name, "time", closes[d.name], notes.get(d.name, ""))


S2_CHILDREN = (
    ("bash `echo hi`", "bash", BASH_PROMPT, "echo hi"),
    ("python `print(\"hi\")`", "python", ">>> ", 'print("hi")'),
    ("gdb `echo hi\\n`", "gdb", "(gdb) ", "echo hi\\n"),
)


def open_sessions(drivers, program, marker, table, scenario, case, timeout_s=LATENCY_TIMEOUT_S):
    """One session per driver, first prompt read (untimed). Returns the drivers
    that started and their sessions."""
    live, sessions = [], {}
    for d in drivers:
        try:
            _, sessions[d.name] = d.start(program, marker, timeout_s)
            live.append(d)
        except (Broken, peers.PeerTimeout, OSError, RuntimeError) as e:
            table.fail(scenario, case, d.name, f"start: {e}")
    return live, sessions


def close_sessions(drivers, sessions):
    for d in drivers:
        if d.name in sessions:
            try:
                d.close(sessions.pop(d.name))
            except Exception as e:  # noqa: BLE001 - reporting, not judging
                progress(f"close of {d.name} failed: {e}")


def s2_round_trip(ws, cfg, table):
    for case, child, marker, line in S2_CHILDREN:
        progress(f"S2 round trip: {case}")
        floor = FloorDriver(ws.floor)
        drivers, sessions = open_sessions([floor] + python_drivers(), getattr(ws, child),
                                          marker, table, "S2", case)

        def step(d, _):
            sample = d.ask(sessions[d.name], line, LATENCY_TIMEOUT_S)
            if isinstance(sample.out, str) and "hi" not in sample.out:
                raise Broken(f"{d.name}: answer without 'hi': {sample.out[:80]!r}")
            return sample

        try:
            interleave(drivers, cfg["warmup"], step, "S2", case, table)
            got = interleave(drivers, cfg["s2_round_trips"], step, "S2", case, table)
        finally:
            close_sessions(drivers, sessions)
            floor.shutdown()
        for d in drivers:
            if d.name in got:
                runs = got[d.name]
                # What the waiting costs beside its latency: processor time
                # of the whole driving process (reader threads included) and
                # how often its threads were put to sleep and woken.
                note = (f"cpu {_duration(median([s.cpu for s in runs]))}, "
                        f"{sum(s.switches for s in runs) / len(runs):.1f} switches per round trip")
                table.add("S2", case, d.name, "time", [s.wall for s in runs], note)


def bulk_case(ws, drivers, cfg_rounds, line, payload, scenario, case, table, check, notes=None):
    """One emitter per driver; each round asks every driver for the same
    output and times it to the prompt that follows it."""
    drivers, sessions = open_sessions(drivers, ws.emit, EMIT_PROMPT, table, scenario, case)

    def step(d, _):
        sample = d.ask(sessions[d.name], line, BULK_TIMEOUT_S)
        check(d, sample.out)
        return sample

    try:
        got = interleave(drivers, cfg_rounds, step, scenario, case, table)
    finally:
        close_sessions(drivers, sessions)
    for d in drivers:
        if d.name in got:
            runs = got[d.name]
            note = f"cpu {_duration(median([s.cpu for s in runs]))}/run"
            if notes and d.name in notes:
                note = f"{notes[d.name]}; {note}"
            if runs[0].reads:
                # Only the floor can count its reads; they show how much the
                # terminal coalesced the child's writes.
                note += f", {median([s.out / s.reads for s in runs]):.0f} B/read"
            table.add(scenario, case, d.name, "rate", [s.wall for s in runs], note, work=payload)
    return got


def _at_least(n):
    def check(d, out):
        got = out if isinstance(out, int) else len(out)
        if got < n:
            raise Broken(f"{d.name}: {got} of {n} bytes")
    return check


def s3_bulk(ws, cfg, table):
    n = cfg["s3_bytes"]
    size, width = BULK_WRITE
    progress(f"S3 bulk: {n // MiB} MiB")
    floor = FloorDriver(ws.floor)
    drivers = [floor, PythonDriver(MorvikMarker), PythonDriver(MorvikPoll),
               PythonDriver(peers.PlainPty), PythonDriver(peers.pexpect_fast, "pexpect-fast"),
               PythonDriver(peers.pexpect_default, "pexpect")]
    try:
        # Cleaning drops the CR of every CRLF, so morvik's text is exactly the
        # payload and the prompt; the others carry the CRs as well.
        bulk_case(ws, drivers, cfg["s3_rounds"], f"write {n} {size} {width}", n, "S3",
                  f"{n // MiB} MiB, {size // 1024} KiB writes", table, _at_least(n))
    finally:
        floor.shutdown()


def s4_cleaning(ws, cfg, table):
    progress("S4 cleaning")
    in_memory_cleaning(cfg, table)
    n = cfg["s4_bytes"]
    log = ws.dir / "terminal.log"
    try:
        log.write_bytes(terminal_log(n))
    except ImportError as e:
        table.fail("S4", "terminal log through the terminal", "all", f"no log generator: {e}")
        return
    n = log.stat().st_size
    expected = cleaned_by_hook(log.read_bytes())
    if expected is not None:
        # The terminal adds a CR before every LF and the cleaning drops it
        # again, so morvik's text is the cleaned log and the prompt, exactly.
        expected += EMIT_PROMPT

    def check(d, out):
        if isinstance(out, str) and d.name.startswith("morvik"):
            if expected is not None and out != expected:
                raise Broken(f"{d.name}: text differs from the cleaned log "
                             f"({len(out)} characters, {len(expected)} expected)")
        elif isinstance(out, str):
            _at_least(n)(d, out.encode())
        else:
            _at_least(n)(d, out)

    floor = FloorDriver(ws.floor)
    drivers = [floor, PythonDriver(MorvikMarker), PythonDriver(peers.PlainPty)]
    try:
        bulk_case(ws, drivers, cfg["s4_rounds"], f"file {log}", n, "S4",
                  f"{cfg['s4_bytes'] // MiB} MiB terminal log through the terminal", table, check)
    finally:
        floor.shutdown()


def s5_flood(ws, cfg, table):
    n = cfg["s5_bytes"]
    size, width = FLOOD_WRITE
    progress(f"S5 flood: {n // MiB} MiB in {size}-byte writes")
    floor = FloorDriver(ws.floor)
    drivers = [floor, PythonDriver(MorvikMarker), PythonDriver(MorvikQuiet),
               PythonDriver(peers.PlainPty), PythonDriver(peers.pexpect_fast, "pexpect-fast"),
               PythonDriver(peers.pexpect_default, "pexpect")]
    try:
        bulk_case(ws, drivers, cfg["s5_rounds"], f"write {n} {size} {width}", n, "S5",
                  f"{n // MiB} MiB as {width}-byte lines", table, _at_least(n),
                  notes={"morvik quiet": "includes the final 80 ms of silence"})
    finally:
        floor.shutdown()


# ---------------------------------------------------------------- S4 helpers


def terminal_log(size):
    """The colour-heavy synthetic log of bench_cleaning.py, so that both halves
    of S4 clean the same kind of bytes, cut after its last line feed.

    The cut matters: cut at an arbitrary byte, the log can end inside an
    operating-system command, and an unterminated one swallows everything
    after it when cleaned, the prompt included, so a marker wait would
    never end. Every line feed in that log closes a whole piece."""
    import bench_cleaning

    data = bench_cleaning.terminal_log(random.Random(1234), size)
    return data[: data.rindex(b"\n") + 1]


# The cleaning routine as C functions, from the library `make hooks` builds
# (the installed module exports none); MORVIK_HOOKS_LIBRARY overrides the path.
HOOKS_LIBRARY = HERE.parent / "build" / "hooks" / "libmorvik_hooks.so"


def cleaned_by_hook(data):
    """The cleaning routine's text for `data`, through the hooks library, or
    None when that library has not been built (then S4 checks only sizes)."""
    try:
        lib = ctypes.CDLL(os.environ.get("MORVIK_HOOKS_LIBRARY", str(HOOKS_LIBRARY)))
        fn = lib.morvik_sanitize_for_agent
    except (OSError, AttributeError):
        return None
    fn.argtypes = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
    fn.restype = ctypes.c_size_t
    need = fn(data, len(data), None, 0)
    out = ctypes.create_string_buffer(max(need, 1))
    if fn(data, len(data), out, need) != need:
        return None
    return out.raw[:need].decode("utf-8")


# bench_cleaning.py prints a header line naming its columns ("input", "kept
# %", then one MB/s column per implementation) and one row per input. The
# columns are found by name, so a new column there does not shift these.
CLEANING_ROW = re.compile(r"^(plain text|terminal log)\s+(.*)$")


def cleaning_columns(stdout):
    for line in stdout.splitlines():
        if line.startswith("input") and "sanitize" in line and "memcpy" in line:
            names = re.split(r"\s{2,}", line.strip())[1:]  # after "input"
            return [n.strip() for n in names]
    return None


def in_memory_cleaning(cfg, table):
    """The cleaning routine alone, in memory. bench/bench_cleaning.py owns that
    measurement (best of several runs, on its own inputs); this runs it and
    folds its figures into the table, or its whole output below the table if
    its format is not the one expected."""
    if not (HERE / "bench_cleaning.py").exists():
        table.fail("S4", "in memory", "morvik", "bench/bench_cleaning.py not present")
        return
    mib, reps = (64, 7) if cfg is FULL else (16, 3)
    argv = [sys.executable, str(HERE / "bench_cleaning.py"), "--size-mib", str(mib),
            "--reps", str(reps), "--py-reps", "3" if cfg is FULL else "1"]
    progress(f"S4 in memory: bench/bench_cleaning.py --size-mib {mib}")
    done = subprocess.run(argv, capture_output=True, text=True, timeout=900)
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-1:] or ["no message"]
        table.fail("S4", "in memory", "morvik", f"bench_cleaning.py exited {done.returncode}: {tail[0]}")
        return
    rows = [m for m in map(CLEANING_ROW.match, done.stdout.splitlines()) if m]
    columns = cleaning_columns(done.stdout)
    wanted = {"memcpy": "memcpy", "morvik sanitize_for_agent": "sanitize",
              "python re.sub + decode": "python re"}
    if not rows or not columns or not all(c in columns for c in [*wanted.values(), "kept %"]):
        EXTRA_REPORT.append(("S4 in memory (bench/bench_cleaning.py)", done.stdout.rstrip()))
        return
    work = mib * MiB
    for m in rows:
        case = f"in memory, {mib} MiB {m.group(1)}"
        values = dict(zip(columns, m.group(2).split()))
        rates = {impl: float(values[col]) for impl, col in wanted.items()}
        for impl, mbps in rates.items():
            note = f"best of {reps}" + (f", {values['kept %']}% of bytes kept" if impl == "memcpy" else "")
            table.add("S4", case, impl, "rate", [work / (mbps * 1e6)], note, work=work,
                      refs=("memcpy", "python re.sub + decode"))


EXTRA_REPORT = []


# ---------------------------------------------------------------- S6


S6_FACTORIES = {
    "morvik": MorvikMarker,
    "py-loop": peers.PlainPty,
    "pexpect-fast": peers.pexpect_fast,
}


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def _count_fds():
    return len(os.listdir("/proc/self/fd"))


def s6_worker(impl, program, marker, line, n, round_trips):
    """Runs in a fresh process so that its memory and descriptor figures
    belong to one implementation only. Prints one JSON line."""
    factory = S6_FACTORIES[impl]
    if impl.startswith("pexpect"):
        import pexpect  # noqa: F401 - imported before the baseline is taken
    if impl == "morvik":
        _load_morvik()
    fds0, threads0 = _count_fds(), _status_kb("Threads")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # VmHWM back to the current RSS
        hwm_reset = True
    except OSError:
        hwm_reset = False
    rss0 = _status_kb("VmRSS")
    result = _s6_drive(factory, program, marker, line, n, round_trips)
    # Some descriptors live as long as the object, not the child, so the
    # leftovers are counted once _s6_drive has returned and every object it
    # made is gone.
    gc.collect()
    fds1, threads1, hwm = result.pop("fds"), result.pop("threads"), result.pop("hwm")
    result.update(
        fds_per_session=(fds1 - fds0) / n, threads_per_session=(threads1 - threads0) / n,
        peak_kb_per_session=(hwm - rss0) / n if hwm_reset else None,
        leaked_fds=_count_fds() - fds0, leaked_threads=_status_kb("Threads") - threads0)
    print(json.dumps(result))


def _s6_drive(factory, program, marker, line, n, round_trips):
    failures = 0
    t0 = time.perf_counter()
    sessions = [factory(program, marker) for _ in range(n)]
    for s in sessions:
        s.wait(LATENCY_TIMEOUT_S)
    t1 = time.perf_counter()
    fds, threads = _count_fds(), _status_kb("Threads")
    c1, w1 = time.process_time(), _switches()
    for _ in range(round_trips):
        for s in sessions:
            if "hi" not in s.ask(line, LATENCY_TIMEOUT_S):
                failures += 1
    t2 = time.perf_counter()
    cpu, switches = time.process_time() - c1, _switches() - w1
    hwm = _status_kb("VmHWM")
    for s in sessions:
        s.close()
    t3 = time.perf_counter()
    asked = max(1, n * round_trips)
    return dict(start=t1 - t0, round_trips=t2 - t1, close=t3 - t2, fds=fds, threads=threads,
                hwm=hwm, failures=failures, cpu_per_rt=cpu / asked, switches_per_rt=switches / asked)


def s6_scale(ws, cfg, table):
    n, rts = cfg["s6_sessions"], cfg["s6_round_trips"]
    case = f"{n} bash sessions x {rts} round trips"
    progress(f"S6 scale: {case}")
    impls = ["C floor", *S6_FACTORIES]
    got = {i: [] for i in impls}
    for r in range(cfg["s6_rounds"]):
        k = r % len(impls)
        for impl in impls[k:] + impls[:k]:
            if impl not in got:
                continue
            try:
                got[impl].append(_s6_one(ws, impl, n, rts))
            except (Broken, subprocess.SubprocessError, ValueError) as e:
                table.fail("S6", case, impl, str(e))
                got.pop(impl)
    for impl, runs in got.items():
        if not runs:
            continue
        mid = runs[len(runs) // 2]
        extra = [f"start {_duration(median([x['start'] for x in runs]))}",
                 f"close {_duration(median([x['close'] for x in runs]))}",
                 f"cpu {_duration(median([x['cpu_per_rt'] for x in runs]))} and "
                 f"{median([x['switches_per_rt'] for x in runs]):.1f} switches per round trip",
                 f"{mid['fds_per_session']:.0f} fd + {mid['threads_per_session']:.0f} thread/session"]
        if mid.get("peak_kb_per_session") is not None:
            extra.append(f"+{median([x['peak_kb_per_session'] for x in runs]):.0f} KiB peak RSS/session")
        if mid.get("leaked_fds"):
            extra.append(f"{mid['leaked_fds']} fds left open")
        if mid.get("leaked_threads"):
            extra.append(f"{mid['leaked_threads']} threads left running")
        if any(x["failures"] for x in runs):
            extra.append(f"{sum(x['failures'] for x in runs)} wrong answers")
        table.add("S6", case, impl, "time", [x["round_trips"] for x in runs], ", ".join(extra))


def _s6_one(ws, impl, n, rts):
    if impl == "C floor":
        floor = FloorDriver(ws.floor)
        try:
            start, rt, close, fds, kb, failures, cpu, switches = floor.command(
                "scale", n, rts, _hex(ws.bash), _hex(BASH_PROMPT), _hex("echo hi"),
                int(LATENCY_TIMEOUT_S * 1000))
        finally:
            floor.shutdown()
        asked = max(1, n * rts)
        return dict(start=int(start) / 1e9, round_trips=int(rt) / 1e9, close=int(close) / 1e9,
                    fds_per_session=float(fds), threads_per_session=0.0,
                    peak_kb_per_session=int(kb) / n, leaked_fds=0, failures=int(failures),
                    cpu_per_rt=int(cpu) / 1e9 / asked, switches_per_rt=int(switches) / asked)
    done = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--s6-worker", impl, ws.bash,
         BASH_PROMPT, "echo hi", str(n), str(rts)],
        capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-1:] or ["no message"]
        raise Broken(f"worker exited {done.returncode}: {tail[0]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- main


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import pexpect
        pexpect_version = pexpect.__version__
    except ImportError:
        pexpect_version = "absent"
    return [f"nproc: {os.cpu_count()}", f"CPU: {model}", f"kernel: {platform.release()}",
            f"Python: {platform.python_version()}", f"pexpect: {pexpect_version}",
            f"children: {_first_line(['bash', '--version'])}; {_first_line(['gdb', '--version'])}",
            f"morvik checkout: {_first_line(['git', '-C', str(HERE.parent), 'rev-parse', '--short', 'HEAD'])}"]


def _first_line(argv):
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return f"{argv[0]} unavailable"
    lines = done.stdout.strip().splitlines()
    return lines[0] if done.returncode == 0 and lines else f"{argv[0]} unavailable"


SCENARIOS = {"S1": s1_startup, "S2": s2_round_trip, "S3": s3_bulk, "S4": s4_cleaning,
             "S5": s5_flood, "S6": s6_scale}


def parse_args(argv):
    p = argparse.ArgumentParser(description="morvik benchmark suite")
    p.add_argument("--quick", action="store_true", help="a short run (under ~2 minutes)")
    p.add_argument("--only", action="append", default=[],
                   help="scenarios to run, e.g. S2 or S2,S3 (repeatable)")
    p.add_argument("--markdown", metavar="FILE", help="also write the report to FILE")
    p.add_argument("--s6-worker", nargs=6, metavar=("IMPL", "PROGRAM", "MARKER", "LINE", "N", "RT"),
                   help=argparse.SUPPRESS)
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    # Every child sees the same terminal type, whatever the caller's shell has.
    os.environ["TERM"] = "xterm"
    if args.s6_worker:
        impl, program, marker, line, n, rts = args.s6_worker
        s6_worker(impl, program, marker, line, int(n), int(rts))
        return 0
    only = [s.strip().upper() for arg in args.only for s in arg.split(",") if s.strip()]
    unknown = [s for s in only if s not in SCENARIOS]
    if unknown:
        sys.exit(f"unknown scenario(s): {', '.join(unknown)}; known: {', '.join(ALL_SCENARIOS)}")
    chosen = only or list(ALL_SCENARIOS)
    cfg = QUICK if args.quick else FULL
    _load_morvik()
    table = Table()
    ws = Workspace()
    began = time.monotonic()
    try:
        for name in ALL_SCENARIOS:
            if name in chosen:
                SCENARIOS[name](ws, cfg, table)
    finally:
        ws.cleanup()
    elapsed = time.monotonic() - began
    command = "bench/run.py" + (" --quick" if args.quick else "") + \
        (f" --only {','.join(only)}" if only else "")
    report = [f"# morvik benchmark ({'quick' if args.quick else 'full'} run, "
              f"{time.strftime('%Y-%m-%d %H:%M')}, {elapsed:.0f} s)", "",
              *(f"- {m}" for m in machine()), f"- command: `{command}`", "",
              "Median, interquartile range (p25-p75: the spread over the repeats) and p95 over "
              "rounds; rates are MB/s (10^6 bytes) of payload, their p95 "
              "is the slow tail. Ratios are median time over the reference's median time "
              "(above 1 = slower). In the S4 in-memory rows memcpy stands in for the floor and "
              "the Python regex stripper for py-loop.", "", table.render()]
    targets = render_targets(table)
    if targets:
        report += ["", "Targets, against the C floor of the same rounds (rates: ours over the floor's; "
                   "times: ours over the floor's):", "", targets]
    for title, body in EXTRA_REPORT:
        report += ["", f"{title}:", "", "```", body, "```"]
    text = "\n".join(report)
    print(text)
    if args.markdown:
        Path(args.markdown).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
