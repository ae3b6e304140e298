#!/usr/bin/python3
"""What a short frame costs beside a long file, for every name of `-m every`.

A classifier trains on frames of about a thousand samples, where what a file costs before its
first sample (tables, filters, transform plans, labels, the writer's row) would dominate. For each
name this prints the CPU cost of one 1024-sample frame and the rate of a long file, both in
M samples per CPU second, and their ratio (the frames' rate over the long file's; 0.5 or more
is the goal):

    bench/frame_rate.py [--cli PATH] [--frames 2000] [--long 2000000] [--names GMSK,QPSK] [--markdown]
    PYTHONPATH=build/default/python bench/frame_rate.py --python     # Dataset.frames instead

The CLI writes an HDF5 container at --sample-rate 1e6 with -j 1; a run of one frame is
subtracted from each, so the program's start-up counts for neither. --markdown prints the table
in Markdown, each name's row marked where its frames fall below half its long file's rate
(bench/peers/run ends with it). CPU time needs an idle machine to mean much. Under load, count instructions instead:

    bench/frame_rate.py --callgrind [--names GMSK,OFDM-2048,QPSK]

runs each name under valgrind's callgrind (slow: keep the names few) and prints instructions
per frame and per sample, a frame's against a long file's (--long defaults to 262144 there).
"""

import argparse
import os
import pathlib
import re
import resource
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
FRAME = 1024
DEFAULT_CALLGRIND_NAMES = "GMSK,2GFSK,OFDM-2048,OFDM-64,CSS,QPSK,2FSK,AM,FM"


def every_name(cli: str) -> list[str]:
    """The names `-m every` makes, from the CLI's list (AM-SSB's line says it is not in every)."""
    listing = subprocess.run([cli, "--list-modulations"], check=True, capture_output=True, text=True).stdout
    return [line.split("\t")[0] for line in listing.splitlines() if line and "not in every" not in line]


def cli_command(cli: str, name: str, files: int, samples: int, folder: str) -> list[str]:
    return [cli, "-m", name, "--files-per-modulation", str(files), "--samples-per-file", str(samples),
            "--sample-rate", "1e6", "--format", "hdf5", "-o", folder, "--seed", "1", "-j", "1", "-q"]


def cli_cpu(cli: str, name: str, files: int, samples: int) -> float:
    """CPU seconds (user and system) of one run."""
    with tempfile.TemporaryDirectory() as folder:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(cli_command(cli, name, files, samples, folder), check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def cli_instructions(cli: str, name: str, files: int, samples: int) -> int:
    """Instructions callgrind counts for one run."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        result = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
                                + cli_command(cli, name, files, samples, os.path.join(folder, "o")),
                                check=True, capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", result.stderr)
    if not found:
        raise RuntimeError(f"no instruction count from callgrind for {name}:\n{result.stderr}")
    return int(found.group(1))


def python_cpu(name: str, files: int, samples: int) -> float:
    """CPU seconds of Dataset.frames over every item, the plan made beforehand."""
    import quorvin  # only this mode needs the package
    dataset = quorvin.Dataset(quorvin.Config(name, sample_rate=1e6, samples_per_file=samples), files, 1)
    start = time.process_time()
    dataset.frames(range(files))
    return time.process_time() - start


def rate(samples: float, seconds: float) -> float:
    return samples / seconds / 1e6 if seconds > 0 else float("inf")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", default=str(ROOT / "build/default/cli/quorvin-cli"))
    parser.add_argument("--names", help="comma-separated names (default: every name; with --callgrind "
                                        f"{DEFAULT_CALLGRIND_NAMES})")
    parser.add_argument("--frames", type=int, help="frames per name (default 2000; 40 with --callgrind)")
    parser.add_argument("--long", type=int, help="samples of the long file (default 2000000; 262144 with --callgrind)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--python", action="store_true", help="time quorvin.Dataset.frames instead of the CLI")
    mode.add_argument("--callgrind", action="store_true", help="count instructions under callgrind")
    parser.add_argument("--markdown", action="store_true", help="a Markdown table (not with --callgrind)")
    args = parser.parse_args()
    frames = args.frames or (40 if args.callgrind else 2000)
    long = args.long or (262144 if args.callgrind else 2_000_000)
    if frames < 2 or long <= FRAME:
        parser.error(f"--frames takes 2 or more and --long more than {FRAME}")
    names = (args.names or (DEFAULT_CALLGRIND_NAMES if args.callgrind else "")).split(",")
    if names == [""]:
        names = every_name(args.cli)
    if args.markdown and args.callgrind:
        parser.error("--markdown times CPU seconds: not with --callgrind")
    print(f"load average {os.getloadavg()[0]:.1f}; {frames} frames of {FRAME} samples against one file of {long}")

    if args.callgrind:
        print(f"{'name':12} {'instr/frame':>12} {'instr/sample':>13} {'long instr/sample':>18} {'ratio':>6}")
        for name in names:
            one = cli_instructions(args.cli, name, 1, FRAME)
            per_frame = (cli_instructions(args.cli, name, frames, FRAME) - one) / (frames - 1)
            per_sample_long = (cli_instructions(args.cli, name, 1, long) - one) / (long - FRAME)
            per_sample = per_frame / FRAME
            print(f"{name:12} {per_frame:12.0f} {per_sample:13.0f} {per_sample_long:18.0f} "
                  f"{per_sample / per_sample_long:6.2f}", flush=True)
        return 0

    if args.markdown:
        print()
        print(f"| name | µs per {FRAME}-sample frame | frames: M samples per CPU s | {long:,}-sample file: M samples per CPU s "
              "| frames / file |")
        print("|---|---:|---:|---:|---:|")
    else:
        print(f"{'name':12} {'us/frame':>9} {'frames Msps':>12} {'long Msps':>10} {'ratio':>6}")
    below = []
    for name in names:
        if args.python:
            frame_cost = python_cpu(name, frames, FRAME) / frames
            long_cost = python_cpu(name, 1, long)
        else:
            one = cli_cpu(args.cli, name, 1, FRAME)
            frame_cost = max(0.0, cli_cpu(args.cli, name, frames, FRAME) - one) / (frames - 1)
            long_cost = max(0.0, cli_cpu(args.cli, name, 1, long) - one)
        frame_rate, long_rate = rate(FRAME, frame_cost), rate(long, long_cost)
        ratio = frame_rate / long_rate
        if ratio < 0.5:
            below.append(name)
        if args.markdown:
            print(f"| {name} | {frame_cost * 1e6:.1f} | {frame_rate:.2f} | {long_rate:.2f} | {ratio:.2f}{' (below half)' if ratio < 0.5 else ''} |",
                  flush=True)
        else:
            print(f"{name:12} {frame_cost * 1e6:9.1f} {frame_rate:12.2f} {long_rate:10.2f} {ratio:6.2f}", flush=True)
    print(f"\n{len(names) - len(below)} of {len(names)} names make frames at half their long file's rate or better"
          + (f"; below: {', '.join(below)}" if below else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
