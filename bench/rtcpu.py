#!/usr/bin/env python3
"""Real-time CPU: zelm against arecord with its meter, both recording a private
PulseAudio or PipeWire server's sine through ALSA's "default".

  rtcpu.py --zelm BIN --spawn BIN --sinecheck BIN --repo DIR --dir DIR [--pairs N] [--seconds S]
           [--servers pulse,pipewire] [--modes stereo16,two24]

Modes: stereo16 is `zelm 1648 S default s` against `arecord -V stereo -f
S16_LE -c 2 -r 48000`; two24 is `zelm 2496 S default 2` (two mono files)
against `arecord -V stereo -f S24_3LE -c 2 -r 96000`.

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

from stall import Server

PERIOD = 4096
MODES = {
    "stereo16": (48000, 2, ["1648", "s", "take.wav"], ["-f", "S16_LE"], "take.wav"),
    "two24": (96000, 3, ["2496", "2", "take.wav", "right.wav"], ["-f", "S24_3LE"], "take.wav"),
}


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


def check_take(sinecheck, path, name, frames, sample_bytes):
    """Stops the run unless the take is whole and, at 16 bits, holds the
    sine: CPU spent on silence or on a short take says nothing."""
    size = os.path.getsize(path) if os.path.exists(path) else 0
    per_frame = sample_bytes * (1 if name == "zelm" and sample_bytes == 3 else 2)
    if size < 44 + frames * per_frame:
        sys.exit(f"{name} wrote {size} bytes, expected at least {44 + frames * per_frame}")
    if sample_bytes != 2:
        return
    out = subprocess.run([sinecheck, path], capture_output=True, text=True)
    figures = dict(kv.split("=") for kv in out.stdout.split()) if out.returncode == 0 else {}
    if float(figures.get("peak", 0)) < 16384 * 0.9:
        sys.exit(f"{name} did not record the server's sine (peak {figures.get('peak', '?')}, "
                 "not 16384): 'default' does not reach the private server")


def spread(values):
    q = statistics.quantiles(values, n=4) if len(values) >= 2 else [values[0]] * 3
    return f"min {min(values):.2f}, quartiles {q[0]:.2f}-{q[2]:.2f}, max {max(values):.2f}"


def measure(args, server_name, mode, env, takes):
    spawn, sinecheck, s = args.spawn, args.sinecheck, args.seconds
    rate, sample_bytes, zelm_args, fmt, _ = MODES[mode]
    cmds = {
        "zelm": [args.zelm, zelm_args[0], str(s), "default"] + zelm_args[1:],
        "arecord": ["arecord", "-q", "-V", "stereo", "-D", "default"] + fmt +
                   ["-c", "2", "-r", str(rate), "-d", str(s), "take.wav"],
    }
    # zelm rounds the duration up to whole periods; arecord takes it as is.
    frames = {"zelm": -(-s * rate // PERIOD) * PERIOD, "arecord": s * rate}
    print(f"  {server_name}, {mode}: {args.pairs} alternating pairs after one warm-up pair")
    print(f"    zelm:    {' '.join(['zelm'] + cmds['zelm'][1:])}")
    print(f"    arecord: {' '.join(cmds['arecord'])}")

    def take(name):
        cpu, nvcsw, wall, text = run(spawn, cmds[name], env, takes, name)
        check_take(sinecheck, os.path.join(takes, "take.wav"), name, frames[name], sample_bytes)
        dropouts = text.count("\nRX\n") if name == "zelm" else text.count("overrun")
        return cpu, nvcsw / (frames[name] / PERIOD), wall, dropouts

    take("zelm")
    take("arecord")
    ratios, z_csw, a_csw = [], [], []
    print(f"    {'':4s}  {'CPU ms':>15s}  {'':5s}  {'switches/period':>18s}  dropouts")
    print(f"    {'pair':4s}  {'zelm':>6s}  {'arecord':>7s}  {'ratio':>5s}  {'zelm':>8s}  "
          f"{'arecord':>8s}  zelm/arecord")
    for i in range(args.pairs):
        order = ("zelm", "arecord") if i % 2 == 0 else ("arecord", "zelm")
        got = {name: take(name) for name in order}
        z, a = got["zelm"], got["arecord"]
        ratios.append(z[0] / max(a[0], 1e-6))
        z_csw.append(z[1])
        a_csw.append(a[1])
        print(f"    {i + 1:4d}  {z[0] * 1e3:6.1f}  {a[0] * 1e3:7.1f}  {ratios[-1]:5.2f}  {z[1]:8.2f}  "
              f"{a[1]:8.2f}  {z[3]}/{a[3]}")
    med = statistics.median(ratios)
    print(f"    median of the pair ratios zelm/arecord: {med:.2f} ({spread(ratios)})")
    print(f"    voluntary context switches per {PERIOD}-frame period, median: zelm "
          f"{statistics.median(z_csw):.2f}, arecord {statistics.median(a_csw):.2f}")
    print(f"TARGET rtcpu-{server_name}-{mode}: zelm <= 0.9x arecord -V stereo (real time): "
          f"median ratio {med:.2f} {'MET' if med <= 0.9 else 'MISSED'}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--zelm", required=True)
    p.add_argument("--spawn", required=True, help="the zelm_spawn_rusage launcher")
    p.add_argument("--sinecheck", required=True)
    p.add_argument("--repo", required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--pairs", type=int, default=15)
    p.add_argument("--seconds", type=int, default=20)
    p.add_argument("--servers", default="pulse,pipewire")
    p.add_argument("--modes", default="stereo16,two24")
    args = p.parse_args()
    args.zelm, args.spawn, args.sinecheck = (os.path.abspath(x)
                                             for x in (args.zelm, args.spawn, args.sinecheck))
    takes = os.path.join(args.dir, "takes")
    os.makedirs(takes, exist_ok=True)
    print(f"Real-time CPU: {args.seconds} s takes of a private sound server's sine through "
          "'default'; CPU time and voluntary context switches per period of each program")
    scripts = {"pulse": "pulse-test-server", "pipewire": "pipewire-test-server"}
    for server_name in args.servers.split(","):
        with Server(args.repo, scripts[server_name], os.path.join(args.dir, server_name)) as server:
            if server.env is None:
                print(f"  the private {server_name} server did not start: {server.error}")
                for mode in args.modes.split(","):
                    print(f"TARGET rtcpu-{server_name}-{mode}: zelm <= 0.9x arecord -V stereo "
                          "(real time): n/a MISSED")
                continue
            try:
                for mode in args.modes.split(","):
                    measure(args, server_name, mode, server.env, takes)
            finally:
                for f in os.listdir(takes):
                    os.unlink(os.path.join(takes, f))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
