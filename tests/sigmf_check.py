#!/usr/bin/python3
"""Checks quorvin-cli's SigMF recordings and manifest against the official schema, the CSV files
of the same seeded run, and the settings files. Usage: sigmf_check.py QUORVIN_CLI SCHEMA"""

import csv
import hashlib
import json
import math
import os
import struct
import subprocess
import sys
import tempfile

import jsonschema
import numpy as np

cli, schema_path = sys.argv[1], sys.argv[2]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def sha512_of(path):
    with open(path, "rb") as f:
        return hashlib.sha512(f.read()).hexdigest()


def check_collection(folder, stems, name="dataset"):
    """The run's collection lists its recordings in plan order, each by the SHA-512 of its
    metadata, and each recording holds its data's SHA-512."""
    with open(os.path.join(folder, name + ".sigmf-collection")) as f:
        collection = json.load(f)["collection"]
    check(collection["core:version"] == "1.2.5", f"{folder}: collection version")
    streams = collection["core:streams"]
    check([s["name"] for s in streams] == stems, f"{folder}: collection lists {[s['name'] for s in streams][:4]}...")
    for stream in streams:
        meta_path = os.path.join(folder, stream["name"] + ".sigmf-meta")
        check(stream["hash"] == sha512_of(meta_path), f"{stream['name']}: collection hash")
        with open(meta_path) as f:
            g = json.load(f)["global"]
        check(g["core:sha512"] == sha512_of(os.path.join(folder, stream["name"] + ".sigmf-data")),
              f"{stream['name']}: core:sha512 is not the data's")


def occupied_share(meta_path):
    """A reader's own placement: the data's spectrum at core:frequency plus each bin's offset,
    and the share of its power between the annotation's edges."""
    with open(meta_path) as f:
        meta = json.load(f)
    annotation = meta["annotations"][0]
    x = np.fromfile(meta_path[: -len("meta")] + "data", dtype="<c8").astype(np.complex128)
    power = np.abs(np.fft.fft(x)) ** 2
    frequency = meta["captures"][0]["core:frequency"] + np.fft.fftfreq(len(x), 1 / meta["global"]["core:sample_rate"])
    inside = (frequency >= annotation["core:freq_lower_edge"]) & (frequency <= annotation["core:freq_upper_edge"])
    return power[inside].sum() / power.sum()


def run(*arguments):
    result = subprocess.run([cli, *arguments], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"quorvin-cli {' '.join(arguments)} failed ({result.returncode}): {result.stderr}")
    return result.stdout


# Expected signal:detail per name: (type, mod_class, order, symbol_variant, class_variant).
families = {
    "AM": ("analog", "am", None, None, None), "AM-SSB": ("analog", "ssb", None, None, None),
    "FM": ("analog", "fm", None, None, None), "CW": ("analog", "am", None, None, "CW"),
    "BPSK": ("digital", "psk", 2, None, None), "QPSK": ("digital", "psk", 4, None, None),
    "OQPSK": ("digital", "psk", 4, "offset", None),
    "Pi/4-DQPSK": ("digital", "psk", 4, "differential", "pi/4"),
    "8PSK": ("digital", "psk", 8, None, None), "16PSK": ("digital", "psk", 16, None, None),
    "QAM16": ("digital", "qam", 16, None, None), "QAM32": ("digital", "qam", 32, None, None),
    "QAM64": ("digital", "qam", 64, None, None), "QAM128": ("digital", "qam", 128, None, None),
    "QAM256": ("digital", "qam", 256, None, None), "QAM1024": ("digital", "qam", 1024, None, None),
    "APSK16": ("digital", "psk", 16, None, "APSK"), "APSK32": ("digital", "psk", 32, None, "APSK"),
    "APSK64": ("digital", "psk", 64, None, "APSK"),
    "2FSK": ("digital", "fsk", 2, None, None), "4FSK": ("digital", "fsk", 4, None, None),
    "8FSK": ("digital", "fsk", 8, None, None), "MSK": ("digital", "msk", 2, None, None),
    "GMSK": ("digital", "msk", 2, None, "GMSK, BT 0.3"),
}
# The exact model's own names (its drawn BT is the default 0.3).
exact_families = {
    "OOK": ("digital", "ook", 2, None, None),
    **{f"{m}ASK": ("digital", "ask", m, None, None) for m in (4, 8, 16, 32, 64)},
    "32PSK": ("digital", "psk", 32, None, None), "64PSK": ("digital", "psk", 64, None, None),
    **{f"QAM{m}": ("digital", "qam", m, None, None) for m in (512, 2048, 4096)},
    "APSK128": ("digital", "psk", 128, None, "APSK"), "APSK256": ("digital", "psk", 256, None, "APSK"),
    "16FSK": ("digital", "fsk", 16, None, None),
    **{f"{m}GFSK": ("digital", "fsk", m, None, "GFSK, BT 0.3") for m in (2, 4, 8, 16)},
    **{f"{m}MSK": ("digital", "msk", m, None, None) for m in (4, 8, 16)},
    **{f"{m}GMSK": ("digital", "msk", m, None, "GMSK, BT 0.3") for m in (4, 8, 16)},
    "AM-DSB-SC": ("analog", "dsb", None, None, None), "AM-LSB": ("analog", "ssb", None, None, None),
    "AM-USB": ("analog", "ssb", None, None, None),
    "LFM-radar": ("analog", "fm", None, None, "LFM radar"),
    "LFM-data": ("digital", "fsk", 2, None, "LFM"),
}
# OFDM's class and order are its drawn subcarriers' (then multiplexed); CSS's order is 2^SF.
subcarriers = {"BPSK": ("psk", 2), "QPSK": ("psk", 4), "QAM16": ("qam", 16), "QAM64": ("qam", 64), "QAM256": ("qam", 256)}


def drawn_detail(name, g):
    if name.startswith("OFDM-"):
        mod_class, order = subcarriers[g["quorvin:subcarrier_modulation"]]
        return ("digital", mod_class, order, None, None), {"multiplexing": "ofdm"}
    if name == "CSS":
        return ("digital", "fsk", 2 ** g["quorvin:spreading_factor"], None, "CSS"), {"spreading": "css"}
    return (families | exact_families)[name], {}
carriers = {"AM-DSB-SC": "suppressed carrier", "AM-LSB": "lower sideband", "AM-USB": "upper sideband"}

with open(schema_path) as f:
    validator = jsonschema.Draft7Validator(json.load(f))

with tempfile.TemporaryDirectory() as work:
    common = ["--signal-model", "classic", "-m", "all,CW,QAM1024", "--files-per-modulation", "2", "--num-symbols", "300",
              "--seed", "1", "--save-settings", "--mix-frequency", "125"]
    sigmf_dir, csv_dir = os.path.join(work, "sigmf"), os.path.join(work, "csv")
    manifest_path = os.path.join(work, "manifest.csv")
    run(*common, "--format", "sigmf", "--manifest", manifest_path, "-o", sigmf_dir)
    run(*common, "-o", csv_dir)

    with open(manifest_path, newline="") as f:
        rows = list(csv.DictReader(f))
    check(len(rows) == 48, f"manifest has {len(rows)} rows, not 48")
    check([int(r["class_index"]) for r in rows] == sorted(int(r["class_index"]) for r in rows),
          "manifest rows are not in plan order")

    for row in rows:
        # Named from the manifest's folder: the recordings' folder, then the file.
        for key in ("sample_file", "metadata_file", "settings_file"):
            check(row[key].startswith("sigmf/"), f"{row[key]}: not named from the manifest's folder")
            row[key] = row[key][len("sigmf/"):]
        name, stem = row["modulation"], row["sample_file"][: -len(".sigmf-data")]
        with open(os.path.join(sigmf_dir, row["metadata_file"])) as f:
            meta = json.load(f)
        errors = [e.message for e in validator.iter_errors(meta)]
        check(not errors, f"{stem}.sigmf-meta does not validate: {errors[:3]}")
        g, annotation = meta["global"], meta["annotations"][0]
        declared = {e["name"] for e in g["core:extensions"]}
        used = {k.split(":")[0] for k in list(g) + list(annotation)} - {"core"}
        check(used <= declared, f"{stem}: extensions used {used} but declared {declared}")
        check(g["core:datatype"] == "cf32_le" and g["core:num_channels"] == 1, f"{stem}: core fields")
        check(g["core:recorder"].startswith("quorvin-cli "), f"{stem}: recorder")
        # The mixing is in the samples: the capture is the baseband's, and the classic model's
        # waveforms are not the families' bands, so their annotation places no edges.
        check(meta["captures"] == [{"core:sample_start": 0, "core:frequency": 0.0}], f"{stem}: capture")
        check("core:freq_lower_edge" not in annotation, f"{stem}: classic edges")
        check(annotation["core:label"] == name and annotation["core:sample_start"] == 0, f"{stem}: label")

        detail = annotation["signal:detail"]
        kind, mod_class, order, symbol_variant, class_variant = families[name]
        check(detail.get("type") == kind and detail.get("mod_class") == mod_class, f"{stem}: {detail}")
        check(detail.get("order") == order, f"{stem}: order {detail.get('order')} not {order}")
        check(detail.get("symbol_variant") == symbol_variant, f"{stem}: symbol_variant {detail}")
        check(detail.get("class_variant") == class_variant, f"{stem}: class_variant {detail}")

        # Samples: cf32_le of the very values the CSV of the same seeded run holds.
        with open(os.path.join(sigmf_dir, row["sample_file"]), "rb") as f:
            data = f.read()
        count = annotation["core:sample_count"]
        check(len(data) == 8 * count and str(count) == row["num_samples"], f"{stem}: {len(data)} bytes, {count}")
        with open(os.path.join(csv_dir, stem + ".csv")) as f:
            lines = f.read().splitlines()
        check(len(lines) == count, f"{stem}: CSV has {len(lines)} lines, recording {count}")
        values = struct.unpack(f"<{2 * count}f", data)
        for i, line in enumerate(lines[:count]):
            for text, value in zip(line.split(","), values[2 * i: 2 * i + 2]):
                expected = float(text)
                if not math.isclose(value, expected, rel_tol=1e-5, abs_tol=1e-30):
                    failures.append(f"{stem} sample {i}: {value} vs CSV {expected}")
                    break

        # Parameters: the manifest, the metadata and the settings file agree.
        with open(os.path.join(sigmf_dir, row["settings_file"]), newline="") as f:
            settings = dict(l.split(": ", 1) for l in f.read().split("\r\n") if l)
        drawn = {"snr_db": "SNR"} | ({"amplitude": "Amplitude", "message_frequency": "Message Frequency"}
                                     if kind == "analog" else
                                     {"symbol_rate": "Symbol Rate", "timing_error": "Symbol Timing Error",
                                      "frequency_offset": "Frequency Offset"})
        for key, label in drawn.items():
            value = float(row[key])
            check(g[f"quorvin:{key}"] == value, f"{stem}: {key} {g[f'quorvin:{key}']} vs manifest {value}")
            check(settings[label].split(" ")[0] == f"{value:f}", f"{stem}: {label} {settings[label]} vs {value}")
        check(g["quorvin:noise_seed"] == int(row["noise_seed"]), f"{stem}: noise seed")
        check(row["saved"] == "true", f"{stem}: not saved")
    check_collection(sigmf_dir, [r["sample_file"][: -len(".sigmf-data")] for r in rows])

    # The exact model's every name (AM-SSB, which `every` leaves out, by its name): valid metadata,
    # each name's detail in the extension's words, and Noise without a detail and with a null SNR
    # (minus infinity).
    exact_dir, exact_manifest = os.path.join(work, "exact"), os.path.join(work, "exact.csv")
    run("-m", "every,AM-SSB", "--signal-model", "exact", "--sample-rate", "1000000", "--samples-per-file", "4096",
        "--files-per-modulation", "1", "--seed", "1", "--format", "sigmf", "--manifest", exact_manifest, "-o", exact_dir)
    with open(exact_manifest, newline="") as f:
        exact_rows = list(csv.DictReader(f))
    check(len(exact_rows) == 67, f"exact manifest has {len(exact_rows)} rows, not 67")
    for row in exact_rows:
        name = row["modulation"]
        with open(os.path.join(work, row["metadata_file"])) as f:
            meta = json.load(f)
        stem = "exact " + name
        errors = [e.message for e in validator.iter_errors(meta)]
        check(not errors, f"{stem} does not validate: {errors[:3]}")
        annotation = meta["annotations"][0]
        check(float(row["realised_snr_db"]) == meta["global"]["quorvin:realised_snr_db"] or
              row["realised_snr_db"] == "-inf" and meta["global"]["quorvin:realised_snr_db"] is None,
              f"{stem}: realised SNR {row['realised_snr_db']} vs {meta['global'].get('quorvin:realised_snr_db')}")
        if name == "Noise":
            check("signal:detail" not in annotation and meta["global"]["quorvin:snr_db"] is None, f"{stem}: {meta}")
            check(row["snr_db"] == "-inf", f"{stem}: manifest SNR {row['snr_db']}")
            check("core:freq_lower_edge" not in annotation, f"{stem}: Noise has no signal to place")
            continue
        check(-5e5 <= annotation["core:freq_lower_edge"] < annotation["core:freq_upper_edge"] <= 5e5,
              f"{stem}: edges {annotation.get('core:freq_lower_edge')} .. {annotation.get('core:freq_upper_edge')}")
        detail = annotation["signal:detail"]
        (kind, mod_class, order, symbol_variant, class_variant), extra = drawn_detail(name, meta["global"])
        check(all(detail.get(k) == v for k, v in extra.items()), f"{stem}: {detail}")
        check(detail.get("type") == kind and detail.get("mod_class") == mod_class, f"{stem}: {detail}")
        check(detail.get("order") == order and detail.get("symbol_variant") == symbol_variant, f"{stem}: {detail}")
        check(detail.get("class_variant") == class_variant, f"{stem}: class_variant {detail}")
        check(detail.get("carrier_variant") == carriers.get(name, detail.get("carrier_variant")), f"{stem}: {detail}")

# An independent reader places every exact-model signal by the capture's frequency (the RF
# frequency) and its annotation's edges, after its offset, the mixing and the sample clock: a
# noise-free file keeps 99 % of its power between them. Lists are arrays in the metadata, the
# manifest's ';'-joined text, number for number (complex taps as [re, im]).
with tempfile.TemporaryDirectory() as work:
    manifest_path = os.path.join(work, "manifest.csv")
    run("-m", "every,AM-SSB", "--signal-model", "exact", "--sample-rate", "1000000", "--samples-per-file", "16384",
        "--samples-per-symbol-min", "24", "--samples-per-symbol-max", "40", "--snr-min", "inf", "--snr-max", "inf",
        "--frequency-offset-min", "-2000", "--frequency-offset-max", "2000", "--mix-frequency", "5000",
        "--clock-ppm-min", "-20", "--clock-ppm-max", "20", "--rf-frequency", "1e8", "--seed", "3",
        "--format", "sigmf", "--manifest", manifest_path, "-o", work)
    with open(manifest_path, newline="") as f:
        placed_rows = list(csv.DictReader(f))
    for row in placed_rows:
        with open(os.path.join(work, row["metadata_file"])) as f:
            meta = json.load(f)
        errors = [e.message for e in validator.iter_errors(meta)]
        check(not errors, f"placed {row['modulation']} does not validate: {errors[:3]}")
        check(meta["captures"][0]["core:frequency"] == 1e8, f"placed {row['modulation']}: capture {meta['captures']}")
        if row["modulation"] != "Noise":
            share = occupied_share(os.path.join(work, row["metadata_file"]))
            check(share >= 0.99, f"placed {row['modulation']}: {share:.4f} of its power between its edges")
    check_collection(work, [r["sample_file"][: -len(".sigmf-data")] for r in placed_rows])

    faded = os.path.join(work, "faded")
    run("-m", "QPSK,AM", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "2048",
        "--fading", "rician", "--seed", "5", "--format", "sigmf", "--manifest", os.path.join(faded, "m.csv"), "-o", faded)
    with open(os.path.join(faded, "m.csv"), newline="") as f:
        for row in csv.DictReader(f):
            with open(os.path.join(faded, row["metadata_file"])) as m:
                g = json.load(m)["global"]
            for key in ("fading_delays", "fading_gains"):
                check(g[f"quorvin:{key}"] == [float(v) for v in row[key].split(";")], f"faded {key}: {g[f'quorvin:{key}']}")
            taps = [complex(v) for v in row["fading_taps"].split(";")]
            check(g["quorvin:fading_taps"] == [[t.real, t.imag] for t in taps], f"faded taps: {g['quorvin:fading_taps']}")

# Wideband scenes: every recording validates, with one annotation per emitter, its box inside the
# capture and the band, the annotations by first sample (SigMF's order; emitters that start
# together in emitter order), and the manifest one row per emitter, in emitter order, naming its
# capture.
with tempfile.TemporaryDirectory() as work:
    manifest_path = os.path.join(work, "manifest.csv")
    run("-m", "all,CW,QAM1024", "--scene", "wideband", "--emitters-min", "1", "--emitters-max", "6",
        "--sample-rate", "20000000", "--samples-per-file", "262144", "--files-per-modulation", "1", "--seed", "1",
        "--format", "sigmf", "--manifest", manifest_path, "-o", work)
    with open(manifest_path, newline="") as f:
        emitter_rows = list(csv.DictReader(f))
    scenes = sorted(n for n in os.listdir(work) if n.endswith(".sigmf-meta"))
    check(len(scenes) == 24, f"scenes: {len(scenes)} recordings, not 24")
    for name in scenes:
        with open(os.path.join(work, name)) as f:
            meta = json.load(f)
        errors = [e.message for e in validator.iter_errors(meta)]
        check(not errors, f"scene {name} does not validate: {errors[:3]}")
        annotations = meta["annotations"]
        rows = [r for r in emitter_rows if r["metadata_file"] == name]
        check(len(annotations) == meta["global"]["quorvin:emitters"] == len(rows) >= 1,
              f"scene {name}: {len(annotations)} annotations, {len(rows)} manifest rows")
        starts = [(a["core:sample_start"], a["quorvin:emitter"]) for a in annotations]
        check(starts == sorted(starts), f"scene {name}: annotations (start, emitter) {starts}")
        check([int(r["emitter"]) for r in rows] == list(range(1, len(rows) + 1)), f"scene {name}: manifest order")
        for a in annotations:
            row = rows[a["quorvin:emitter"] - 1]
            start, count = a["core:sample_start"], a["core:sample_count"]
            low, high = a["core:freq_lower_edge"], a["core:freq_upper_edge"]
            check(0 <= start and 0 < count and start + count <= 262144, f"scene {name}: box {start}+{count}")
            check(-1e7 <= low < high <= 1e7, f"scene {name}: band {low} .. {high}")
            check(a["core:label"] == row["modulation"] and int(row["sample_start"]) == start and
                  float(row["freq_lower_edge"]) == low, f"scene {name}: manifest row {row['emitter']}")

for failure in failures[:40]:
    print("FAIL:", failure)
print(f"{48 + 67 + len(placed_rows) - len({f.split(':')[0] for f in failures})} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
