"""quorvin.check on good and damaged runs; quorvin.detection's export of a written scene run."""

import csv
import hashlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import quorvin
from quorvin.detection import export_detection, widen_boxes
from quorvin.files import open_run

ENV = dict(os.environ)


def run_module(module, *args):
    return subprocess.run([sys.executable, "-m", module, *map(str, args)], capture_output=True, text=True, env=ENV)


def write_run(folder):
    config = quorvin.Config(["AM", "QPSK"], sample_rate=50e3, samples_per_file=256, num_symbols=100)
    quorvin.Dataset(config, files_per_modulation=2, seed=3).write(folder, "sigmf", manifest=folder / "manifest.csv")


def set_cell(folder, line, key, text):
    rows = (folder / "manifest.csv").read_text().splitlines()
    header = rows[0].split(",")
    cells = rows[line - 1].split(",")
    cells[header.index(key)] = text
    rows[line - 1] = ",".join(cells)
    (folder / "manifest.csv").write_text("\n".join(rows) + "\n")


DAMAGES = [
    (lambda f: (f / "QPSK_signal_1.sigmf-data").write_bytes((f / "QPSK_signal_1.sigmf-data").read_bytes()[:-8]),
     "QPSK_signal_1.sigmf-data holds 255 samples, its metadata says 256"),
    (lambda f: (f / "AM_signal_2.sigmf-data").write_bytes(b"\0" * 2048),
     "AM_signal_2.sigmf-data: SHA-512 differs from its metadata's core:sha512"),
    (lambda f: os.remove(f / "AM_signal_1.sigmf-data"), "AM_signal_1.sigmf-data: missing"),
    (lambda f: set_cell(f, 2, "snr_db", "nan"), "manifest.csv line 2: label snr_db is NaN"),
    (lambda f: set_cell(f, 4, "class_index", "7"), "manifest.csv line 4: class_index 7 is not QPSK's (4)"),
    (lambda f: set_cell(f, 3, "sample_rate", ""), "manifest.csv line 3: label sample_rate is empty"),
]


def test_a_good_run_passes_with_its_counts_and_histogram(tmp_path):
    write_run(tmp_path)
    result = run_module("quorvin.check", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["4 labelled signals of 2 classes; no fault", "  AM                  2", "  QPSK                2"]
    with open(tmp_path / "manifest.csv", newline="") as f:
        snrs = [float(r["snr_db"]) for r in csv.DictReader(f)]
    assert sum(int(line.split()[4]) for line in lines[4:]) == len(snrs)  # every SNR in one bin


@pytest.mark.parametrize("damage, message", DAMAGES,
                         ids=["truncated", "wrong_hash", "missing", "nan_label", "wrong_class", "empty_label"])
def test_a_damaged_run_fails_naming_the_file_and_the_fault(tmp_path, damage, message):
    write_run(tmp_path)
    damage(tmp_path)
    result = run_module("quorvin.check", tmp_path)
    assert result.returncode == 1
    faults = [line for line in result.stdout.splitlines() if ": " in line and not line.startswith(" ")]
    assert len(faults) == 1 and faults[0].endswith(message), result.stdout


def test_a_collections_metadata_hash_is_checked(tmp_path):
    write_run(tmp_path)
    meta = tmp_path / "QPSK_signal_2.sigmf-meta"
    meta.write_text(meta.read_text().replace('"core:description"', '"core:description" ', 1))
    result = run_module("quorvin.check", tmp_path)
    assert result.returncode == 1 and f"{meta}: SHA-512 differs from the collection's hash" in result.stdout


def scene_dataset(**extra):
    config = quorvin.Config(["AM", "QPSK", "Noise"], scene="wideband", emitters=(1, 3), samples_per_file=8192,
                            sample_rate=20e6, **extra)
    return quorvin.Dataset(config, files_per_modulation=2, seed=4)


def folder_bytes(folder):
    return {os.path.relpath(os.path.join(d, n), folder): open(os.path.join(d, n), "rb").read()
            for d, _, names in os.walk(folder) for n in names}


@pytest.mark.parametrize("format", ["yolo", "coco"])
def test_exporting_a_written_run_gives_the_datasets_bytes(tmp_path, format):
    # The command draws PNG images wherever matplotlib is installed; the export here must too.
    pytest.importorskip("matplotlib")
    ds = scene_dataset()
    ds.write(tmp_path / "run", "sigmf", manifest=tmp_path / "run" / "manifest.csv")
    result = run_module("quorvin.detection", tmp_path / "run", "-o", tmp_path / "cli", "--format", format)
    assert result.returncode == 0, result.stderr
    export_detection(ds, tmp_path / "python", format=format)
    written, made = folder_bytes(tmp_path / "cli"), folder_bytes(tmp_path / "python")
    if format == "yolo":  # data.yaml names its own folder
        assert written.pop("data.yaml").replace(str(tmp_path / "cli").encode(), b"X") == \
            made.pop("data.yaml").replace(str(tmp_path / "python").encode(), b"X")
        assert written["classes.txt"] == b"AM\nQPSK\nNoise\n"
    assert written == made and len(written) >= 6
    if format == "coco":
        categories = json.loads(written["annotations.json"])["categories"]
        assert categories == [{"id": 0, "name": "AM"}, {"id": 1, "name": "QPSK"}, {"id": 2, "name": "Noise"}]


@pytest.mark.parametrize("source", ["manifest.csv", "dataset.sigmf-collection", "dataset.h5"])
def test_a_written_scene_run_keeps_the_name_of_its_noise_captures(tmp_path, source):
    # A Noise capture holds no emitter, so no box row names it; its class id must not shift.
    format = "hdf5" if source.endswith(".h5") else "sigmf"
    if format == "hdf5":
        pytest.importorskip("h5py")
    names = ["AM", "QPSK", "8PSK", "GMSK", "Noise", "OFDM-64"]  # in class-index order
    config = quorvin.Config(names, scene="wideband", emitters=(1, 1), samples_per_file=4096, sample_rate=20e6)
    ds = quorvin.Dataset(config, files_per_modulation=1, seed=4)
    drawn = {name for k in range(len(ds)) for name in ds[k][1]["boxes"].get("modulation", [])}
    assert drawn == set(names) - {"Noise"}
    try:
        ds.write(tmp_path / "run", format, manifest=tmp_path / "run" / "manifest.csv")
    except ValueError as error:  # a build without HDF5
        pytest.skip(str(error))
    assert open_run(tmp_path / "run" / source).names == ds.names == names


def test_an_am_box_in_a_wide_capture_is_widened_to_the_minimum_and_noted(tmp_path):
    ds = scene_dataset()
    coco = export_detection(ds, tmp_path, format="coco", min_box=2)
    # An AM box is its band, a few kHz of 20 MHz over 256 rows: under 2 px, widened to 2.
    am = [a for a in coco["annotations"] if a["category_id"] == 0 and "true_bbox" in a]
    assert am and all(a["bbox"][3] == 2 and a["true_bbox"][3] < 2 and abs(a["bbox"][2] - a["true_bbox"][2]) < 1e-9 for a in am)
    others = [a for a in coco["annotations"] if "true_bbox" not in a]
    assert others and all(a["bbox"][3] >= 2 and a["bbox"][2] >= 2 for a in others)
    assert coco["info"]["enlarged_boxes"] == len(coco["annotations"]) - len(others)


@pytest.mark.parametrize(
    "box, expected, widened",
    [((10, 5, 20, 5.03), (10, 4.015, 20, 6.015), True),  # centred on its own centre
     ((10, 0, 20, 0.5), (10, 0, 20, 2), True),  # pushed back inside from the top
     ((10, 63.9, 20, 64), (10, 62, 20, 64), True),  # and from the bottom
     ((10, 5, 20, 9), (10, 5, 20, 9), False)],
)
def test_widening_keeps_the_centre_and_the_image(box, expected, widened):
    out, wide = widen_boxes(np.array([box]), 2.0, 100, 64)
    assert np.allclose(out[0], expected) and wide[0] == widened
