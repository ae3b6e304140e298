#!/usr/bin/python3
"""The standards' names' rates beside QPSK's, in one run: M samples per CPU second of one long
single-signal file each (idle time between bursts included), written as SigMF (cf32, its SHA-512
included) by one thread at the name's own sample rate, the noise on. A run of the shortest file
the name takes is subtracted, so start-up counts for none; each figure is the fastest of the
repetitions, as load from other processes only ever adds time. The goal is 20 M samples per CPU
second for each standard.

    bench/standards_rate.py [--cli PATH] [--samples 20000000] [--repeats 3] [--names QPSK,ADS-B]

Each standard is a row of NAMES (its name and the smallest file it takes, samples); another adds
one. CPU time needs an idle machine to mean much: under load, compare against QPSK's row, or count
instructions with bench/frame_rate.py --callgrind."""

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
GOAL = 20.0  # M samples per CPU second

# (name, the smallest --samples-per-file its default ranges take at its own rate)
NAMES = [
    ("QPSK", 1024),
    ("ADS-B", 4096),
    ("POCSAG", 110000),
]


def cpu(cli, name, samples):
    """CPU seconds (user and system) of one run of one file."""
    with tempfile.TemporaryDirectory() as folder:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([cli, "-m", name, "--samples-per-file", str(samples), "--files-per-modulation", "1",
                        "--format", "sigmf", "-o", folder, "--seed", "1", "-j", "1", "-q"], check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", default=str(ROOT / "build/default/cli/quorvin-cli"))
    parser.add_argument("--samples", type=int, default=20_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--names", help="comma-separated names (default: every row)")
    args = parser.parse_args()
    rows = [r for r in NAMES if not args.names or r[0] in args.names.split(",")]
    print(f"load average {os.getloadavg()[0]:.1f}; one file of {args.samples:,} samples a name, "
          f"the fastest of {args.repeats}")
    print(f"{'name':10} {'CPU s':>7} {'M samples/CPU s':>16} {'of QPSK':>8}")
    qpsk = None
    below = []
    for name, smallest in rows:
        start = min(cpu(args.cli, name, smallest) for _ in range(args.repeats))
        seconds = max(1e-9, min(cpu(args.cli, name, args.samples) for _ in range(args.repeats)) - start)
        rate = (args.samples - smallest) / seconds / 1e6
        qpsk = rate if name == "QPSK" else qpsk
        share = f"{rate / qpsk:8.2f}" if qpsk else f"{'':8}"
        print(f"{name:10} {seconds:7.2f} {rate:16.1f} {share}", flush=True)
        if name != "QPSK" and rate < GOAL:
            below.append(name)
    if below:
        print(f"below {GOAL:.0f} M samples per CPU second: {', '.join(below)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
