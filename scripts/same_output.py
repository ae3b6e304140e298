#!/usr/bin/python3
"""Whether two builds write the same bytes: every name of `-m every`, short frames and long files,
several seeds, each container and side file, and quorvin.Dataset.frames of each build's package.
HDF5 containers are compared by their contents (every dataset and attribute), as their bytes
also hold the second each object was made.

    scripts/same_output.py OLD_CLI NEW_CLI [--old-python DIR --new-python DIR] [--quick]

Each run is made by both programs in folders of the same relative name, so that paths inside
manifests agree; then every file's SHA-256 is compared. A change meant to leave the output alone
(a cache, a faster loop) keeps a copy of the old quorvin-cli (and the old build's python folder)
and runs this before it is committed. Prints each run and "same" or the differing files; the
status is 1 on any difference.
"""

import argparse
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile

SHORT = ["--samples-per-file", "1024", "--sample-rate", "1e6"]
# Drawn parameters that vary per file, so that per-parameter tables are made afresh and reused.
VARIED = ["--gmsk-bt-min", "0.2", "--gmsk-bt-max", "0.6", "--rolloff-min", "0.2", "--rolloff-max", "0.5",
          "--fsk-index-min", "0.5", "--fsk-index-max", "2", "--ofdm-window-min", "0", "--ofdm-window-max", "0.5"]


def runs(quick: bool) -> list[list[str]]:
    every = ["-m", "every", "-q"]
    short_seeds = [1, 2] if quick else [1, 2, 3, 4]
    out = [every + SHORT + ["--files-per-modulation", "3", "--format", "hdf5", "--seed", str(s)] for s in short_seeds]
    out.append(every + SHORT + VARIED + ["--files-per-modulation", "4", "--format", "hdf5", "--seed", "5", "-j", "2"])
    out.append(every + SHORT + ["--files-per-modulation", "2", "--format", "sigmf", "--save-settings", "--save-symbols",
                                "--manifest", "o/manifest.csv", "--seed", "6"])
    out.append(every + ["--timing-error-max", "0", "--files-per-modulation", "2", "--samples-per-file", "4096",
                        "--format", "hdf5", "--seed", "7"])
    long_seeds = [1] if quick else [1, 2, 3]
    out += [every + ["--files-per-modulation", "1", "--samples-per-file", "300000", "--format", "sigmf", "--seed", str(s)]
            for s in long_seeds]
    out.append(every + ["--files-per-modulation", "1", "--num-symbols", "3000", "--format", "csv", "--seed", "8"])
    out.append(["-m", "all", "-q", "--signal-model", "classic", "--files-per-modulation", "1", "--format", "csv", "--seed", "9"])
    return out


def hdf5_digest(path: pathlib.Path) -> str:
    """Every dataset's and attribute's name, type, shape and bytes: HDF5 stamps each object with the
    second it was made, so two runs' containers differ in those bytes alone."""
    import h5py  # only for containers
    import numpy as np
    h = hashlib.sha256()

    def value(v) -> None:
        v = np.asarray(v)
        h.update(f"{v.dtype} {v.shape}".encode())
        h.update(repr(v.tolist()).encode() if v.dtype.kind == "O" else v.tobytes())

    def attributes(item) -> None:
        for key in sorted(item.attrs):
            h.update(key.encode())
            value(item.attrs[key])

    with h5py.File(path, "r") as f:
        attributes(f)

        def visit(name, item) -> None:
            h.update(name.encode())
            attributes(item)
            if isinstance(item, h5py.Dataset):
                value(item[()])

        f.visititems(visit)
    return h.hexdigest()


def digests(folder: pathlib.Path) -> dict[str, str]:
    return {str(p.relative_to(folder)): hdf5_digest(p) if p.suffix == ".h5" else hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file()}


def run_cli(cli: str, options: list[str], where: pathlib.Path) -> dict[str, str]:
    where.mkdir()
    subprocess.run([cli, *options, "-o", "o"], cwd=where, check=True)
    return digests(where)


# Items of each build's package: short frames of every name, then the varied draws, by position.
PYTHON_PROBE = """
import hashlib, sys, quorvin
h = hashlib.sha256()
for options in ({}, {'gmsk_bt': (0.2, 0.6), 'rolloff': (0.2, 0.5)}):
    ds = quorvin.Dataset(quorvin.Config('every', sample_rate=1e6, samples_per_file=1024, **options), 3, 11)
    samples, columns = ds.frames(list(range(len(ds)))[::-1])
    h.update(samples.tobytes())
    for key in sorted(columns):
        h.update(key.encode())
        h.update(repr(list(columns[key])).encode())
print(h.hexdigest())
"""


def python_digest(folder: str) -> str:
    env = dict(os.environ, PYTHONPATH=folder)
    return subprocess.run([sys.executable, "-c", PYTHON_PROBE], env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--old-python", help="folder holding the old build's quorvin package")
    parser.add_argument("--new-python", help="folder holding the new build's quorvin package")
    parser.add_argument("--quick", action="store_true", help="fewer seeds")
    args = parser.parse_args()
    old, new = os.path.abspath(args.old), os.path.abspath(args.new)
    differ = False
    with tempfile.TemporaryDirectory() as scratch:
        for i, options in enumerate(runs(args.quick)):
            a = run_cli(old, options, pathlib.Path(scratch) / f"old{i}")
            b = run_cli(new, options, pathlib.Path(scratch) / f"new{i}")
            bad = sorted(k for k in a.keys() | b.keys() if a.get(k) != b.get(k))
            print(" ".join(options), "->", f"same ({len(a)} files)" if not bad else f"DIFFER: {bad[:5]}", flush=True)
            differ |= bool(bad)
    if args.old_python and args.new_python:
        a, b = python_digest(args.old_python), python_digest(args.new_python)
        print("Dataset.frames ->", "same" if a == b else f"DIFFER: {a} {b}")
        differ |= a != b
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
