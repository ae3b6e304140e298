#!/usr/bin/python3
"""Scene items per CPU second of quorvin.Dataset (1,000,000-sample captures of 5 emitters at
20 MHz), beside the same names made as 5 single 1,000,000-sample files, in one run. Prints one
Markdown table.

Usage: PYTHONPATH=build/default/python bench/python_scenes.py [--items N]
"""

import argparse
import time

import quorvin

MIXES = {
    "linear and keyed": ["QPSK", "QAM16", "8PSK", "GMSK", "2FSK"],
    "with analog": ["QPSK", "QAM16", "AM", "FM", "CW"],
}


def per_cpu_second(dataset, items):
    start = time.process_time()
    for i in range(items):
        dataset[i % len(dataset)]
    return items / (time.process_time() - start)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--items", type=int, default=40)
    items = parser.parse_args().items
    common = dict(sample_rate=20e6, samples_per_file=1_000_000, samples_per_symbol=(8, 64))
    print("| mix | scene items per CPU second | the 5 single files as items per CPU second | target |")
    print("|---|---|---|---|")
    for label, names in MIXES.items():
        scenes = quorvin.Dataset(quorvin.Config(names, scene="wideband", emitters=(5, 5), **common),
                                 files_per_modulation=items, seed=1)
        singles = quorvin.Dataset(quorvin.Config(names, **common), files_per_modulation=items, seed=1)
        scene_rate = per_cpu_second(scenes, items)
        # One scene's worth of single files is 5 items.
        single_rate = per_cpu_second(singles, 5 * items) / 5.0
        print(f"| {label} ({', '.join(names)}) | {scene_rate:.1f} | {single_rate:.1f} | >= 20 |")


if __name__ == "__main__":
    main()
