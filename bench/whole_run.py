#!/usr/bin/env python3
"""Whole-run benchmarks of zelm against arecord on ALSA's unpaced null device.

  whole_run.py cost     --zelm BIN --dir DIR [--pairs N] [--seconds S]
  whole_run.py syscalls --zelm BIN --dir DIR
  whole_run.py memory   --zelm BIN --dir DIR [--long-seconds S]

Every child's CPU time and peak resident set come from wait4(2) on that child
alone. Output files go to DIR (on the disk under test) and are deleted after
each run. Each subcommand prints a table, then one TARGET line per target.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

RATE = 96000
PERIOD = 4096
SAMPLE_BYTES = 3

# (key, title, zelm channel arguments, arecord arguments, why this arecord command)
MODES = [
    ("mono", "one mono file", ["1", "a.wav"], ["-c", "1", "a.wav"],
     "arecord -c 1: the same one-channel file (it captures one device channel, zelm two)"),
    ("two-files", "two mono files", ["2", "a.wav", "b.wav"], ["-I", "-c", "2", "a.wav"],
     "arecord -I -c 2: one file per channel (a.wav.0, a.wav.1; headerless raw, as -I writes them)"),
    ("stereo", "one stereo file", ["s", "a.wav"], ["-c", "2", "a.wav"],
     "arecord -c 2: the same interleaved stereo file"),
]


def arecord_cmd(extra, seconds, meter=True):
    return (["arecord", "-q"] + (["-V", "stereo"] if meter else []) +
            ["-D", "null", "-f", "S24_3LE", "-r", str(RATE), "-d", str(seconds)] + extra)


def zelm_cmd(zelm, channel_args, seconds):
    return [zelm, "2496", str(seconds), "null"] + channel_args


def periods(seconds):
    return -(-seconds * RATE // PERIOD)


def clear(workdir):
    for name in os.listdir(workdir):
        os.unlink(os.path.join(workdir, name))


SPAWN = None  # the zelm_spawn_rusage launcher (set from --spawn)


def run_child(cmd, workdir, keep_stderr=False):
    """Runs cmd in workdir with the console discarded.

    Returns (CPU s, wall s, maxrss KiB, bytes written). The figures come from
    a small launcher: a child forked straight from this interpreter would
    report the interpreter's resident set as its own peak.
    """
    clear(workdir)
    parent = os.path.dirname(os.path.abspath(workdir))
    err_path = os.path.join(parent, "child-stderr.txt")
    result = os.path.join(parent, "child-rusage.txt")
    with open(os.devnull, "rb") as nin, open(os.devnull, "wb") as nout, \
            open(err_path if keep_stderr else os.devnull, "wb") as nerr:
        subprocess.run([SPAWN, result] + cmd, cwd=workdir, stdin=nin, stdout=nout, stderr=nerr,
                       check=True)
    got = dict(kv.split("=") for kv in open(result).read().split())
    written = sum(os.path.getsize(os.path.join(workdir, n)) for n in os.listdir(workdir))
    clear(workdir)
    if got["exit"] != "0":
        detail = open(err_path, errors="replace").read()[-500:] if keep_stderr else ""
        sys.exit(f"failed (exit {got['exit']}): {' '.join(cmd)}\n{detail}")
    return (float(got["user"]) + float(got["sys"]), float(got["wall"]), int(got["maxrss_kib"]),
            written)


def verdict(ok):
    return "MET" if ok else "MISSED"


# What zelm may cost against arecord -V by the length of the take: its
# start-up (the ring, the threads) weighs on a short take, and nothing but
# its per-period work on a long one.
def meter_target(seconds):
    if seconds >= 600:
        return 0.70
    if seconds >= 120:
        return 0.80
    return 1.50


def cost(args):
    print(f"Whole-run CPU: {args.seconds} s of 24-bit 96 kHz from 'null', console to /dev/null, "
          f"files in {args.dir}; {args.pairs} alternating pairs after one warm-up pair")
    lines = []
    # Against arecord with its level meter, which does what zelm's console
    # does, and then against plain arecord, which only copies the audio: the
    # meter, the console and the capture thread's hand-over must stay cheap.
    runs = [(True, key, title, zargs, aargs, why) for key, title, zargs, aargs, why in MODES]
    runs += [(False, key, title, zargs, aargs, why.replace("arecord", "arecord (no -V)", 1))
             for key, title, zargs, aargs, why in MODES]
    for meter, key, title, zargs, aargs, why in runs:
        if not meter and key == MODES[0][0]:
            print("  against plain arecord, no level meter:")
        zc = zelm_cmd(args.zelm, zargs, args.seconds)
        ac = arecord_cmd(aargs, args.seconds, meter)
        expected = args.seconds * RATE * SAMPLE_BYTES * (1 if key == "mono" else 2)
        run_child(zc, args.dir, keep_stderr=True)
        run_child(ac, args.dir)
        zs, as_, ratios, zw, aw = [], [], [], [], []
        for i in range(args.pairs):
            # Alternate which goes first, so drift in the machine's state
            # (page cache, writeback, other load) falls on both alike.
            if i % 2 == 0:
                z = run_child(zc, args.dir, keep_stderr=True)
                a = run_child(ac, args.dir)
            else:
                a = run_child(ac, args.dir)
                z = run_child(zc, args.dir, keep_stderr=True)
            for got, name in ((z, "zelm"), (a, "arecord")):
                if got[3] < expected:
                    sys.exit(f"{name} wrote {got[3]} bytes, expected at least {expected}")
            zs.append(z[0])
            as_.append(a[0])
            zw.append(z[1])
            aw.append(a[1])
            ratios.append(z[0] / a[0])
        med = statistics.median(ratios)
        print(f"  {title:16s} zelm {' '.join(zargs)}")
        print(f"  {'':16s} vs {why}")
        print(f"  {'':16s} CPU s median zelm {statistics.median(zs):.3f}  arecord {statistics.median(as_):.3f}"
              f"   wall s median zelm {statistics.median(zw):.2f}  arecord {statistics.median(aw):.2f}")
        print(f"  {'':16s} pair ratios {' '.join(f'{r:.2f}' for r in ratios)}  -> median {med:.2f}")
        if meter:
            limit = meter_target(args.seconds)
            lines.append(f"TARGET cpu-{key} ({args.seconds} s): zelm/arecord -V CPU = {med:.2f} "
                         f"(<= {limit:.2f}) {verdict(med <= limit)}")
        else:
            lines.append(f"TARGET cpu-plain-{key}: zelm/plain arecord CPU = {med:.2f} (<= 1.00) "
                         f"{verdict(med <= 1.00)}")
    for line in lines:
        print(line)


def strace_counts(cmd, workdir, out):
    clear(workdir)
    with open(os.devnull, "rb") as nin, open(os.devnull, "wb") as nout:
        subprocess.run(["strace", "-f", "-c", "-o", out] + cmd, cwd=workdir, stdin=nin,
                       stdout=nout, stderr=nout, check=True)
    clear(workdir)
    counts = {}
    for line in open(out):
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:(\d+)\s+)?(\w+)\s*$", line)
        if m and m.group(3) != "total":
            counts[m.group(3)] = int(m.group(1))
    return counts


def period_trace(cmd, workdir, out):
    """The system calls of the last whole periods of a take, from the end of one
    period's console line to the end of a later one's: one period, or as many
    as it takes to include a write to a file. Returns (periods, lines)."""
    clear(workdir)
    with open(os.devnull, "rb") as nin, open(os.devnull, "wb") as nout:
        subprocess.run(["strace", "-f", "-qq", "-s", "16", "-o", out] + cmd, cwd=workdir,
                       stdin=nin, stdout=nout, stderr=nout, check=True)
    clear(workdir)
    lines = [re.sub(r"^\d+\s+", "", l.rstrip()) for l in open(out)]
    marks = [i for i, l in enumerate(lines) if l.startswith('write(1, "\\rrem')]

    def after_console(i):  # past the clock write at i and that period's meter writes
        i += 1
        while i < len(lines) and lines[i].startswith("write(1,") and i not in marks:
            i += 1
        return i

    if len(marks) < 3:
        return 0, []
    end = after_console(marks[-2])
    for back in range(3, min(len(marks), 40) + 1):
        chunk = lines[after_console(marks[-back]):end]
        if any(not l.startswith("write(1,") for l in chunk):
            return back - 2, chunk
    return 0, []


def syscalls(args):
    short, long_ = 20, 60
    frames = (long_ - short) * RATE
    print(f"System calls per 4096 frames in the steady state: counts of a {long_} s take minus a "
          f"{short} s take (strace -f -c), divided by the 4096-frame periods between them")
    tmp = os.path.join(args.dir, os.pardir)
    for key, title, zargs, aargs, why in MODES:
        rows = {}
        for who, mk in (("zelm", lambda s: zelm_cmd(args.zelm, zargs, s)),
                        ("arecord", lambda s: arecord_cmd(aargs, s))):
            a = strace_counts(mk(short), args.dir, os.path.join(tmp, "strace-a.txt"))
            b = strace_counts(mk(long_), args.dir, os.path.join(tmp, "strace-b.txt"))
            per = (periods(long_) - periods(short)) if who == "zelm" else frames / PERIOD
            for name in set(a) | set(b):
                d = (b.get(name, 0) - a.get(name, 0)) / per
                if abs(d) >= 0.005:
                    rows.setdefault(name, {})[who] = d
        total = {w: sum(r.get(w, 0) for r in rows.values()) for w in ("zelm", "arecord")}
        print(f"  {title} (zelm {' '.join(zargs)} / arecord {' '.join(aargs[:-1])})")
        for name in sorted(rows, key=lambda n: -rows[n].get("zelm", 0)):
            r = rows[name]
            print(f"    {name:12s} zelm {r.get('zelm', 0):6.2f}   arecord {r.get('arecord', 0):6.2f}")
        print(f"    {'all':12s} zelm {total['zelm']:6.2f}   arecord {total['arecord']:6.2f}")
        n, seq = period_trace(zelm_cmd(args.zelm, zargs, 2), args.dir, os.path.join(tmp, "strace-p.txt"))
        if seq:
            print(f"    zelm's calls in {'one period' if n == 1 else f'{n} periods'}:")
            for l in seq:
                print("      " + l)


def memory(args):
    long_s = args.long_seconds
    runs = 3
    print(f"Peak resident set (ru_maxrss): stereo 24-bit 96 kHz from 'null', a 60 s and a {long_s} s take, "
          f"median of {runs} runs each")
    got = {}
    for who, mk in (("zelm", lambda s: zelm_cmd(args.zelm, ["s", "a.wav"], s)),
                    ("arecord", lambda s: arecord_cmd(["-c", "2", "a.wav"], s))):
        for s in (60, long_s):
            res = [run_child(mk(s), args.dir, keep_stderr=(who == "zelm")) for _ in range(runs)]
            got[(who, s)] = statistics.median(r[2] for r in res)
            print(f"  {who:8s} {s:5d} s take  maxrss {got[(who, s)]:6.0f} KiB  "
                  f"(runs {' '.join(str(r[2]) for r in res)}; wrote {res[0][3] / 1e9:.2f} GB in {res[0][1]:.1f} s)")
    flat = got[("zelm", long_s)] / got[("zelm", 60)]
    # zelm holds 10 s of audio between its capture thread and its file
    # writer, every page touched up front: arecord's size plus that ring.
    ring_kib = RATE * 2 * SAMPLE_BYTES * 10 / 1024
    zelm_peak = max(got[("zelm", 60)], got[("zelm", long_s)])
    arecord_peak = max(got[("arecord", 60)], got[("arecord", long_s)])
    vs = zelm_peak / (arecord_peak + ring_kib)
    print(f"  ring: 10 s of 24-bit 96 kHz stereo = {ring_kib:.0f} KiB; zelm {zelm_peak:.0f} KiB against "
          f"arecord + ring {arecord_peak + ring_kib:.0f} KiB; zelm without the ring "
          f"{zelm_peak - ring_kib:.0f} KiB")
    print(f"TARGET mem-flat: zelm maxrss {long_s // 60}-min/1-min = {flat:.3f} (within 0.95..1.05) "
          f"{verdict(0.95 <= flat <= 1.05)}")
    print(f"TARGET mem-vs-arecord: zelm/(arecord + ring) maxrss = {vs:.3f} (<= 1.00) {verdict(vs <= 1.0)}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", choices=["cost", "syscalls", "memory"])
    p.add_argument("--zelm", required=True)
    p.add_argument("--spawn", required=True, help="the zelm_spawn_rusage launcher")
    p.add_argument("--dir", required=True, help="an empty folder for the takes; emptied after each run")
    p.add_argument("--pairs", type=int, default=7)
    p.add_argument("--seconds", type=int, default=600)
    p.add_argument("--long-seconds", type=int, default=3600)
    args = p.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    global SPAWN
    SPAWN = os.path.abspath(args.spawn)
    args.zelm = os.path.abspath(args.zelm)  # the children run in --dir
    {"cost": cost, "syscalls": syscalls, "memory": memory}[args.what](args)


if __name__ == "__main__":
    main()
