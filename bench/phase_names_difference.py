#!/usr/bin/python3
"""How far two builds' samples lie apart, name by name, in double precision: the largest
difference of any sample over the file's RMS, for every name of `-m every` over a few runs
(frames with the default draws and drift, drawn BT and index, every impairment stage, long files
of the peers' work for a few names). For a change meant to move some names by rounding alone: the other names
must print 0 and the moved ones a difference near the last place of a double.

    bench/phase_names_difference.py OLD_PYTHON_DIR NEW_PYTHON_DIR [--limit 1e-12]

Each *_PYTHON_DIR is a build's python folder (build/default/python, or a copy of the old one).
Prints one line per name; status 1 when a name differs by more than --limit of its RMS.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

RUNS = {
    "frames": dict(samples_per_file=1024, sample_rate=1e6),
    "drawn": dict(samples_per_file=1024, sample_rate=1e6, gmsk_bt=(0.2, 0.6), fsk_index=(0.5, 2)),
    "impairments": dict(sample_rate=200000, samples_per_file=400, symbol_rate=(1000, 5000), fading="rician",
                        fading_k=(2, 8), doppler=(0, 50), carrier_phase=True, phase_noise=(0, 10), clock_ppm=(-20, 20),
                        rf_frequency=1e6, iq_amplitude=(0, 1), iq_phase=(0, 3), dc_offset=(0, 0.05),
                        pa_backoff=(3, 6), adc_bits=(8, 12)),
    "long": dict(samples_per_file=200000, sample_rate=40000, symbol_rate=(10000, 10000), snr=(20, 20),
                 frequency_offset=(37, 37), timing_error=(0, 0), gmsk_bt=(0.3, 0.3)),
}
FILES = {"frames": 4, "drawn": 4, "impairments": 2, "long": 1}
# The long files' rate ratio of 4 leaves no room for the wider names.
NAMES = {"long": "QPSK,2FSK,2GFSK,MSK,GMSK,FM,AM"}

# Run in each build's interpreter: every item of every run, as complex128, into one .npz per run.
DUMP = """
import sys, numpy as np, quorvin
runs, files, names, out = eval(sys.argv[1]), eval(sys.argv[2]), eval(sys.argv[3]), sys.argv[4]
for run, options in runs.items():
    config = quorvin.Config(names.get(run, "every"), signal_model="exact", **options)
    ds = quorvin.Dataset(config, files[run], seed=7,
                         double_precision=True)
    items = {}
    for i in range(len(ds)):
        x, labels = ds[i]
        items[f"{labels['modulation']}|{i}"] = x
    np.savez(f"{out}/{run}.npz", **items)
"""


def dump(python_dir: str, out: pathlib.Path) -> None:
    out.mkdir()
    environment = dict(os.environ, PYTHONPATH=python_dir)
    subprocess.run([sys.executable, "-c", DUMP, repr(RUNS), repr(FILES), repr(NAMES), str(out)], env=environment, check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--limit", type=float, default=1e-12)
    arguments = parser.parse_args()
    worst: dict[str, float] = {}
    with tempfile.TemporaryDirectory() as scratch:
        old, new = pathlib.Path(scratch) / "old", pathlib.Path(scratch) / "new"
        dump(arguments.old, old)
        dump(arguments.new, new)
        for run in RUNS:
            a, b = np.load(old / f"{run}.npz"), np.load(new / f"{run}.npz")
            if sorted(a.files) != sorted(b.files):
                print(f"{run}: the builds made different items", file=sys.stderr)
                return 1
            for key in a.files:
                x, y = a[key], b[key]
                name = key.split("|")[0]
                if x.shape != y.shape:
                    worst[name] = float("inf")
                    continue
                rms = float(np.sqrt(np.mean(np.abs(x) ** 2))) if x.size else 0.0
                difference = float(np.max(np.abs(x - y))) if x.size else 0.0
                relative = difference / rms if rms > 0 else (0.0 if difference == 0 else float("inf"))
                worst[name] = max(worst.get(name, 0.0), relative)
    moved = {name: value for name, value in worst.items() if value > 0}
    for name, value in sorted(worst.items(), key=lambda item: -item[1]):
        print(f"{name}\t{value:.3g}")
    print(f"{len(moved)} of {len(worst)} names moved; the largest difference is {max(worst.values()):.3g} of a file's RMS")
    return 1 if any(value > arguments.limit for value in worst.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
