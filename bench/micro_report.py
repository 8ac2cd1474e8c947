#!/usr/bin/env python3
"""Runs zelm_microbench and prints each operation's throughput against memcpy
of the same number of bytes, then the TARGET lines.

  micro_report.py BENCH_BINARY [--repetitions N] [--min-time S]

Repetitions of all benchmarks are interleaved in random order, so a change in
the machine's state during the run falls on every operation alike; the
figures are the medians of the repetitions (bytes per CPU second).
"""
import argparse
import json
import subprocess
import sys

FRAMES = 4096


def main():
    p = argparse.ArgumentParser()
    p.add_argument("binary")
    p.add_argument("--repetitions", type=int, default=9)
    p.add_argument("--min-time", type=float, default=0.2)
    args = p.parse_args()
    out = subprocess.run(
        [args.binary, "--benchmark_format=json", f"--benchmark_repetitions={args.repetitions}",
         f"--benchmark_min_time={args.min_time}", "--benchmark_enable_random_interleaving=true",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b["bytes_per_second"]

    def gbs(name):
        return medians[name] / 1e9

    rows = [
        # (label, benchmark, bytes it moves per period, the share of memcpy it
        # must reach, if any). The left channel out of the frames is to cost
        # no more than copying the frames.
        ("CheckPeak 16-bit", "CheckPeak/bytes_per_sample/2", 2 * FRAMES, 0.25),
        ("CheckPeak 24-bit", "CheckPeak/bytes_per_sample/3", 3 * FRAMES, 0.25),
        ("CheckPeakFrames 16-bit", "CheckPeakFrames/bytes_per_sample/2", 4 * FRAMES, 0.25),
        ("CheckPeakFrames 24-bit", "CheckPeakFrames/bytes_per_sample/3", 6 * FRAMES, 0.25),
        ("Interleave 16-bit", "Interleave/bytes_per_sample/2", 4 * FRAMES, 0.25),
        ("Interleave 24-bit", "Interleave/bytes_per_sample/3", 6 * FRAMES, 0.25),
        ("Deinterleave 16-bit", "Deinterleave/bytes_per_sample/2", 4 * FRAMES, None),
        ("Deinterleave 24-bit", "Deinterleave/bytes_per_sample/3", 6 * FRAMES, None),
        ("Left channel of 16-bit frames", "DeinterleaveLeft/bytes_per_sample/2", 4 * FRAMES, 1.0),
        ("Left channel of 24-bit frames", "DeinterleaveLeft/bytes_per_sample/3", 6 * FRAMES, 1.0),
    ]
    print(f"Per-sample work on one {FRAMES}-frame period, median of {args.repetitions} interleaved "
          "repetitions, GB/s of audio bytes per CPU second; memcpy of the same byte count "
          "(glibc's run-time choice) in the same binary")
    print(f"  {'operation':34s} {'bytes':>6s} {'GB/s':>7s} {'memcpy GB/s':>12s} {'share':>6s}")
    lines = []
    for label, name, nbytes, target in rows:
        if name not in medians:
            continue
        ref = f"memcpy/bytes/{nbytes}"
        share = medians[name] / medians[ref]
        print(f"  {label:34s} {nbytes:6d} {gbs(name):7.1f} {gbs(ref):12.1f} {share:6.0%}")
        if target is not None:
            key = label.lower().replace(" ", "-")
            lines.append(f"TARGET {key}: share of memcpy = {share:.2f} (>= {target:.2f}) "
                         f"{'MET' if share >= target else 'MISSED'}")
    for line in lines:
        print(line)


if __name__ == "__main__":
    sys.exit(main())
