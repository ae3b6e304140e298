#!/usr/bin/python3
"""At -30 dB no signal can be seen in a 1024-sample frame, so a classifier that looks at what does
not depend on the signal's shape (the frame's power, how that power spreads over the frame, the
noise floor) must be at chance. This trains a small classifier (one hidden layer, numpy only) on
those statistics of exact-model frames of every name (Noise among them) written by quorvin-cli,
and prints its accuracy on frames of another seed beside chance and chance's sampling error.

Usage: bench/chance_at_low_snr.py [QUORVIN_CLI] [--files N] [--snr DB] [--names LIST]
       (default build/default/cli/quorvin-cli, 300 files per class, -30 dB, every name)
Exit status 0 when the accuracy is within three standard errors of chance, 1 otherwise."""

import argparse
import csv
import os
import subprocess
import sys
import tempfile

import numpy as np

FRAME = 1024


def frames(cli, names, folder, files, snr, seed):
    """The frames of one seeded run and their class numbers (positions in `names`)."""
    subprocess.run([cli, "-m", ",".join(names), "--signal-model", "exact", "--sample-rate", "100000",
                    "--samples-per-file", str(FRAME), "--files-per-modulation", str(files), "--snr-min", str(snr),
                    "--snr-max", str(snr), "--am-index-min", "0.2", "--seed", str(seed), "--format", "sigmf",
                    "--manifest", os.path.join(folder, "m.csv"), "--no-progress", "-q", "-o", folder], check=True)
    with open(os.path.join(folder, "m.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    x = np.stack([np.fromfile(os.path.join(folder, r["sample_file"]), dtype="<c8") for r in rows])
    return x, np.array([names.index(r["modulation"]) for r in rows])


def statistics(x):
    """Per frame: log power, the spread of the power over 16 blocks, its extremes, the median
    |x|^2 and the periodogram's median (the noise floor): nothing that needs the signal's shape."""
    p = np.abs(x.astype(np.complex128)) ** 2
    blocks = p.reshape(len(p), 16, -1).mean(axis=2)
    floor = np.median(np.abs(np.fft.fft(x, axis=1)) ** 2, axis=1) / FRAME
    columns = [p.mean(1), blocks.std(1), blocks.min(1), blocks.max(1), np.median(p, 1), floor]
    return np.log(np.stack(columns, axis=1))


def train(features, labels, classes, epochs=400, hidden=32, rate=0.05, seed=0):
    """A one-hidden-layer network by full-batch gradient descent on the cross entropy."""
    rng = np.random.default_rng(seed)
    w1 = rng.normal(0, 1 / np.sqrt(features.shape[1]), (features.shape[1], hidden))
    b1 = np.zeros(hidden)
    w2 = rng.normal(0, 1 / np.sqrt(hidden), (hidden, classes))
    b2 = np.zeros(classes)
    target = np.eye(classes)[labels]
    for _ in range(epochs):
        h = np.tanh(features @ w1 + b1)
        z = h @ w2 + b2
        z -= z.max(axis=1, keepdims=True)
        q = np.exp(z)
        q /= q.sum(axis=1, keepdims=True)
        dz = (q - target) / len(labels)
        dh = (dz @ w2.T) * (1 - h ** 2)
        w2 -= rate * h.T @ dz
        b2 -= rate * dz.sum(0)
        w1 -= rate * features.T @ dh
        b1 -= rate * dh.sum(0)
    return lambda f: np.argmax(np.tanh(f @ w1 + b1) @ w2 + b2, axis=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="?", default="build/default/cli/quorvin-cli")
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--snr", type=float, default=-30.0)
    parser.add_argument("--names", default="every", help="what -m takes (default every name)")
    arguments = parser.parse_args()
    # The names in the run's order, as --list-modulations gives them (name, tab, group, and for a
    # name that can be another's signal, a note saying whether every holds it).
    listed = subprocess.run([arguments.cli, "--list-modulations"], check=True, capture_output=True, text=True).stdout
    asked = arguments.names.split(",")
    rows = [line.split("\t") for line in listed.splitlines()]
    names = [row[0] for row in rows if row[0] in asked or
             (("every" in asked or row[1] in asked) and not any("not in every" in note for note in row[2:]))]
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "train"))
        os.mkdir(os.path.join(work, "test"))
        x_train, y_train = frames(arguments.cli, names, os.path.join(work, "train"), arguments.files, arguments.snr, 1)
        x_test, y_test = frames(arguments.cli, names, os.path.join(work, "test"), arguments.files, arguments.snr, 2)
    f_train, f_test = statistics(x_train), statistics(x_test)
    mean, deviation = f_train.mean(0), f_train.std(0)
    classify = train((f_train - mean) / deviation, y_train, len(names))
    accuracy = float(np.mean(classify((f_test - mean) / deviation) == y_test))
    chance = 1 / len(names)
    error = np.sqrt(chance * (1 - chance) / len(y_test))
    print(f"{len(names)} classes, {len(y_test)} test frames of {FRAME} samples at {arguments.snr:g} dB")
    print(f"accuracy {accuracy:.4f}, chance {chance:.4f} +- {error:.4f} (one standard error)")
    return 0 if abs(accuracy - chance) <= 3 * error else 1


if __name__ == "__main__":
    sys.exit(main())
