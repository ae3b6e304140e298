#!/usr/bin/env python3
"""Files per second of one long quorvin-cli run, at its start and at its end.

A run of many small files into one new folder, timed by the files' modification times; the rate
of each tenth of the files is printed, the first and the last compared. Where each file costs
lookups of names that scan the folder (Wine maps case-insensitive Windows names onto the Unix
folder by reading it), the rate falls as the folder fills; otherwise it stays level, give or take
what else the machine is doing.

    bench/fs_rate.py [quorvin-cli or quorvin-cli.exe] [--files 20000] [--no-flush] [-- extra options]

A program ending in .exe is run through scripts/wine-run.sh. With --no-flush a static quorvin-cli
is replaced by quorvin-cli-dynamic beside it, which eatmydata can reach.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def has_interpreter(program: str) -> bool:
    """Whether an ELF program names a dynamic loader (a PT_INTERP header): eatmydata preloads a
    library, which only such a program loads."""
    with open(program, "rb") as f:
        header = f.read(64)
        if header[:4] != b"\x7fELF" or header[4] != 2:  # 64-bit ELF only; anything else is left as it is
            return True
        order = "little" if header[5] == 1 else "big"
        offset = int.from_bytes(header[0x20:0x28], order)
        size, count = int.from_bytes(header[0x36:0x38], order), int.from_bytes(header[0x38:0x3A], order)
        f.seek(offset)
        table = f.read(size * count)
    return any(int.from_bytes(table[i * size:i * size + 4], order) == 3 for i in range(count))


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
        if not program.endswith(".exe") and not has_interpreter(program):
            # quorvin-cli is a static program on Linux; its dynamically linked twin is built on request.
            dynamic = pathlib.Path(program).with_name("quorvin-cli-dynamic")
            if not dynamic.is_file():
                print(f"fs_rate.py: --no-flush needs a dynamically linked program; build {dynamic.name} "
                      "(cmake --build --preset default --target quorvin-cli-dynamic)", file=sys.stderr)
                return 2
            command = [str(dynamic)]
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
