#!/usr/bin/python3
"""Frames per second read back from a written run through a DataLoader (batch 256, shuffled,
0 and 2 workers, 1024-sample frames) beside making the same frames on the fly, and beside a plain
h5py read of the container's rows (one slice of 256 consecutive rows, and 256 shuffled rows).

The run is written once into a temporary folder: an uncompressed container, a deflated one and
a SigMF folder of the same items. Rates are wall-clock (workers run beside the main process).

Usage: PYTHONPATH=build/default/python bench/read_dataset.py [--frames N] [--batches N]
"""

import argparse
import os
import tempfile
import time

import h5py
import numpy as np
import torch

import quorvin
from quorvin.torch import FileDataset, TorchDataset

BATCH = 256


def loader_rate(dataset, workers, batches):
    """Frames a second of a shuffled DataLoader over `dataset`, after one warm-up batch."""
    loader = torch.utils.data.DataLoader(dataset, batch_size=BATCH, shuffle=True, num_workers=workers,
                                         generator=torch.Generator().manual_seed(1))
    it = iter(loader)
    next(it)
    start, frames = time.perf_counter(), 0
    for _, (x, _) in zip(range(batches), it):
        frames += len(x)
    return frames / (time.perf_counter() - start)


def h5py_rate(path, batches, shuffled):
    """Frames a second of plain h5py reads of BATCH rows: a slice, or sorted shuffled rows."""
    rng = np.random.default_rng(1)
    with h5py.File(path, "r") as file:
        iq = file["iq"]
        start, frames = time.perf_counter(), 0
        for _ in range(batches):
            if shuffled:
                rows = np.sort(rng.choice(len(iq), BATCH, replace=False))
                block = iq[rows]
            else:
                first = int(rng.integers(0, len(iq) - BATCH))
                block = iq[first:first + BATCH]
            frames += len(block)
        return frames / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2048, help="frames per name (8 names)")
    parser.add_argument("--batches", type=int, default=24, help="batches timed per figure")
    args = parser.parse_args()
    names = ["BPSK", "QPSK", "8PSK", "QAM16", "QAM64", "GMSK", "2FSK", "AM"]
    config = quorvin.Config(names, samples_per_file=1024, sample_rate=1e6)
    ds = quorvin.Dataset(config, files_per_modulation=args.frames, seed=1)
    with tempfile.TemporaryDirectory() as folder:
        plain, deflated, sigmf = (os.path.join(folder, name) for name in ("plain", "deflated", "sigmf"))
        ds.write(plain, "hdf5", jobs=2)
        ds.write(deflated, "hdf5", compress=True, jobs=2)
        ds.write(sigmf, "sigmf", manifest=os.path.join(sigmf, "manifest.csv"), jobs=2)
        size = os.path.getsize(os.path.join(plain, "dataset.h5"))
        print(f"{len(ds)} frames of 1024 samples; container {size / 2**20:.0f} MiB, deflated "
              f"{os.path.getsize(os.path.join(deflated, 'dataset.h5')) / 2**20:.0f} MiB")
        print(f"{'source':<36} {'0 workers':>12} {'2 workers':>12}   (frames/s, batch {BATCH}, shuffled)")
        sources = [("made on the fly (TorchDataset)", lambda: TorchDataset(ds)),
                   ("container (FileDataset)", lambda: FileDataset(plain)),
                   ("deflated container (FileDataset)", lambda: FileDataset(deflated)),
                   ("SigMF folder (FileDataset)", lambda: FileDataset(os.path.join(sigmf, "manifest.csv")))]
        for label, make in sources:
            rates = [loader_rate(make(), workers, args.batches) for workers in (0, 2)]
            print(f"{label:<36} {rates[0]:>12,.0f} {rates[1]:>12,.0f}")
        for label, shuffled in (("h5py, 256 consecutive rows", False), ("h5py, 256 shuffled rows", True)):
            print(f"{label:<36} {h5py_rate(os.path.join(plain, 'dataset.h5'), args.batches, shuffled):>12,.0f}")


if __name__ == "__main__":
    main()
