#!/usr/bin/env python3
"""Real-time continuity: a steady 440 Hz sine from a private PulseAudio server,
recorded through ALSA's "default" while both cores are kept busy.

  realtime.py --zelm BIN --sinecheck BIN --repo DIR --dir DIR [--seconds S]

zelm (1648, mono file) and then arecord (S16_LE, 48000 Hz, mono) each record
S seconds with `stress-ng --cpu <cores>` running for the whole take. The
recording is checked for discontinuities (zelm_sinecheck) and the overruns
each program reported are counted. The server is stopped on every way out.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time


def start_server(repo, folder):
    out = subprocess.run(["bash", os.path.join(repo, "scripts", "pulse-test-server"), "start", folder],
                         check=True, capture_output=True, text=True).stdout
    env = dict(os.environ)
    for var in ("PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "ALSA_CONFIG_PATH"):
        env.pop(var, None)
    for line in out.splitlines():
        key, _, value = line.partition("=")
        if key in ("XDG_RUNTIME_DIR", "HOME"):
            env[key] = value
    return env


def stop_server(repo, folder):
    subprocess.run(["bash", os.path.join(repo, "scripts", "pulse-test-server"), "stop", folder],
                   check=False)


class Load:
    """stress-ng keeping every core busy, in its own process group."""

    def __init__(self, cores, seconds):
        self.proc = subprocess.Popen(
            ["stress-ng", "--cpu", str(cores), "--cpu-method", "all", "--timeout", f"{seconds}s",
             "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.0)  # let the workers start before the take does

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def analyse(sinecheck, path):
    if not os.path.exists(path):
        return None
    out = subprocess.run([sinecheck, path], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return {k: float(v) for k, v in (kv.split("=") for kv in out.stdout.split())}


def take(name, cmd, env, workdir, seconds, cores, timeout):
    load = Load(cores, seconds + 30)
    try:
        start = time.monotonic()
        proc = subprocess.run(cmd, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
        wall = time.monotonic() - start
    finally:
        load.stop()
    return proc, wall


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--zelm", required=True)
    p.add_argument("--sinecheck", required=True)
    p.add_argument("--repo", required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--seconds", type=int, default=60)
    args = p.parse_args()
    args.zelm, args.sinecheck = os.path.abspath(args.zelm), os.path.abspath(args.sinecheck)
    cores = os.cpu_count() or 2
    server = os.path.join(args.dir, "pulse")
    takes = os.path.join(args.dir, "takes")
    os.makedirs(takes, exist_ok=True)
    s = args.seconds
    print(f"Real-time continuity: {s} s of the private PulseAudio server's 440 Hz half-scale sine "
          f"(48000 Hz) through 'default', with stress-ng --cpu {cores} busy for the whole take")
    try:
        env = start_server(args.repo, server)
    except subprocess.CalledProcessError as e:
        stop_server(args.repo, server)
        print(f"  the private PulseAudio server did not start: {(e.stderr or '').strip()}")
        print("TARGET rt-discontinuities: zelm = n/a (== 0) MISSED")
        print("TARGET rt-overruns: zelm = n/a (== 0) MISSED")
        return
    results = {}
    try:
        runs = [
            ("zelm", [args.zelm, "1648", str(s), "default", "1", "rt.wav"]),
            ("arecord", ["arecord", "-q", "-V", "mono", "-D", "default", "-f", "S16_LE", "-r", "48000",
                         "-c", "1", "-d", str(s), "rt.wav"]),
        ]
        for name, cmd in runs:
            for f in os.listdir(takes):
                os.unlink(os.path.join(takes, f))
            proc, wall = take(name, cmd, env, takes, s, cores, timeout=s * 3 + 60)
            stdout = proc.stdout.decode(errors="replace")
            stderr = proc.stderr.decode(errors="replace")
            if name == "zelm":
                overruns = sum(1 for line in stdout.split("\n") if line.strip("\r") == "RX")
            else:
                overruns = len(re.findall(r"overrun", stderr))
            figures = analyse(args.sinecheck, os.path.join(takes, "rt.wav"))
            results[name] = (proc.returncode, overruns, figures, wall)
            if figures is None:
                print(f"  {name:8s} exit {proc.returncode}: no readable recording")
                tail = (stdout + stderr).replace("\r", "\n").strip().splitlines()[-3:]
                for line in tail:
                    print(f"           | {line}")
                continue
            disc = int(figures["steps_over"] + figures["zero_runs"])
            print(f"  {name:8s} exit {proc.returncode}, {wall:.1f} s: {figures['seconds']:.2f} s recorded, "
                  f"peak {figures['peak']:.0f} (sine 16384), discontinuities {disc} "
                  f"(steps over {figures['step_limit']:.0f}: {figures['steps_over']:.0f}, "
                  f"zero runs: {figures['zero_runs']:.0f}), sine-recurrence breaks "
                  f"{figures['recurrence_breaks']:.0f}, leading zeros {figures['leading_zeros']:.0f}, "
                  f"overruns {overruns}")
    finally:
        stop_server(args.repo, server)
        for f in os.listdir(takes):
            os.unlink(os.path.join(takes, f))

    code, overruns, figures, _ = results["zelm"]
    if figures is None or figures["peak"] < 16384 * 0.9 or code != 0:
        why = "no readable recording" if figures is None else (
            f"recorded peak {figures['peak']:.0f}, not the sine's 16384" if figures["peak"] < 16384 * 0.9
            else f"zelm exited {code}")
        print(f"  zelm did not record the sine ({why}): its reading of 'default' through "
              "PulseAudio does not work in this build")
        print(f"TARGET rt-discontinuities: zelm = n/a (== 0) MISSED")
        print(f"TARGET rt-overruns: zelm = {overruns} (== 0) MISSED")
        return
    disc = int(figures["steps_over"] + figures["zero_runs"])
    print(f"TARGET rt-discontinuities: zelm = {disc} (== 0) {'MET' if disc == 0 else 'MISSED'}")
    print(f"TARGET rt-overruns: zelm = {overruns} (== 0) {'MET' if overruns == 0 else 'MISSED'}")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
