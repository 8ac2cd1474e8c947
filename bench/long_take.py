#!/usr/bin/env python3
"""One real take longer than a WAV file can hold: 2 h 10 min of 24-bit stereo
at 96 kHz from ALSA's null device, 4.5 GB, which zelm writes as RF64. The file
is read back whole by sndfile-info and soxi, and the take's CPU time and peak
memory are set against a one-minute take's: memory must not grow with the
length of the take.

    long_take.py --zelm ZELM --spawn SPAWN_RUSAGE --dir DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

LONG_SECONDS = 7800  # 2 h 10 min
RATE, BLOCK = 96000, 6
PERIOD = 4096


def frames_for(seconds):
    # zelm rounds the duration up to whole 4096-frame periods.
    return -(-seconds * RATE // PERIOD) * PERIOD


def take(args, seconds, name):
    path = os.path.join(args.dir, name)
    result = os.path.join(args.dir, name + ".rusage")
    with open(os.devnull, "wb") as null:
        subprocess.run([args.spawn, result, args.zelm, "2496", str(seconds), "null", "s", path],
                       stdin=subprocess.DEVNULL, stdout=null, stderr=null, check=False)
    with open(result) as f:
        fields = dict(kv.split("=") for kv in f.read().split())
    return path, fields


def readers(path):
    soxi = subprocess.run(["soxi", "-s", path], capture_output=True, text=True)
    info = subprocess.run(["sndfile-info", path], capture_output=True, text=True)
    m = re.search(r"Frames\s*:\s*(\d+)", info.stdout)
    return (int(soxi.stdout.strip()) if soxi.returncode == 0 and soxi.stdout.strip().isdigit() else -1,
            int(m.group(1)) if m else -1)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--zelm", required=True)
    p.add_argument("--spawn", required=True)
    p.add_argument("--dir", required=True)
    args = p.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    need = frames_for(LONG_SECONDS) * BLOCK + (1 << 30)
    free = shutil.disk_usage(args.dir).free
    if free < need:
        print(f"SKIPPED: {need / 1e9:.1f} GB needed in {args.dir}, {free / 1e9:.1f} GB free")
        return 0

    short_path, short = take(args, 60, "short.wav")
    os.unlink(short_path)
    path, long_ = take(args, LONG_SECONDS, "long.wav")
    want = frames_for(LONG_SECONDS)
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        kind = f.read(4).decode("ascii", "replace")
    soxi_frames, sndfile_frames = readers(path)
    os.unlink(path)

    print(f"{'take':<10}{'exit':>5}{'cpu s':>9}{'wall s':>9}{'peak KiB':>10}")
    for label, r in (("1 min", short), ("2 h 10 min", long_)):
        cpu = float(r["user"]) + float(r["sys"])
        print(f"{label:<10}{r['exit']:>5}{cpu:>9.2f}{float(r['wall']):>9.1f}{r['maxrss_kib']:>10}")
    print(f"file: {kind}, {size} bytes ({size / 1e9:.2f} GB), {want} frames planned; "
          f"soxi reads {soxi_frames} frames, sndfile-info {sndfile_frames}")
    whole = (kind == "RF64" and size == 80 + want * BLOCK and soxi_frames == want
             and sndfile_frames == want and long_["exit"] == "0")
    print(f"TARGET long-take-readable: {'yes' if whole else 'no'} (== yes) "
          f"{'MET' if whole else 'MISSED'}")
    ratio = int(long_["maxrss_kib"]) / int(short["maxrss_kib"])
    print(f"TARGET long-take-memory: {ratio:.3f} (<= 1.05 of a 1-minute take) "
          f"{'MET' if ratio <= 1.05 else 'MISSED'}")
    return 0 if whole else 1


if __name__ == "__main__":
    sys.exit(main())
