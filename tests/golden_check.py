#!/usr/bin/python3
"""Both signal models' outputs are promises to stored datasets: seeded quorvin-cli runs over every
name must give the same bytes, file for file and report line for report line, as the recorded
corpus of that model (SHA-256 of each output and of each run's standard output).

Usage: golden_check.py QUORVIN_CLI MODEL CORPUS            compare with the recorded corpus
       golden_check.py QUORVIN_CLI MODEL CORPUS --record   record it anew (only for a deliberate change)
MODEL: classic (the desktop program's waveforms) or exact."""

import hashlib
import os
import subprocess
import sys
import tempfile

NAMES = "all,CW,QAM1024"
# Each run: a folder of its own, its arguments, and the exit status it must end with. Every run
# names its model, so a change of the default moves no corpus.
CLASSIC = ["--signal-model", "classic"]
# The exact runs give the symbol-rate range (the form's default) that they were recorded with:
# without it the exact model draws samples per symbol.
EXACT = ["--signal-model", "exact", "--symbol-rate-min", "1000", "--symbol-rate-max", "5000"]
RUNS = {
    "classic": [
        ("csv", [*CLASSIC, "-m", NAMES, "--files-per-modulation", "3", "--num-symbols", "400", "--save-settings",
                 "--seed", "11", "--timing-error-min", "-0.2", "--frequency-offset-min", "-300",
                 "--mix-frequency", "1250", "-j", "2"], 0),
        ("sigmf", [*CLASSIC, "-m", NAMES, "--files-per-modulation", "2", "--num-symbols", "300", "--save-settings",
                   "--seed", "12", "--format", "sigmf", "--manifest", "sigmf/manifest.csv", "-j", "2"], 0),
        ("shard", [*CLASSIC, "-m", NAMES, "--files-per-modulation", "3", "--num-symbols", "200", "--seed", "13",
                   "--shard", "1/3", "--snr-min", "inf", "--snr-max", "inf", "--manifest", "shard/manifest.csv"], 0),
        # OQPSK below two samples per symbol and a signal over the size ceiling fail; the rest is written.
        ("failures", [*CLASSIC, "-m", "OQPSK,QPSK,2FSK,AM", "--symbol-rate-min", "6000", "--symbol-rate-max", "9000",
                      "--files-per-modulation", "2", "--num-symbols", "2147483647", "--seed", "14",
                      "--manifest", "failures/manifest.csv"], 1),
        ("failures-small", [*CLASSIC, "-m", "OQPSK,QPSK,2FSK,AM", "--symbol-rate-min", "6000",
                            "--symbol-rate-max", "9000", "--files-per-modulation", "2", "--num-symbols", "50",
                            "--seed", "14", "--save-settings"], 1),
    ],
    "exact": [
        # Every name in fixed-length frames.
        ("frames", [*EXACT, "-m", NAMES, "--sample-rate", "100000", "--samples-per-file", "512",
                    "--files-per-modulation", "2", "--seed", "21", "--format", "sigmf",
                    "--manifest", "frames/manifest.csv", "-j", "2"], 0),
        # Every impairment stage on.
        ("impairments", [*EXACT, "-m", NAMES, "--sample-rate", "200000", "--samples-per-file", "400", "--seed", "22",
                         "--fading", "rician", "--fading-k-min", "2", "--fading-k-max", "8", "--doppler-max", "50",
                         "--carrier-phase", "--phase-noise-max", "10", "--clock-ppm-min", "-20", "--clock-ppm-max", "20",
                         "--rf-frequency", "1e6", "--iq-amplitude-max", "1", "--iq-phase-max", "3",
                         "--dc-offset-max", "0.05", "--pa-backoff-min", "3", "--pa-backoff-max", "6",
                         "--adc-bits-min", "8", "--adc-bits-max", "12", "--save-settings",
                         "--manifest", "impairments/manifest.csv", "-j", "2"], 0),
        # Drawn roll-off, FSK index, GMSK BT and AM index, a fixed sideband, SNR as Es/N0.
        ("drawn", [*EXACT, "-m", NAMES, "--sample-rate", "200000", "--samples-per-file", "300", "--seed", "23",
                   "--rolloff-min", "0.2", "--rolloff-max", "0.5", "--fsk-index-min", "0.5", "--fsk-index-max", "1.5",
                   "--gmsk-bt-min", "0.25", "--gmsk-bt-max", "0.5", "--sideband", "upper", "--am-index-min", "0.3",
                   "--am-index-max", "0.9", "--snr-definition", "esn0", "--format", "sigmf",
                   "--manifest", "drawn/manifest.csv"], 0),
        # Symbol counts with drift, offsets, a mixing frequency and drawn analog carriers, with settings files.
        ("symbols", [*EXACT, "-m", NAMES, "--sample-rate", "100000", "--num-symbols", "60",
                     "--files-per-modulation", "2", "--seed", "25", "--timing-error-min", "-0.3",
                     "--frequency-offset-min", "-300", "--mix-frequency", "1250", "--analog-fc-min", "500",
                     "--analog-fc-max", "3000", "--am-index-min", "0.3", "--save-settings"], 0),
        # Lengths from symbol counts, the rect pulse, Rayleigh taps, one shard.
        ("lengths", [*EXACT, "-m", "QPSK,GMSK,AM,8FSK", "--sample-rate", "100000", "--num-symbols", "120",
                     "--files-per-modulation", "3", "--seed", "24", "--shard", "1/2", "--fading", "rayleigh",
                     "--pulse", "rect", "--manifest", "lengths/manifest.csv"], 0),
    ],
}


def digest(data):
    return hashlib.sha256(data).hexdigest()


def corpus(cli, model, work):
    entries = {}
    for folder, arguments, status in RUNS[model]:
        result = subprocess.run([cli, *arguments, "--no-progress", "-o", folder], cwd=work, capture_output=True)
        if result.returncode != status:
            sys.exit(f"quorvin-cli {' '.join(arguments)}: status {result.returncode}, expected {status}\n"
                     f"{result.stderr.decode(errors='replace')}")
        entries[f"{folder}/(standard output)"] = digest(result.stdout)
        for name in sorted(os.listdir(os.path.join(work, folder))):
            with open(os.path.join(work, folder, name), "rb") as file:
                entries[f"{folder}/{name}"] = digest(file.read())
    return entries


def main():
    if len(sys.argv) not in (4, 5) or sys.argv[2] not in RUNS or sys.argv[4:] not in ([], ["--record"]):
        sys.exit(__doc__)
    cli, model, corpus_path = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    with tempfile.TemporaryDirectory() as work:
        found = corpus(cli, model, work)
    if sys.argv[4:] == ["--record"]:
        with open(corpus_path, "w") as out:
            out.writelines(f"{sha}  {name}\n" for name, sha in found.items())
        print(f"recorded {len(found)} outputs")
        return
    with open(corpus_path) as recorded_file:
        recorded = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in recorded_file)
    differ = [name for name in recorded if found.get(name) != recorded[name]]
    extra = [name for name in found if name not in recorded]
    for name in differ:
        print(f"differs or missing: {name}")
    for name in extra:
        print(f"not in the corpus: {name}")
    print(f"{len(recorded) - len(differ)} passed, {len(differ) + len(extra)} failed")
    sys.exit(1 if differ or extra else 0)


main()
