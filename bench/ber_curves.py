#!/usr/bin/python3
"""Bit error rates of exact-model files against Eb/N0, measured with the files' own symbol labels,
drawn over their theory: BPSK and QPSK Q(sqrt(2 Eb/N0)), 8PSK and QAM16 their nearest-neighbour
forms. The files are made by quorvin-cli with --snr-definition ebn0 and --save-symbols; a textbook
receiver (a root-raised-cosine matched filter sampled at the labelled instants, a nearest-point
decision on constellations written here, Gray labels written here) reads them. The points lying
on the lines prove the Eb/N0 labels and the symbols' labels at once.

Usage: bench/ber_curves.py [QUORVIN_CLI] [--png docs/ber_curves.png] [--files N]
       (default build/default/cli/quorvin-cli, 4 files of 65536 samples per point)
Prints each point (name, Eb/N0, BER, theory, errors); exit status 1 when a point with 100
errors or more lies further than 0.2 dB from theory."""

import argparse
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

SAMPLES = 65536
FS, RS, ROLLOFF, SPAN = 3_700_000.0, 1_000_000.0, 0.35, 16


def q(x):
    return 0.5 * math.erfc(x / math.sqrt(2.0))


def gray(s):
    return s ^ (s >> 1)


def constellation(name):
    """Unit-energy points s = 0 .. M - 1 and their Gray labels, as README lists them."""
    if name.endswith("PSK"):
        m = {"BPSK": 2, "QPSK": 4, "8PSK": 8}[name]
        return np.exp(2j * np.pi * np.arange(m) / m), np.array([gray(s) for s in range(m)])
    side, half = 4, 2  # QAM16
    s = np.arange(16)
    points = ((2 * (s % side) - 3) + 1j * (2 * (s // side) - 3)) / math.sqrt(10.0)
    return points, np.array([gray(c) << half | gray(r) for c, r in zip(s % side, s // side)])


def theory(name, ebn0_db):
    g = 10 ** (ebn0_db / 10)
    if name in ("BPSK", "QPSK"):
        return q(math.sqrt(2 * g))
    if name == "8PSK":
        return 2 / 3 * q(math.sqrt(2 * 3 * g) * math.sin(math.pi / 8))
    return 4 / 4 * (1 - 1 / 4) * q(math.sqrt(3 * 4 * g / 15))


def rrc(t):
    a = ROLLOFF
    t = np.asarray(t, dtype=float)
    out = np.empty_like(t)
    centre = np.abs(t) < 1e-9
    edge = np.abs(np.abs(t) - 1 / (4 * a)) < 1e-9
    rest = ~(centre | edge)
    tr = t[rest]
    out[rest] = (np.sin(np.pi * tr * (1 - a)) + 4 * a * tr * np.cos(np.pi * tr * (1 + a))) / (
        np.pi * tr * (1 - (4 * a * tr) ** 2))
    out[centre] = 1 - a + 4 * a / np.pi
    out[edge] = a / math.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * a)) + (1 - 2 / np.pi) * np.cos(np.pi / (4 * a)))
    return out


def errors_of(x, sent, name):
    """Bit errors and bits of one file: the matched filter at each labelled instant far enough
    inside the file, the nearest point, its Gray label against the labelled bits."""
    sps = FS / RS
    reach = SPAN / 2 * sps
    keep = sent[(sent["instant"] > reach) & (sent["instant"] < len(x) - 1 - reach)]
    offsets = np.arange(-math.ceil(reach), math.ceil(reach) + 1)
    k = np.floor(keep["instant"])[:, None].astype(np.int64) + offsets[None, :]
    weights = rrc((k - keep["instant"][:, None]) / sps)
    y = (x[k] * weights).sum(axis=1) / np.sqrt((weights ** 2).sum(axis=1) * sps)
    points, labels = constellation(name)
    decided = labels[np.argmin(np.abs(y[:, None] - points[None, :]), axis=1)]
    wrong = np.bitwise_xor(decided.astype(np.uint64), keep["bits"])
    errors = sum(bin(int(w)).count("1") for w in wrong[wrong != 0])
    return errors, len(keep) * int(math.log2(len(points)))


def measure(cli, name, ebn0_db, files, folder):
    subprocess.run([cli, "-m", name, "--signal-model", "exact", "--sample-rate", str(FS), "--symbol-rate-min", str(RS),
                    "--symbol-rate-max", str(RS), "--rolloff-min", str(ROLLOFF), "--rolloff-max", str(ROLLOFF),
                    "--filter-span", str(SPAN), "--frequency-offset-min", "0", "--frequency-offset-max", "0",
                    "--samples-per-file", str(SAMPLES), "--snr-definition", "ebn0",
                    "--snr-min", str(ebn0_db), "--snr-max", str(ebn0_db), "--files-per-modulation", str(files),
                    "--save-symbols", "--format", "sigmf", "--seed", "7", "--no-progress", "-q", "-o", folder], check=True)
    errors = bits = 0
    for i in range(1, files + 1):
        stem = os.path.join(folder, f"{name}_signal_{i}")
        x = np.fromfile(stem + ".sigmf-data", dtype="<c8").astype(np.complex128)
        e, b = errors_of(x, np.load(stem + ".symbols.npy"), name)
        errors, bits = errors + e, bits + b
    return errors, bits


def equivalent_db(name, ber):
    """The Eb/N0 at which theory gives `ber`, by bisection."""
    low, high = -5.0, 20.0
    for _ in range(60):
        mid = (low + high) / 2
        low, high = (mid, high) if theory(name, mid) > ber else (low, mid)
    return low


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="?", default="build/default/cli/quorvin-cli")
    parser.add_argument("--png", default="docs/ber_curves.png")
    parser.add_argument("--files", type=int, default=4)
    args = parser.parse_args()
    grid = {"BPSK": np.arange(0, 10.5, 1.0), "QPSK": np.arange(0, 10.5, 1.0), "8PSK": np.arange(2, 13.5, 1.0),
            "QAM16": np.arange(2, 13.5, 1.0)}
    measured = {}
    bad = 0
    with tempfile.TemporaryDirectory() as top:
        for name, values in grid.items():
            measured[name] = []
            for ebn0 in values:
                folder = os.path.join(top, f"{name}-{ebn0}")
                errors, bits = measure(args.cli, name, float(ebn0), args.files, folder)
                ber = errors / bits
                measured[name].append((ebn0, ber))
                off = equivalent_db(name, ber) - ebn0 if errors else float("nan")
                print(f"{name:6s} {ebn0:5.1f} dB  BER {ber:.3e}  theory {theory(name, ebn0):.3e}  "
                      f"errors {errors:6d}  {off:+.2f} dB")
                bad += errors >= 100 and abs(off) > 0.2
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 5))
    for name, points in measured.items():
        line = np.linspace(grid[name][0], grid[name][-1], 200)
        drawn = ax.semilogy(line, [theory(name, v) for v in line], label=f"{name} theory")[0]
        xs = [p[0] for p in points if p[1] > 0]
        ax.semilogy(xs, [p[1] for p in points if p[1] > 0], "o", color=drawn.get_color(), label=f"{name} measured")
    save_curves(fig, ax, "bit error rate", (1e-6, 0.5), "Quorvin exact model: measured BER with the files' symbol labels",
                args.png)
    return 1 if bad else 0


def label_axes(ax, rate_name, limits, title):
    """Labels, grid and legend of error rates over the labelled Eb/N0."""
    ax.set_xlabel("Eb/N0 (dB), as labelled (--snr-definition ebn0)")
    ax.set_ylabel(rate_name)
    ax.set_ylim(*limits)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    ax.set_title(title)


def save_figure(fig, png):
    fig.tight_layout()
    fig.savefig(png, dpi=110)
    print(f"wrote {png}")


def save_curves(fig, ax, rate_name, limits, title, png):
    """One panel's labels, then the figure written to `png`."""
    label_axes(ax, rate_name, limits, title)
    save_figure(fig, png)

if __name__ == "__main__":
    sys.exit(main())
