#!/usr/bin/env python3
"""Files per second of one long quorvin-cli run, at its start and at its end.

A run of many small files into one new folder, timed by the files' modification times; the rate
of each tenth of the files is printed, the first and the last compared. Where each file costs
lookups of names that scan the folder (Wine maps case-insensitive Windows names onto the Unix
folder by reading it), the rate falls as the folder fills; otherwise it stays level, give or take
what else the machine is doing.

    bench/fs_rate.py [quorvin-cli or quorvin-cli.exe] [--files 20000] [--no-flush] [-- extra options]

A program ending in .exe is run through scripts/wine-run.sh.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", nargs="?", default=str(ROOT / "build/default/cli/quorvin-cli"))
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--no-flush", action="store_true",
                        help="run under eatmydata, so that the disk's flushes, which vary with everything else the "
                             "machine writes, leave only the program's own work to time")
    parser.add_argument("extra", nargs="*", help="more quorvin-cli options, after --")
    args = parser.parse_args()
    program = str(pathlib.Path(args.program).resolve())
    command = [program]
    if program.endswith(".exe"):
        command = [str(ROOT / "scripts/wine-run.sh"), program]
    if args.no_flush:
        command = ["eatmydata"] + command
    command += ["-j", "1", "--seed", "1", "-m", "BPSK", "--num-symbols", "100",
                "--files-per-modulation", str(args.files), "-o", "out"] + args.extra
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ)
        env.setdefault("WINEPREFIX", str(ROOT / "build/wineprefix-bench"))
        status = subprocess.run(command, cwd=work, stdout=subprocess.DEVNULL, env=env).returncode
        # Each file's modification time is when its last byte was written: timed by the program's
        # own progress, with nothing between it and the clock.
        out = pathlib.Path(work) / "out"
        times = sorted(p.stat().st_mtime_ns / 1e9 for p in out.glob("BPSK_signal_*.csv")) if out.is_dir() else []
        if status != 0 or len(times) != args.files:
            print(f"fs_rate.py: the run ended with status {status} after {len(times)} files", file=sys.stderr)
            return 1
    tenth = max(2, args.files // 10)
    rates = [(tenth - 1) / max(times[i + tenth - 1] - times[i], 1e-9) for i in range(0, len(times) - tenth + 1, tenth)]
    print(f"{args.files} files: {rates[0]:.0f} files/s over the first {tenth}, {rates[-1]:.0f} files/s over the last "
          f"{tenth} (end/start {rates[-1] / rates[0]:.2f}); by tenth: {' '.join(f'{r:.0f}' for r in rates)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
