#!/usr/bin/python3
"""Packet error rates of the standards' files against Eb/N0, measured with the files' own labels,
drawn over their theory. quorvin-cli writes each name with --snr-definition ebn0 and
--save-symbols, no carrier offset; a textbook receiver written here reads every labelled bit at its
labelled instant (timing known, as the theory assumes) with a hard decision and no error
correction, and a packet is in error when any of its bits is:

  ADS-B   noncoherent pulse-position: the energy of each bit's two half-bit chips (each summed over
          its samples, a filter matched to the 0.5 us pulse), the larger one the bit. Orthogonal
          signals detected noncoherently: bit error 1/2 exp(-Eb/2N0), Eb the pulse's energy. A
          packet is the squitter's 112 bits (the preamble found, as timing is known).
  POCSAG  noncoherent 2FSK: each bit's samples correlated with the two tones (+-4.5 kHz), the
          larger magnitude the bit (the lower tone a 1). The tones are orthogonal to within a few
          per cent at these rates (cross-correlation sin(pi h)/(pi h), h = 9 kHz over the bit
          rate), so 1/2 exp(-Eb/2N0). A packet is the transmission after its preamble: every batch,
          its sync codeword included (544 bits a batch).

The packet error rate of n independent bits, each wrong with probability p: 1 - (1 - p)^n, averaged
over the packets measured (a POCSAG transmission holds one or more batches). The receivers' sums
are matched to a rectangular half bit (ADS-B) or to a whole bit of whole samples (POCSAG), so they
gather a little less than the bit's energy: that share, measured on noise-free files of the same
name (the sent bit's sum squared over its samples times the bit's energy), moves each theory line
(solid); the dotted lines are the ideal receiver's. Each standard is a row
of STANDARDS: a name, the options its files take, its receiver, how its bits group into packets,
its bit error rate's formula and its Eb/N0 grid; another standard adds a row.

Usage: bench/per_curves.py [QUORVIN_CLI] [--png docs/per_curves.png] [--names ADS-B,POCSAG-1200]
Prints each point (name, Eb/N0, PER, theory, packets); exit status 1 when a point with 30 packet
errors or more lies further than 0.5 dB from theory."""

import argparse
import dataclasses
import json
import math
import os
import subprocess
import sys
import tempfile
from typing import Callable

import numpy as np

from ber_curves import save_curves  # noqa: E402  (bench/ is the script's own folder)


def noncoherent_orthogonal(ebn0_db):
    """Bit error rate of binary orthogonal signals detected noncoherently."""
    return 0.5 * math.exp(-0.5 * 10 ** (ebn0_db / 10))


@dataclasses.dataclass
class File:
    x: np.ndarray  # complex samples
    fs: float
    symbols: np.ndarray  # the --save-symbols records
    labels: dict


# A receiver gives, for each labelled bit, the magnitudes of its two matched sums (a 1's, a 0's)
# and the samples each sums: a 1 where the first is the larger.

def adsb_sums(f: File):
    """Each bit's two half-bit chips, each summed over its samples (a pulse first is a 1)."""
    half = f.fs / 1e6 / 2
    width = int(round(half))
    t = f.symbols["instant"]
    first = np.ceil(t - half).astype(np.int64)[:, None] + np.arange(width)[None, :]
    second = np.ceil(t).astype(np.int64)[:, None] + np.arange(width)[None, :]
    return np.abs(f.x[first].sum(axis=1)), np.abs(f.x[second].sum(axis=1)), width


def pocsag_sums(f: File):
    """Each bit's samples correlated with the two tones (the lower one a 1)."""
    spb = f.fs / f.labels["realised_symbol_rate"]
    width = int(math.floor(spb))
    t = f.symbols["instant"]
    k = np.ceil(t - spb / 2).astype(np.int64)[:, None] + np.arange(width)[None, :]
    seconds = (k - t[:, None]) / f.fs
    y = f.x[k] * np.exp(-2j * np.pi * f.labels["total_carrier_offset"] * seconds)
    lower = np.abs((y * np.exp(2j * np.pi * 4500.0 * seconds)).sum(axis=1))
    upper = np.abs((y * np.exp(-2j * np.pi * 4500.0 * seconds)).sum(axis=1))
    return lower, upper, width


def frames_of(f: File) -> list:
    """The labelled symbols' positions, frame by frame (by the frames' first and last instants)."""
    t = f.symbols["instant"]
    return [np.flatnonzero((t >= a) & (t <= b)) for a, b in zip(f.labels["frame_starts"], f.labels["frame_ends"])]


def adsb_packets(f: File) -> list:
    return [p for p in frames_of(f) if len(p) == 112]


def pocsag_packets(f: File) -> list:
    return [p[576:] for p in frames_of(f)]


@dataclasses.dataclass
class Standard:
    name: str  # the curve's name
    modulation: str  # the catalogue name
    options: list
    receiver: Callable[[File], tuple]
    packets: Callable[[File], list]
    bit_error: Callable[[float], float]
    grid: np.ndarray  # Eb/N0, dB
    files: int = 1


def pocsag(rate_index, rate):
    return Standard(f"POCSAG-{rate}", "POCSAG",
                    ["--pocsag-bit-rate-min", str(rate_index), "--pocsag-bit-rate-max", str(rate_index),
                     "--num-symbols", "120000"],
                    pocsag_sums, pocsag_packets, noncoherent_orthogonal, np.arange(9.0, 15.5, 1.0), files=4)


STANDARDS = [
    Standard("ADS-B", "ADS-B", ["--num-symbols", "200000"], adsb_sums, adsb_packets, noncoherent_orthogonal,
             np.arange(7.0, 14.5, 1.0)),
    pocsag(1, 1200),
    pocsag(2, 2400),
]


def files(cli, s: Standard, ebn0_db, folder):
    """The files of one point; ebn0_db None for noise-free ones."""
    snr = "inf" if ebn0_db is None else str(ebn0_db)
    subprocess.run([cli, "-m", s.modulation, "--signal-model", "exact", "--frequency-offset-min", "0",
                    "--frequency-offset-max", "0", "--snr-definition", "ebn0", "--snr-min", snr, "--snr-max", snr,
                    "--files-per-modulation", str(s.files), "--save-symbols", "--format", "sigmf", "--seed", "7",
                    "--no-progress", "-q", "-o", folder] + s.options, check=True)
    for i in range(1, s.files + 1):
        stem = os.path.join(folder, f"{s.modulation}_signal_{i}")
        with open(stem + ".sigmf-meta") as meta_file:
            meta = json.load(meta_file)["global"]
        yield File(np.fromfile(stem + ".sigmf-data", dtype="<c8").astype(np.complex128), meta["core:sample_rate"],
                   np.load(stem + ".symbols.npy"), {k.removeprefix("quorvin:"): v for k, v in meta.items()})


def efficiency(cli, s: Standard, folder):
    """The share of a bit's energy the receiver's sums gather, from noise-free files: the mean
    squared magnitude of the sent bit's sum over (its samples x the bit's energy, fs/Rb at unit
    power), which multiplies Eb/N0 at the decision. 1 for a filter matched to the whole bit."""
    gathered = []
    for f in files(cli, s, None, folder):
        one, zero, width = s.receiver(f)
        sent = np.where(f.symbols["bits"] == 1, one, zero)
        gathered.append(np.mean(sent ** 2) / (width * f.fs / f.labels["realised_symbol_rate"]))
    return float(np.mean(gathered))


def measure(cli, s: Standard, ebn0_db, folder):
    """Packet errors and every packet's size in bits."""
    errors = 0
    sizes = []
    for f in files(cli, s, ebn0_db, folder):
        one, zero, _ = s.receiver(f)
        wrong = (one > zero).astype(np.uint64) != f.symbols["bits"]
        for packet in s.packets(f):
            errors += bool(wrong[packet].any())
            sizes.append(len(packet))
    return errors, np.array(sizes)


def theory(s: Standard, sizes, ebn0_db, gathered=1.0):
    """The packet error rate expected of packets of these sizes, the receiver gathering that share
    of each bit's energy."""
    return float(np.mean(1 - (1 - s.bit_error(ebn0_db + 10 * math.log10(gathered))) ** sizes))


def equivalent_db(per, expected_at):
    """The Eb/N0 at which `expected_at` gives `per`, by bisection."""
    low, high = -5.0, 25.0
    for _ in range(60):
        mid = (low + high) / 2
        low, high = (mid, high) if expected_at(mid) > per else (low, mid)
    return low


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="?", default="build/default/cli/quorvin-cli")
    parser.add_argument("--png", default="docs/per_curves.png")
    parser.add_argument("--names", help="comma-separated curve names (default: every row)")
    args = parser.parse_args()
    rows = [s for s in STANDARDS if not args.names or s.name in args.names.split(",")]
    measured = {}
    bad = 0
    with tempfile.TemporaryDirectory() as top:
        for s in rows:
            gathered = efficiency(args.cli, s, os.path.join(top, f"{s.name}-clean"))
            print(f"{s.name}: the receiver gathers {10 * math.log10(gathered):+.2f} dB of each bit's energy")
            measured[s.name] = []
            for ebn0 in s.grid:
                folder = os.path.join(top, f"{s.name}-{ebn0}")
                errors, sizes = measure(args.cli, s, float(ebn0), folder)
                per = errors / len(sizes)
                expected = theory(s, sizes, ebn0, gathered)
                measured[s.name].append((ebn0, per, expected, theory(s, sizes, ebn0)))
                usable = 0 < errors < len(sizes)
                off = equivalent_db(per, lambda v: theory(s, sizes, v, gathered)) - ebn0 if usable else float("nan")
                print(f"{s.name:12s} {ebn0:5.1f} dB  PER {per:.3e}  theory {expected:.3e}  "
                      f"errors {errors:5d} of {len(sizes):5d}  {off:+.2f} dB", flush=True)
                bad += usable and errors >= 30 and abs(off) > 0.5
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 5))
    for s, marker in zip(rows, "osd^vp*"):
        points = measured[s.name]
        drawn = ax.semilogy([p[0] for p in points], [p[2] for p in points], "-", label=f"{s.name} theory")[0]
        ax.semilogy([p[0] for p in points], [p[3] for p in points], ":", color=drawn.get_color())
        xs = [p[0] for p in points if p[1] > 0]
        ax.semilogy(xs, [p[1] for p in points if p[1] > 0], marker, color=drawn.get_color(), label=f"{s.name} measured")
    save_curves(fig, ax, "packet error rate", (1e-3, 1.1),
                "Standards: packet error rate, noncoherent receivers, no error correction", args.png)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
