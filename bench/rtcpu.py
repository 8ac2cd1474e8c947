#!/usr/bin/env python3
"""Real-time CPU: zelm against arecord with its meter, both recording a private
PulseAudio server's 48 kHz sine through ALSA's "default".

  rtcpu.py --zelm BIN --spawn BIN --sinecheck BIN --repo DIR --dir DIR [--pairs N] [--seconds S]

Unlike the whole-run section, the device here is paced by real time, so this
is what a take costs while it waits for the audio: the wake-ups and hand-overs
of each period rather than raw copying speed. Each run's CPU time (user + sys)
and voluntary context switches come from wait4(2) on that child alone
(zelm_spawn_rusage). The takes alternate, zelm first in even pairs, so drift
in the machine's load falls on both alike; each pair gives one ratio and the
target is met on their median. The server is stopped on every way out.
"""
import argparse
import os
import statistics
import subprocess
import sys

from realtime import start_server, stop_server

RATE = 48000
PERIOD = 4096


def run(spawn, cmd, env, workdir, name):
    """One take; returns (CPU s, voluntary switches, wall s, console text)."""
    for f in os.listdir(workdir):
        os.unlink(os.path.join(workdir, f))
    parent = os.path.dirname(os.path.abspath(workdir))
    result, console = os.path.join(parent, "rusage.txt"), os.path.join(parent, "console.txt")
    # Both consoles go to a file, alike, so that dropouts can be counted.
    with open(console, "wb") as out:
        subprocess.run([spawn, result] + cmd, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                       stdout=out, stderr=out, check=True)
    got = dict(kv.split("=") for kv in open(result).read().split())
    text = open(console, errors="replace").read()
    if got["exit"] != "0":
        sys.exit(f"{name} failed (exit {got['exit']}): {' '.join(cmd)}\n{text[-500:]}")
    return float(got["user"]) + float(got["sys"]), int(got["nvcsw"]), float(got["wall"]), text


def check_take(sinecheck, path, name, frames):
    """Stops the run unless the take holds the whole sine: CPU spent on
    silence or on a short take says nothing."""
    size = os.path.getsize(path) if os.path.exists(path) else 0
    if size < 44 + frames * 4:
        sys.exit(f"{name} wrote {size} bytes, expected at least {44 + frames * 4}")
    out = subprocess.run([sinecheck, path], capture_output=True, text=True)
    figures = dict(kv.split("=") for kv in out.stdout.split()) if out.returncode == 0 else {}
    if float(figures.get("peak", 0)) < 16384 * 0.9:
        sys.exit(f"{name} did not record the server's sine (peak {figures.get('peak', '?')}, "
                 "not 16384): 'default' does not reach the private PulseAudio server")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--zelm", required=True)
    p.add_argument("--spawn", required=True, help="the zelm_spawn_rusage launcher")
    p.add_argument("--sinecheck", required=True)
    p.add_argument("--repo", required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--pairs", type=int, default=15)
    p.add_argument("--seconds", type=int, default=20)
    args = p.parse_args()
    zelm, spawn, sinecheck = (os.path.abspath(x) for x in (args.zelm, args.spawn, args.sinecheck))
    s = args.seconds
    takes = os.path.join(args.dir, "takes")
    os.makedirs(takes, exist_ok=True)
    server = os.path.join(args.dir, "pulse")
    cmds = {
        "zelm": [zelm, "1648", str(s), "default", "s", "take.wav"],
        "arecord": ["arecord", "-q", "-V", "stereo", "-D", "default", "-f", "S16_LE", "-c", "2",
                    "-r", str(RATE), "-d", str(s), "take.wav"],
    }
    # zelm rounds the duration up to whole periods; arecord takes it as is.
    frames = {"zelm": -(-s * RATE // PERIOD) * PERIOD, "arecord": s * RATE}
    print(f"Real-time CPU: {s} s stereo 16-bit takes of the private PulseAudio server's 48 kHz sine "
          f"through 'default', {args.pairs} alternating pairs after one warm-up pair")
    print(f"  switches/period: voluntary context switches per {PERIOD}-frame period")
    print(f"  zelm:    {' '.join(['zelm'] + cmds['zelm'][1:])}")
    print(f"  arecord: {' '.join(cmds['arecord'])}")
    try:
        env = start_server(args.repo, server)
    except subprocess.CalledProcessError as e:
        stop_server(args.repo, server)
        print(f"  the private PulseAudio server did not start: {(e.stderr or '').strip()}")
        print("TARGET rtcpu: zelm <= 1.2x arecord -V stereo (real time): n/a MISSED")
        return
    try:
        def take(name):
            cpu, nvcsw, wall, text = run(spawn, cmds[name], env, takes, name)
            check_take(sinecheck, os.path.join(takes, "take.wav"), name, frames[name])
            dropouts = text.count("\nRX\n") if name == "zelm" else text.count("overrun")
            return cpu, nvcsw / (frames[name] / PERIOD), wall, dropouts

        take("zelm")
        take("arecord")
        ratios, z_csw, a_csw = [], [], []
        print(f"  {'':4s}  {'CPU ms':>15s}  {'':5s}  {'switches/period':>18s}  dropouts")
        print(f"  {'pair':4s}  {'zelm':>6s}  {'arecord':>7s}  {'ratio':>5s}  {'zelm':>8s}  "
              f"{'arecord':>8s}  zelm/arecord")
        for i in range(args.pairs):
            order = ("zelm", "arecord") if i % 2 == 0 else ("arecord", "zelm")
            got = {name: take(name) for name in order}
            z, a = got["zelm"], got["arecord"]
            ratios.append(z[0] / max(a[0], 1e-6))
            z_csw.append(z[1])
            a_csw.append(a[1])
            print(f"  {i + 1:4d}  {z[0] * 1e3:6.1f}  {a[0] * 1e3:7.1f}  {ratios[-1]:5.2f}  {z[1]:8.2f}  "
                  f"{a[1]:8.2f}  {z[3]}/{a[3]}")
    finally:
        stop_server(args.repo, server)
        for f in os.listdir(takes):
            os.unlink(os.path.join(takes, f))
    med = statistics.median(ratios)
    print(f"  median of the pair ratios zelm/arecord: {med:.2f}")
    print(f"  voluntary context switches per {PERIOD}-frame period, median: zelm "
          f"{statistics.median(z_csw):.2f}, arecord {statistics.median(a_csw):.2f}")
    print(f"TARGET rtcpu: zelm <= 1.2x arecord -V stereo (real time): median ratio {med:.2f} "
          f"{'MET' if med <= 1.2 else 'MISSED'}")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
