#!/usr/bin/python3
"""Frames per second of quorvin.Dataset (exact QPSK, 1024 samples, noise) beside the same frames
built in numpy one by one, frames with their transmitted symbols beside frames without (one item
at a time and in batches of 256, alternated in the same run; with them at least 80 % of the rate
without), a DataLoader with 1 and 2 workers, and the peak memory while reading 10^6 items (it must
stay flat: the plan keeps a cursor every few files, not every file). First, a stream of every one of
the exact model's 67 names (`every` and AM-SSB, 1024 samples at 1 MHz, the default draws)
beside QPSK alone on the same settings, one item at a time and in batches of 256 (target: 10,000
frames per CPU second for the 67 names).

Usage: PYTHONPATH=build/default/python bench/python_dataset.py [--frames N] [--memory-items N] [--every-only]
(--memory-items 0 skips the memory figure; --every-only stops after the 67-name stream)
"""

import argparse
import resource
import time

import numpy as np

import quorvin


def numpy_frame(rng, taps, length=1024, sps=4, snr_db=10.0):
    # The same work per frame: symbols, RRC shaping by convolution, a frequency offset, noise.
    symbols = (rng.integers(0, 4, length // sps + len(taps)) * (np.pi / 2))
    upsampled = np.zeros(len(symbols) * sps, dtype=np.complex128)
    upsampled[::sps] = np.exp(1j * symbols)
    shaped = np.convolve(upsampled, taps)[len(taps):len(taps) + length]
    shaped *= np.exp(2j * np.pi * 0.001 * np.arange(length))
    sigma = np.sqrt(np.mean(np.abs(shaped) ** 2) * 10 ** (-snr_db / 10) / 2)
    noisy = shaped + sigma * (rng.standard_normal(length) + 1j * rng.standard_normal(length))
    return noisy.astype(np.complex64)


def rate(make, frames):
    start = time.process_time()
    for i in range(frames):
        make(i)
    return frames / (time.process_time() - start)


def batch_rate(ds, frames, symbols, size=256):
    start = time.process_time()
    for first in range(0, frames, size):
        ds.frames(range(first, min(frames, first + size)), symbols=symbols)
    return frames / (time.process_time() - start)


def symbols_beside_none(ds, frames, rounds=3):
    """The best of `rounds` alternated runs of each way, with symbols and without."""
    ways = {"items": (lambda: rate(lambda i: ds[i], frames), lambda: rate(lambda i: (ds[i], ds.symbols(i)), frames)),
            "batches of 256": (lambda: batch_rate(ds, frames, False), lambda: batch_rate(ds, frames, True))}
    for way, runs in ways.items():
        best = [0.0, 0.0]
        for _ in range(rounds):
            for k, run in enumerate(runs):
                best[k] = max(best[k], run())
        print(f"| Dataset {way}, frames per CPU second without symbols and with | {best[0]:,.0f} and {best[1]:,.0f} "
              f"({best[1] / best[0]:.0%}; target >= 80 %) |")


def every_stream(frames):
    """Frames per CPU second of all 67 names in turn against QPSK alone, the fastest of 3 runs each."""
    options = dict(signal_model="exact", sample_rate=1e6, samples_per_file=1024)
    every = quorvin.Dataset(quorvin.Config("every,AM-SSB", **options), files_per_modulation=max(1, frames // 67), seed=1)
    qpsk = quorvin.Dataset(quorvin.Config("QPSK", **options), files_per_modulation=len(every), seed=1)
    for label, ds in ((f"{len(every.names)} names in turn", every), ("QPSK alone", qpsk)):
        items = max(rate(lambda i: ds[i], len(ds)) for _ in range(3))
        batches = max(batch_rate(ds, len(ds), False) for _ in range(3))
        print(f"| {label}, 1024 samples at 1 MHz: frames per CPU second, items and batches of 256 | {items:,.0f} and "
              f"{batches:,.0f} |", flush=True)


def peak_memory(config, items):
    def peak_mib():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    ds = quorvin.Dataset(config, files_per_modulation=items, seed=2)
    early = 0.0
    for i in range(items):
        ds[i]
        if i == items // 100:
            early = peak_mib()
    print(f"| peak memory after {items // 100 + 1:,} and {items:,} items, MiB | {early:.0f} and {peak_mib():.0f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--memory-items", type=int, default=1_000_000)
    parser.add_argument("--every-only", action="store_true")
    arguments = parser.parse_args()
    frames = arguments.frames
    every_stream(frames)
    if arguments.every_only:
        return
    config = quorvin.Config(["QPSK"], signal_model="exact", sample_rate=40000.0, symbol_rate=(10000, 10000),
                            samples_per_file=1024, snr=(10, 10))
    ds = quorvin.Dataset(config, files_per_modulation=frames, seed=1)
    t = np.arange(-40, 41) / 4.0
    taps = np.sinc(t) * np.hanning(len(t))
    rng = np.random.default_rng(1)
    ours = rate(lambda i: ds[i], frames)
    peer = rate(lambda i: numpy_frame(rng, taps), frames)
    print(f"| quorvin.Dataset, frames per CPU second | {ours:,.0f} |")
    print(f"| numpy per frame, frames per CPU second | {peer:,.0f} |")
    print(f"| ratio | {ours / peer:.2f} x |")
    symbols_beside_none(ds, frames)
    if arguments.memory_items:
        peak_memory(config, arguments.memory_items)
    try:
        import torch
        from quorvin.torch import TorchDataset
    except ImportError:
        return
    for workers in (1, 2):
        loader = torch.utils.data.DataLoader(TorchDataset(ds), batch_size=256, num_workers=workers)
        start = time.perf_counter()
        count = sum(len(y) for _, y in loader)
        print(f"| DataLoader, {workers} worker(s), frames per second | {count / (time.perf_counter() - start):,.0f} |")


if __name__ == "__main__":
    main()
