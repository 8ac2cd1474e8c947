#!/usr/bin/env python3
"""A shared source and a busy machine, in real time.

  rtload.py listener --zelm BIN --sinecheck BIN --repo DIR --dir DIR [--seconds S] [--pairs N]
  rtload.py load     --zelm BIN --device SO --dir DIR [--seconds S]

listener: `zelm 1648 S default s` and `arecord -V stereo` record the private
PulseAudio server's source at the same time, as with a level meter or a
second recorder open. Each program's CPU time comes from wait4(2) on it
alone; zelm's capture thread's voluntary context switches are read from
/proc (the thread under SCHED_FIFO, or else the one that switched most) just
before the take ends.

load: the test device in its hardware mode, a 2496 stereo take during which
a busy loop runs for 4 s on each core at SCHED_FIFO priority 1 (below the
capture thread's), from 5 s into the take: zelm's dropouts with real-time
scheduling, without it (CAP_SYS_NICE dropped, so it is refused), and
arecord's under the same load.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

from stall import Server, card_env

PERIOD = 4096


def thread_switches(pid):
    """{tid: (policy, voluntary switches)} of a running process."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return out
    for tid in tids:
        try:
            stat = open(f"/proc/{pid}/task/{tid}/stat").read()
            status = open(f"/proc/{pid}/task/{tid}/status").read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        policy = int(stat.rsplit(")", 1)[1].split()[38])
        m = re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M)
        out[tid] = (policy, int(m.group(1)) if m else 0)
    return out


def wait_cpu(proc):
    """Waits for a child; its CPU seconds (user + sys) and exit status."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime, proc.returncode


def listener(args):
    s = args.seconds
    takes = os.path.join(args.dir, "takes")
    os.makedirs(takes, exist_ok=True)
    zelm = [os.path.abspath(args.zelm), "1648", str(s), "default", "s", "z.wav"]
    arecord = ["arecord", "-q", "-V", "stereo", "-D", "default", "-f", "S16_LE", "-c", "2",
               "-r", "48000", "-d", str(s + 1), "a.wav"]
    periods = -(-s * 48000 // PERIOD)
    print(f"Second listener: {s} s takes of the private PulseAudio server's source by zelm while "
          f"arecord -V stereo records it too, {args.pairs} runs")
    print(f"  zelm:    {' '.join(['zelm'] + zelm[1:])}")
    print(f"  arecord: {' '.join(arecord)} (started first, ends a second after zelm)")
    with Server(args.repo, "pulse-test-server", os.path.join(args.dir, "pulse")) as server:
        if server.env is None:
            print(f"  the private PulseAudio server did not start: {server.error}")
            print("TARGET listener-cpu: zelm <= 1.2x the other listener: n/a MISSED")
            return
        ratios, switches = [], []
        print(f"  {'run':3s}  {'zelm ms':>7s}  {'arecord ms':>10s}  {'ratio':>5s}  "
              f"{'capture thread switches/period':>30s}  RX")
        for i in range(args.pairs):
            for f in os.listdir(takes):
                os.unlink(os.path.join(takes, f))
            a = subprocess.Popen(arecord, cwd=takes, env=server.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            z = subprocess.Popen(zelm, cwd=takes, env=server.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            last, text = {}, b""
            # The console's lines pace the reading of /proc: one a period.
            while True:
                chunk = os.read(z.stdout.fileno(), 65536)
                if not chunk:
                    break
                text += chunk
                # A thread that has ended keeps the last figures seen of it.
                last.update(thread_switches(z.pid))
            text = text.decode(errors="replace")
            zcpu, zcode = wait_cpu(z)
            acpu, _ = wait_cpu(a)
            out = os.path.join(takes, "z.wav")
            if zcode != 0 or not os.path.exists(out) or os.path.getsize(out) < 44 + periods * PERIOD * 4:
                sys.exit(f"zelm failed with a second listener (exit {zcode})")
            fifo = [v for v in last.values() if v[0] == 1]
            capture = fifo[0][1] if fifo else max(v[1] for v in last.values())
            ratios.append(zcpu / max(acpu * s / (s + 1), 1e-6))
            switches.append(capture / periods)
            print(f"  {i + 1:3d}  {zcpu * 1e3:7.1f}  {acpu * 1e3:10.1f}  {ratios[-1]:5.2f}  "
                  f"{switches[-1]:30.2f}  {text.count(chr(10) + 'RX' + chr(10))}")
    med, sw = statistics.median(ratios), statistics.median(switches)
    print(f"  arecord's CPU is scaled to zelm's {s} s of its {s + 1} s")
    print(f"  median ratio {med:.2f} (min {min(ratios):.2f}, max {max(ratios):.2f}); capture thread "
          f"voluntary switches per period, median {sw:.2f}")
    print(f"TARGET listener-cpu: zelm <= 1.2x the other listener: {med:.2f} "
          f"{'MET' if med <= 1.2 else 'MISSED'}")
    print(f"TARGET listener-switches: capture thread <= 2 per period: {sw:.2f} "
          f"{'MET' if sw <= 2.2 else 'MISSED'}")


class Hogs:
    """A busy loop at SCHED_FIFO 1 on each core for 4 s, from `after` s on."""

    def __init__(self, after):
        cores = os.cpu_count() or 2
        # The loop ends itself: a timer process at the same priority on the
        # same core would never get to run before it.
        loop = ("import time\nend = time.monotonic() + 4\n"
                "while time.monotonic() < end:\n    pass\n")
        script = f'sleep {after}; exec chrt -f 1 "{sys.executable}" -c "$0"'
        self.procs = [subprocess.Popen(["taskset", "-c", str(c), "sh", "-c", script, loop],
                                       stdin=subprocess.DEVNULL)
                      for c in range(cores)]

    def wait(self):
        for p in self.procs:
            p.wait()


def load(args):
    s = args.seconds
    takes = os.path.join(args.dir, "takes")
    os.makedirs(takes, exist_ok=True)
    env = card_env(os.path.abspath(args.device), args.dir)
    zelm = [os.path.abspath(args.zelm), "2496", str(s), "card", "s", "l.wav"]
    runs = [
        ("zelm, real-time", zelm),
        ("zelm, refused", ["setpriv", "--bounding-set", "-sys_nice", "--inh-caps", "-sys_nice"] + zelm),
        ("arecord", ["arecord", "-q", "-D", "card", "-f", "S24_3LE", "-c", "2", "-r", "96000",
                     "-d", str(s), "l.wav"]),
    ]
    print(f"Under load: {s} s 24-bit 96 kHz stereo takes from the test device (hardware mode), "
          f"a busy loop at SCHED_FIFO 1 on each of {os.cpu_count()} cores for 4 s from 5 s in")
    got = {}
    for name, cmd in runs:
        for f in os.listdir(takes):
            os.unlink(os.path.join(takes, f))
        hogs = Hogs(5)
        proc = subprocess.run(cmd, cwd=takes, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=s * 3 + 60)
        hogs.wait()
        out = proc.stdout.decode(errors="replace") + proc.stderr.decode(errors="replace")
        drops = out.count("\nRX\n") if name.startswith("zelm") else out.count("overrun")
        got[name] = drops
        print(f"  {name:16s} exit {proc.returncode}, dropouts {drops}", flush=True)
    print(f"TARGET load-dropouts: zelm with real-time scheduling = {got['zelm, real-time']} (== 0) "
          f"{'MET' if got['zelm, real-time'] == 0 else 'MISSED'}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", choices=["listener", "load"])
    for name in ("--zelm", "--dir"):
        p.add_argument(name, required=True)
    p.add_argument("--sinecheck")
    p.add_argument("--repo")
    p.add_argument("--device")
    p.add_argument("--seconds", type=int)
    p.add_argument("--pairs", type=int, default=5)
    args = p.parse_args()
    if args.what == "listener":
        args.seconds = args.seconds or 60
        listener(args)
    else:
        args.seconds = args.seconds or 30
        load(args)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
