#!/usr/bin/python3
"""Files per second of quorvin.distributed on a local Dask cluster of 1 and of 2 worker processes,
beside quorvin-cli -j 1 on the same batch, as one Markdown table: the 2-worker speed-up (target
>= 1.7) and the 1-worker run's cost per file over the command line's own (target under 5 %).

The batch is bench/parallel_scaling.sh's: exact QPSK, RRC roll-off 0.35 over 10 symbols, fs/Rs 4,
a 37 Hz offset, 20 dB of noise, FILES files of 2,000,000 samples as SigMF under $TMPDIR, each
flushed to the disk before it is renamed (with --format csv the same as text, which the CPU
rather than the disk bounds). The clusters are started before the clock (a cluster serves many
runs); a run is timed from its first shard submitted to its manifest merged. The
three runs alternate within each repetition and the fastest of each counts, as load from other
processes only ever adds time; the load average is printed too.

Usage: PYTHONPATH=build/default/python bench/distributed_scaling.py [--quick] [--files N]
       [--repeats N] [--cli build/default/cli/quorvin-cli]
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

import distributed

import quorvin
import quorvin.distributed

OPTIONS = {"signal_model": "exact", "sample_rate": 40000, "symbol_rate": (10000, 10000), "rolloff": (0.35, 0.35),
           "filter_span": 10, "frequency_offset": (37, 37), "snr": (20, 20), "timing_error": (0, 0)}
CLI_OPTIONS = ["--signal-model", "exact", "--sample-rate", "40000", "--symbol-rate-min", "10000", "--symbol-rate-max",
               "10000", "--rolloff-min", "0.35", "--rolloff-max", "0.35", "--filter-span", "10",
               "--frequency-offset-min", "37", "--frequency-offset-max", "37", "--snr-min", "20", "--snr-max", "20",
               "--timing-error-min", "0", "--timing-error-max", "0"]


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["sync"], check=True)


def timed_cli(cli, files, samples, folder, format):
    fresh(folder)
    start = time.perf_counter()
    subprocess.run([cli, "-m", "QPSK", *CLI_OPTIONS, "--files-per-modulation", str(files), "--samples-per-file",
                    str(samples), "--seed", "1", "--format", format, "-j", "1", "-q", "--manifest",
                    os.path.join(folder, "manifest.csv"), "-o", folder], check=True)
    return time.perf_counter() - start


def timed_cluster(client, files, samples, folder, format):
    fresh(folder)
    config = quorvin.Config("QPSK", samples_per_file=samples, **OPTIONS)
    start = time.perf_counter()
    quorvin.distributed.generate(config, files, 1, folder, client, format=format)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one repetition of 200,000-sample files (a smoke test)")
    parser.add_argument("--files", type=int, default=8, help="files in the batch (default 8)")
    parser.add_argument("--format", default="sigmf", choices=["csv", "sigmf", "hdf5"],
                        help="sigmf (default: bound by the disk's flush where the disk is slow) or csv (by the CPU)")
    parser.add_argument("--repeats", type=int, default=3, help="repetitions; the fastest counts (default 3)")
    parser.add_argument("--cli", default=os.path.join(os.path.dirname(__file__), "..", "build", "default", "cli",
                                                      "quorvin-cli"))
    arguments = parser.parse_args()
    samples, repeats = (200000, 1) if arguments.quick else (2000000, arguments.repeats)
    work = tempfile.mkdtemp(prefix="quorvin-distributed.", dir=os.environ.get("TMPDIR"))
    clusters = {workers: distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                  dashboard_address=":0") for workers in (1, 2)}
    clients = {workers: distributed.Client(cluster) for workers, cluster in clusters.items()}
    best = {"cli": float("inf"), 1: float("inf"), 2: float("inf")}
    try:
        for _ in range(repeats):
            best["cli"] = min(best["cli"], timed_cli(arguments.cli, arguments.files, samples, os.path.join(work, "o"),
                                                arguments.format))
            for workers, client in clients.items():
                best[workers] = min(best[workers], timed_cluster(client, arguments.files, samples,
                                                                 os.path.join(work, "o"), arguments.format))
    finally:
        for client in clients.values():
            client.close()
        for cluster in clusters.values():
            cluster.close()
        shutil.rmtree(work, ignore_errors=True)
    files = arguments.files
    print(f"{files} files of {samples:,} samples (exact QPSK, {arguments.format}), fastest of {repeats}; "
          f"load average {os.getloadavg()[0]:.2f}\n")
    print("| run | seconds | files/s | |")
    print("|---|---|---|---|")
    print(f"| quorvin-cli -j 1 | {best['cli']:.3f} | {files / best['cli']:.2f} | |")
    overhead = (best[1] / best["cli"] - 1) * 100
    print(f"| quorvin.distributed, 1 worker | {best[1]:.3f} | {files / best[1]:.2f} | "
          f"{overhead:+.1f} % per file over quorvin-cli (target < 5 %) |")
    print(f"| quorvin.distributed, 2 workers | {best[2]:.3f} | {files / best[2]:.2f} | "
          f"{best[1] / best[2]:.2f}x 1 worker (target >= 1.7) |")


if __name__ == "__main__":
    main()
