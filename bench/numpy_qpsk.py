#!/usr/bin/env python3
"""The QPSK reference batch as a Python user would write it with numpy: the same pipeline
(random symbols, QPSK points, linear resampling to the sample rate, linear timing drift,
frequency offset, white noise at the drawn SNR), vectorised, then np.savetxt with "%.6g".

Used by bench/run as the peer whose throughput Quorvin's is compared with; the draws differ
from Quorvin's, the amount of work per sample and the file format do not.
"""

import argparse
import os
import sys
import time

import numpy as np


def qpsk_file(rng, num_symbols, sample_rate):
    symbol_rate = rng.uniform(1000.0, 5000.0)
    snr_db = rng.uniform(10.0, 30.0)
    timing_error = rng.uniform(0.0, 0.1)
    frequency_offset = rng.uniform(0.0, 100.0)

    symbols = rng.integers(0, 4, num_symbols)
    points = np.exp(1j * (2.0 * np.pi / 4.0) * symbols)

    # One point per symbol to the sample rate, straight lines between symbols.
    ratio = sample_rate / symbol_rate
    length = int(np.floor(num_symbols * ratio + 0.5))
    grid = np.arange(num_symbols, dtype=float)
    position = np.arange(length) / ratio
    signal = np.interp(position, grid, points.real) + 1j * np.interp(position, grid, points.imag)

    # Sampling clock drifting to timing_error symbol periods over the file.
    index = np.arange(length)
    nominal = index / sample_rate
    actual = (index / length) * (timing_error / symbol_rate) + nominal
    signal = np.interp(actual, nominal, signal.real) + 1j * np.interp(actual, nominal, signal.imag)

    signal = signal * np.exp(1j * (2.0 * np.pi * frequency_offset) * nominal)

    power = np.mean(signal.real ** 2 + signal.imag ** 2)
    sigma = np.sqrt(power / 10.0 ** (snr_db / 10.0) * 0.5)
    signal = signal + sigma * (rng.standard_normal(length) + 1j * rng.standard_normal(length))
    return signal


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--num-symbols", type=int, default=100000)
    parser.add_argument("--sample-rate", type=float, default=10000.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-o", "--output-folder", required=True)
    args = parser.parse_args()

    os.makedirs(args.output_folder, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    samples = 0
    start = time.perf_counter()
    for index in range(1, args.files + 1):
        signal = qpsk_file(rng, args.num_symbols, args.sample_rate)
        path = os.path.join(args.output_folder, f"QPSK_signal_{index}.csv")
        np.savetxt(path, np.column_stack((signal.real, signal.imag)), fmt="%.6g", delimiter=",",
                   newline="\r\n")
        samples += len(signal)
    elapsed = time.perf_counter() - start
    print(f"{samples} samples in {elapsed:.3f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
