"""The HDF5 container holds the same samples and labels as the dataset and the manifest."""

import os
import subprocess

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
    pytest.skip("quorvin-cli was built without HDF5 (QUORVIN_HDF5=OFF or no libhdf5-dev)", allow_module_level=True)

import quorvin  # noqa: E402

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


@pytest.mark.parametrize("fixed", [True, False], ids=["frames", "variable_lengths"])
def test_container_matches_the_dataset_item_for_item(tmp_path, fixed):
    names = ["AM", "QPSK", "GMSK", "CW"]
    options = {"signal_model": "exact", "sample_rate": 50e3, "samples_per_file": 256} if fixed else {}
    arguments = ["--signal-model", "exact", "--sample-rate", "50000.0", "--samples-per-file", "256"] if fixed else []
    result = subprocess.run([CLI, "-m", ",".join(names), "--files-per-modulation", "3", "--num-symbols", "200",
                             "--seed", "8", "--format", "hdf5", "--shard", "0/1", "--no-progress",
                             "-o", str(tmp_path), *arguments], check=True, capture_output=True, text=True)
    assert result.stdout.splitlines()[-1] == f"Dataset saved to {tmp_path}/dataset.h5"
    samples, labels, classes = quorvin.read_hdf5(tmp_path / "dataset.h5")
    ds = quorvin.Dataset(quorvin.Config(names, num_symbols=200, **options), files_per_modulation=3, seed=8)
    assert classes == quorvin.classes and len(samples) == len(ds) == 12
    if fixed:
        assert samples.shape == (12, 256) and samples.dtype == np.complex64
    for position in range(len(ds)):
        item, item_labels = ds[position]
        assert samples[position].tobytes() == item.tobytes()
        assert labels["modulation"][position] == item_labels["modulation"]
        assert labels["class_index"][position] == item_labels["class_index"]
        assert labels["snr_db"][position] == item_labels["snr_db"]
        assert labels["file_index"][position] == item_labels["file_index"]
        # Typed columns, with the empty cell of each type where a file has no such value.
        assert np.isnan(labels["symbol_rate"][position]) == ("symbol_rate" not in item_labels)
        assert (labels["symbol_seed"][position] == -1) == ("symbol_seed" not in item_labels)
    assert labels["snr_db"].dtype == np.float64 and labels["file_index"].dtype == np.int64
    assert labels["saved"].tolist() == [1] * 12
    assert not [p for p in os.listdir(tmp_path) if p != "dataset.h5"]  # no temporary left


@pytest.mark.parametrize("scene", [False, True], ids=["files", "scenes"])
def test_the_same_run_writes_the_same_container_bytes_whenever_it_runs(tmp_path, scene):
    # HDF5 stamps each object with the second it was made unless told not to.
    arguments = [CLI, "-m", "QPSK,AM", "--files-per-modulation", "2", "--samples-per-file", "2048",
                 "--sample-rate", "1e6", "--seed", "4", "--format", "hdf5", "-q", *(["--scene", "wideband"] * scene)]
    contents = []
    for run in ("first", "second"):
        subprocess.run([*arguments, "-o", str(tmp_path / run)], check=True)
        contents.append((tmp_path / run / "dataset.h5").read_bytes())
        if run == "first":
            import time  # noqa: PLC0415
            time.sleep(1.1)
    assert contents[0] == contents[1]


def rewrite(dataset, values):
    """Replaces a dataset of an open container with `values`."""
    file, name = dataset.file, dataset.name
    del file[name]
    file[name] = values


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda f: rewrite(f["offsets"], f["offsets"][()] + 1), "offsets must rise from 0 to at most the"),
        (lambda f: rewrite(f["offsets"], f["offsets"][()][::-1]), "offsets must rise from 0 to at most the"),
        (lambda f: rewrite(f["offsets"], np.append(f["offsets"][()][:-1], 10**9)), "offsets must rise from 0 to at most the"),
        (lambda f: rewrite(f["offsets"], f["offsets"][()][:-1]), "5 offsets into iq of shape"),
        (lambda f: rewrite(f["offsets"], f["offsets"][()].astype(np.float64)), "6 offsets into iq of shape"),
        (lambda f: rewrite(f["labels/snr_db"], f["labels/snr_db"][()][:-1]), "labels/snr_db has 5 rows for 6 files"),
        (lambda f: [rewrite(f[key], f[key][()] + 100) for key in ("class_index", "labels/class_index")],
         "class_index outside the"),
        (lambda f: f.__delitem__("iq"), "no iq"),
        (lambda f: rewrite(f["iq"], f["iq"][()].real.astype(np.float64)), "iq holds float64, not complex64 samples"),
        (lambda f: [rewrite(f[key], f[key][()].astype(np.float64)) for key in ("class_index", "labels/class_index")],
         "class_index of float64 and shape (6,), not a column of whole numbers"),
        (lambda f: f.__delitem__("labels/modulation"), "no labels/modulation column of names"),
        (lambda f: rewrite(f["labels/class_index"], np.full(6, 999)), "labels/class_index disagrees with class_index"),
        (lambda f: rewrite(f["labels/modulation"], np.array(["QPSK"] * 6, dtype=h5py.string_dtype())),
         "labels/modulation 'QPSK' of row 0 disagrees with its class_index 0 (AM)"),
    ],
    ids=["shifted", "reversed", "past_the_end", "one_short", "not_whole", "short_column", "class_index", "no_iq",
         "real_iq", "real_class_index", "no_modulation", "labels_class_index", "modulation_not_its_class"],
)
def test_a_container_whose_parts_disagree_is_refused_naming_it(tmp_path, damage, message):
    import h5py

    subprocess.run([CLI, "-m", "AM,QPSK", "--files-per-modulation", "3", "--num-symbols", "50", "--seed", "2",
                    "--format", "hdf5", "--no-progress", "-o", str(tmp_path)], check=True, capture_output=True)
    path = tmp_path / "dataset.h5"
    assert len(quorvin.read_hdf5(path)[0]) == 6
    with h5py.File(path, "r+") as file:
        damage(file)
    with pytest.raises(ValueError) as raised:
        quorvin.read_hdf5(path)
    assert str(raised.value).startswith(f"{path}: {message}")


@pytest.mark.parametrize("make, error, message", [
    (lambda path: path.write_bytes(b""), ValueError, "not a readable HDF5 container (Unable to open file"),
    (lambda path: path.write_bytes(path.read_bytes()[:2000]), ValueError, "not a readable HDF5 container (Unable to open"),
    (lambda path: path.write_text("modulation,snr_db\nAM,10\n"), ValueError, "not a readable HDF5 container ("),
    (lambda path: (path.unlink(), path.mkdir()), ValueError, "a folder, not an HDF5 container; give read_hdf5 the dataset.h5"),
    (lambda path: path.unlink(), FileNotFoundError, "[Errno 2] No such file or directory"),
], ids=["empty", "cut_short", "text", "folder", "missing"])
def test_what_is_no_container_is_refused_naming_it(tmp_path, make, error, message):
    subprocess.run([CLI, "-m", "AM,QPSK", "--files-per-modulation", "3", "--num-symbols", "50", "--seed", "2",
                    "--format", "hdf5", "--no-progress", "-o", str(tmp_path)], check=True, capture_output=True)
    path = tmp_path / "dataset.h5"
    make(path)
    with pytest.raises(error) as raised:
        quorvin.read_hdf5(path)
    assert str(path) in str(raised.value) and message in str(raised.value)


def test_manifest_rows_name_their_place_in_the_container(tmp_path):
    out, manifest = tmp_path / "out", tmp_path / "m.csv"
    subprocess.run([CLI, "-m", "AM,QPSK", "--files-per-modulation", "3", "--num-symbols", "100", "--seed", "4",
                    "--format", "hdf5", "-q", "-o", str(out), "--manifest", str(manifest)], check=True)
    rows = quorvin.read_manifest(manifest)
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    samples, labels, _ = quorvin.read_hdf5(out / "dataset.h5")
    # Named from the manifest's folder: the run's folder, then the container.
    assert [row["sample_file"] for row in rows] == [f"out/dataset.h5#{k}" for k in range(6)]
    for row in rows:
        name, place = row["sample_file"].split("#")
        position = int(place)
        assert (tmp_path / name).exists()
        assert labels["modulation"][position] == row["modulation"]
        assert labels["file_index"][position] == int(row["file_index"])
        assert len(samples[position]) == int(row["num_samples"])


def test_a_column_no_file_has_a_value_for_keeps_its_type(tmp_path):
    # Analog names only: no file has a symbol rate, a symbol seed or a pulse.
    subprocess.run([CLI, "-m", "AM,CW", "--signal-model", "exact", "--sample-rate", "50000", "--samples-per-file", "64",
                    "--files-per-modulation", "2", "--seed", "3", "--format", "hdf5", "-q", "-o", str(tmp_path)],
                   check=True)
    _, labels, _ = quorvin.read_hdf5(tmp_path / "dataset.h5")
    assert labels["symbol_rate"].dtype == np.float64 and np.isnan(labels["symbol_rate"]).all()
    assert labels["symbol_seed"].dtype == np.int64 and (labels["symbol_seed"] == -1).all()
    assert labels["pulse"].tolist() == [""] * 4


SCENES = ["-m", "QPSK,AM,CW,Noise", "--signal-model", "exact", "--scene", "wideband", "--emitters-min", "1",
          "--emitters-max", "4", "--sample-rate", "1000000", "--samples-per-file", "4096", "--samples-per-symbol-min",
          "8", "--samples-per-symbol-max", "16", "--burst-min", "0.2", "--files-per-modulation", "2", "--seed", "5", "-q"]


def same_column(a, b):
    return np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def test_a_scene_container_holds_the_sigmf_scenes_captures_and_boxes_for_any_jobs_and_shards(tmp_path):
    subprocess.run([CLI, *SCENES, "--format", "sigmf", "-j", "1", "-o", str(tmp_path / "sigmf")], check=True)
    subprocess.run([CLI, *SCENES, "--format", "hdf5", "-j", "2", "-o", str(tmp_path / "h5"),
                    "--manifest", str(tmp_path / "h5" / "manifest.csv")], check=True)
    captures, boxes, names = quorvin.read_hdf5(tmp_path / "h5" / "dataset.h5")
    assert captures.shape == (8, 4096) and names == quorvin.classes
    for row in range(8):
        samples, meta = quorvin.read_sigmf(tmp_path / "sigmf" / f"scene_signal_{row + 1}")
        assert captures[row].tobytes() == samples.tobytes()
        mine = np.flatnonzero(boxes["capture_index"] == row)
        annotations = meta["annotations"]
        # Noise's scenes (rows 6 and 7) hold the floor alone: no emitter, no box.
        assert len(mine) == len(annotations) == meta["global"]["quorvin:emitters"] and (len(mine) == 0) == (row >= 6)
        assert boxes["scene"][mine].tolist() == [row + 1] * len(mine)
        # The table keeps emitter order; the annotations are by first sample.
        for a in annotations:
            k = mine[a["quorvin:emitter"] - 1]
            assert boxes["modulation"][k] == a["core:label"] and names[boxes["class_index"][k]] == a["core:label"]
            for key in ("sample_start", "sample_count", "freq_lower_edge", "freq_upper_edge"):
                assert boxes[key][k] == a[f"core:{key}"]
            for key in ("emitter", "centre_frequency", "snr_db", "symbol_rate", "noise_seed"):
                value = a.get(f"quorvin:{key}")  # an analog emitter has no symbol rate
                assert boxes[key][k] == value if value is not None else np.isnan(boxes[key][k])
    assert boxes["sample_start"].dtype == np.int64 and boxes["freq_lower_edge"].dtype == np.float64
    # The manifest's rows are the table's, each naming its capture's row, and one for each
    # capture of noise alone.
    rows = quorvin.read_manifest(tmp_path / "h5" / "manifest.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    per_capture = [max(1, int(np.sum(boxes["capture_index"] == c))) for c in range(8)]
    assert [r["sample_file"] for r in rows] == [f"dataset.h5#{c}" for c in range(8) for _ in range(per_capture[c])]
    boxed = [r for r in rows if str(r["emitter"]) not in ("", "-1")]  # texts, or typed with -1 where absent
    assert [float(r["freq_upper_edge"]) for r in boxed] == boxes["freq_upper_edge"].tolist()
    # Two shards hold every other scene, with the same labels.
    for shard in (0, 1):
        subprocess.run([CLI, *SCENES, "--format", "hdf5", "--shard", f"{shard}/2", "-o", str(tmp_path / "shards")],
                       check=True)
        part, part_boxes, _ = quorvin.read_hdf5(tmp_path / "shards" / f"dataset-{shard}-of-2.h5")
        assert part.tobytes() == captures[shard::2].tobytes()
        kept = (boxes["scene"] - 1) % 2 == shard
        for key in boxes:
            if key != "capture_index":
                assert same_column(part_boxes[key], boxes[key][kept]), key


@pytest.mark.parametrize("damage, message", [
    (lambda f: rewrite(f["capture_index"], f["capture_index"][()] + 8), "capture_index outside the 8 captures"),
    (lambda f: rewrite(f["capture_index"], f["capture_index"][()][:-1]), "labels/capture_index has"),
    (lambda f: rewrite(f["scene"], f["scene"][()][:-1]), "iq of shape (8, 4096) for 7 captures"),
    (lambda f: f.__delitem__("scene"), "no scene"),
], ids=["past_the_captures", "one_short", "scenes_short", "no_scene"])
def test_a_scene_container_whose_parts_disagree_is_refused_naming_it(tmp_path, damage, message):
    import h5py

    subprocess.run([CLI, *SCENES, "--format", "hdf5", "-o", str(tmp_path)], check=True)
    path = tmp_path / "dataset.h5"
    with h5py.File(path, "r+") as file:
        damage(file)
    with pytest.raises(ValueError) as raised:
        quorvin.read_hdf5(path)
    assert str(raised.value).startswith(f"{path}: {message}")
