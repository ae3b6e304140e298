#!/usr/bin/python3
"""The classic model's outputs are a promise to stored datasets: seeded quorvin-cli runs over every
name must give the same bytes, file for file and report line for report line, as the recorded
corpus (SHA-256 of each output and of each run's standard output). With --exact, the exact
model's runs against their own corpus, which moves only when the model's samples or labels are
changed on purpose.

Usage: golden_check.py QUORVIN_CLI CORPUS [--exact]            compare with the recorded corpus
       golden_check.py QUORVIN_CLI CORPUS [--exact] --record   record it anew (a deliberate change)"""

import hashlib
import os
import subprocess
import sys
import tempfile

NAMES = "all,CW,QAM1024"
# Each run: a folder of its own, its arguments, and the exit status it must end with.
RUNS = [
    ("csv", ["-m", NAMES, "--files-per-modulation", "3", "--num-symbols", "400", "--save-settings",
             "--seed", "11", "--timing-error-min", "-0.2", "--frequency-offset-min", "-300",
             "--mix-frequency", "1250", "-j", "2"], 0),
    ("sigmf", ["-m", NAMES, "--files-per-modulation", "2", "--num-symbols", "300", "--save-settings",
               "--seed", "12", "--format", "sigmf", "--manifest", "sigmf/manifest.csv", "-j", "2"], 0),
    ("shard", ["-m", NAMES, "--files-per-modulation", "3", "--num-symbols", "200", "--seed", "13",
               "--shard", "1/3", "--snr-min", "inf", "--snr-max", "inf", "--manifest", "shard/manifest.csv"], 0),
    # OQPSK below two samples per symbol and a signal over the size ceiling fail; the rest is written.
    ("failures", ["-m", "OQPSK,QPSK,2FSK,AM", "--symbol-rate-min", "6000", "--symbol-rate-max", "9000",
                  "--files-per-modulation", "2", "--num-symbols", "2147483647", "--seed", "14",
                  "--manifest", "failures/manifest.csv"], 1),
    ("failures-small", ["-m", "OQPSK,QPSK,2FSK,AM", "--symbol-rate-min", "6000", "--symbol-rate-max", "9000",
                        "--files-per-modulation", "2", "--num-symbols", "50", "--seed", "14",
                        "--save-settings"], 1),
]

EXACT = ["--signal-model", "exact", "--sample-rate", "100000"]
# The exact model: frames of every name, files of a symbol count with drift, offsets and a mixing
# frequency, every impairment, and Es/N0 draws with another pulse.
EXACT_RUNS = [
    ("frames", ["-m", NAMES, *EXACT, "--samples-per-file", "512", "--files-per-modulation", "2", "--seed", "21",
                "--save-settings", "--format", "sigmf", "--manifest", "frames/manifest.csv", "-j", "2"], 0),
    ("symbols", ["-m", NAMES, *EXACT, "--num-symbols", "60", "--files-per-modulation", "2", "--seed", "22",
                 "--timing-error-min", "-0.3", "--frequency-offset-min", "-300", "--mix-frequency", "1250",
                 "--analog-fc-min", "500", "--analog-fc-max", "3000", "--am-index-min", "0.3", "--save-settings"], 0),
    ("channel", ["-m", NAMES, *EXACT, "--samples-per-file", "700", "--files-per-modulation", "2", "--seed", "23",
                 "--fading", "rician", "--doppler-max", "50", "--carrier-phase", "--phase-noise-max", "5",
                 "--clock-ppm-min", "-20", "--clock-ppm-max", "20", "--rf-frequency", "1e9", "--iq-amplitude-max", "1",
                 "--iq-phase-max", "3", "--dc-offset-max", "0.1", "--pa-backoff-min", "3", "--pa-backoff-max", "6",
                 "--adc-bits-min", "8", "--adc-bits-max", "12", "--format", "sigmf", "--manifest", "channel/manifest.csv"],
     0),
    ("esn0", ["-m", "QPSK,QAM128,GMSK,4FSK,AM-SSB", *EXACT, "--samples-per-file", "1024", "--files-per-modulation", "3",
              "--seed", "24", "--snr-definition", "esn0", "--pulse", "linear", "--gmsk-bt-min", "0.2",
              "--gmsk-bt-max", "0.5", "--fsk-index-min", "0.5", "--sideband", "upper", "--format", "sigmf"], 0),
]


def digest(data):
    return hashlib.sha256(data).hexdigest()


def corpus(cli, work, runs):
    entries = {}
    for folder, arguments, status in runs:
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
    cli, corpus_path, flags = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    with tempfile.TemporaryDirectory() as work:
        found = corpus(cli, work, EXACT_RUNS if "--exact" in flags else RUNS)
    if "--record" in flags:
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
