"""Wideband scenes from Python: the capture and its table of boxes, the same bytes and boxes as
the files the writers make, and the refusals."""
import csv
import importlib.util
import json
import os
import re

import numpy as np
import pytest

import quorvin

FS = 2e6
LENGTH = 65536


def scene_config(**extra):
    options = dict(scene="wideband", emitters=(2, 5), samples_per_file=LENGTH, sample_rate=FS,
                   samples_per_symbol=(8, 32), overlap="none", snr=(10, 20))
    options.update(extra)
    return quorvin.Config(["QPSK", "QAM16", "2FSK", "AM", "CW"], **options)


def test_an_item_is_a_capture_and_its_boxes_inside_it_and_apart():
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=2, seed=4)
    assert len(dataset) == 10
    for position in range(len(dataset)):
        capture, labels = dataset[position]
        assert capture.shape == (LENGTH,) and capture.dtype == np.complex64
        boxes = labels["boxes"]
        assert labels["scene"] == position + 1 and 2 <= labels["emitters"] <= 5
        assert len(boxes["modulation"]) == labels["emitters"]
        # The scene's first emitter is of the name its plan position stands for.
        assert boxes["modulation"][0] == ["AM", "QPSK", "QAM16", "2FSK", "CW"][position // 2]
        start, count = boxes["sample_start"], boxes["sample_count"]
        assert np.all(start >= 0) and np.all(count > 0) and np.all(start + count <= LENGTH)
        low, high = boxes["freq_lower_edge"], boxes["freq_upper_edge"]
        assert np.all(low < high) and np.all(low >= -FS / 2) and np.all(high <= FS / 2)
        order = np.argsort(low)
        assert np.all(high[order][:-1] <= low[order][1:] + 1e-6)


def test_written_scenes_hold_the_items_bytes_and_one_annotation_per_box(tmp_path):
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=8)
    summary = dataset.write(tmp_path, format="sigmf", manifest=tmp_path / "manifest.csv", jobs=2)
    assert summary["files_saved"] == len(dataset) and summary["files_failed"] == 0
    rows = quorvin.read_manifest(tmp_path / "manifest.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    for position in range(len(dataset)):
        capture, labels = dataset[position]
        samples, meta = quorvin.read_sigmf(tmp_path / f"scene_signal_{position + 1}")
        assert samples.tobytes() == capture.tobytes()
        with open(tmp_path / f"scene_signal_{position + 1}.sigmf-meta", encoding="utf-8") as f:
            annotations = json.load(f)["annotations"]
        # The boxes in emitter order, the annotations in SigMF's (by first sample, ties by emitter).
        boxes = labels["boxes"]
        order = np.lexsort((boxes["emitter"], boxes["sample_start"]))
        assert [a["quorvin:emitter"] for a in annotations] == list(boxes["emitter"][order])
        assert [a["core:label"] for a in annotations] == list(boxes["modulation"][order])
        assert [a["core:sample_start"] for a in annotations] == list(boxes["sample_start"][order])
        assert [a["core:freq_upper_edge"] for a in annotations] == list(boxes["freq_upper_edge"][order])
        assert [a.get("quorvin:symbol_seed", -1) for a in annotations] == list(boxes["symbol_seed"][order])  # -1: analog
        mine = [r for r in rows if os.path.basename(str(r["sample_file"])) == f"scene_signal_{position + 1}.sigmf-data"]
        assert [int(r["sample_count"]) for r in mine] == list(boxes["sample_count"])


def test_a_capture_of_noise_alone_is_listed_in_the_manifest_with_empty_boxes(tmp_path):
    """A detector's negatives: Noise's scenes hold no emitter, yet the manifest names them."""
    config = quorvin.Config(["QPSK", "Noise"], scene="wideband", emitters=(1, 1), samples_per_file=LENGTH,
                            sample_rate=FS, samples_per_symbol=(8, 32))
    quorvin.Dataset(config, files_per_modulation=1, seed=2).write(tmp_path, format="sigmf", manifest=tmp_path / "m.csv")
    with open(tmp_path / "m.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert [(r["sample_file"], r["modulation"], r["emitter"]) for r in rows] == [
        ("scene_signal_1.sigmf-data", "QPSK", "1"), ("scene_signal_2.sigmf-data", "Noise", "")]
    assert rows[0]["sample_count"] != "" and rows[1]["sample_count"] == rows[1]["freq_lower_edge"] == ""
    if importlib.util.find_spec("matplotlib") is not None:
        from quorvin import preview
        assert preview.draw_preview(str(tmp_path / "m.csv"), str(tmp_path / "p.png"), per_class=2) == ["QPSK"]


@pytest.mark.parametrize("call, message", [
    (lambda d, p: d.frames([0, 1]), "frames: a scene dataset gives one capture"),
    (lambda d, p: d.write(p, save_settings=True), "save_settings does not apply to scene='wideband'"),
])
def test_what_scenes_do_not_take_is_refused_by_name(tmp_path, call, message):
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=1)
    with pytest.raises(ValueError, match=message):
        call(dataset, tmp_path)


@pytest.mark.parametrize("sizes, error, message", [
    ((256.5, 64), TypeError, "fft_size takes an integer, not 256.5"),
    (("256", 64), TypeError, "fft_size takes an integer, not '256'"),
    ((1, 64), ValueError, "fft_size takes a whole number from 2 to 2147483647, not 1"),
    ((256, 0), ValueError, "hop takes a whole number from 1 to 2147483647, not 0"),
])
def test_spectrogram_sizes_of_another_kind_are_refused_by_name_before_any_folder(tmp_path, sizes, error, message):
    from quorvin import detection
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=1)
    with pytest.raises(error) as raised:
        detection.export_detection(dataset, tmp_path / "out", *sizes)
    assert str(raised.value) == message and not (tmp_path / "out").exists()
    with pytest.raises(error) as raised:
        detection.spectrogram(np.zeros(1024, np.complex64), *sizes)
    assert str(raised.value) == message


def test_ci16_scenes_are_the_float_captures_to_half_a_level_at_four_times_the_captures_rms(tmp_path):
    """Full scale: 4 times the RMS of the capture with every emitter on, sqrt(1 + sum of 10^(SNR/10))."""
    dataset = quorvin.Dataset(scene_config(datatype="ci16_le"), files_per_modulation=1, seed=5)
    assert dataset.write(tmp_path, format="sigmf")["files_saved"] == len(dataset)
    for position in range(len(dataset)):
        capture, _ = dataset[position]
        samples, meta = quorvin.read_sigmf(tmp_path / f"scene_signal_{position + 1}")
        snrs = np.array([a["quorvin:snr_db"] for a in meta["annotations"]])
        full_scale = 4 * np.sqrt(1 + np.sum(10 ** (snrs / 10)))
        assert meta["global"]["core:datatype"] == "ci16_le"
        assert meta["global"]["quorvin:full_scale"] == pytest.approx(full_scale, rel=1e-12)
        step = full_scale / 32767
        # Half a level, and the float32 roundings of amplitudes up to several times the floor's.
        margin = step / 2 + 4 * np.finfo(np.float32).eps * np.abs(capture)
        assert np.all(np.abs(capture.real - samples.real) <= margin)
        assert np.all(np.abs(capture.imag - samples.imag) <= margin)


def test_a_scene_needs_a_capture_length():
    with pytest.raises(ValueError, match="samples_per_file"):
        quorvin.Dataset(quorvin.Config(["QPSK"], scene="wideband"), files_per_modulation=1, seed=1)


def test_boxes_on_the_spectrogram_hold_the_emitters_energy_and_export_as_yolo_and_coco(tmp_path):
    from quorvin import detection
    dataset = quorvin.Dataset(scene_config(snr=(25, 25)), files_per_modulation=1, seed=2)
    capture, labels = dataset[1]
    image = detection.spectrogram(capture, 256, 256)
    assert image.shape == (256, LENGTH // 256)
    pixels = detection.pixel_boxes(labels["boxes"], FS, 256, 256, image.shape[1])
    # Inside each box (shrunk by the window's spread) the power stands far above the median cell.
    floor = np.median(image)
    checked = 0
    for x0, y0, x1, y1 in pixels:
        inner = image[int(np.ceil(y0)) + 1:max(0, int(y1) - 1), int(np.ceil(x0)) + 1:max(0, int(x1) - 1)]
        if inner.size:
            assert np.median(inner) > floor + 10
            checked += 1
    assert checked >= 2
    coco = detection.export_detection(dataset, tmp_path, 256, 256, positions=[1])
    assert [a["category_id"] for a in coco["annotations"]] == [dataset.names.index(n) for n in labels["boxes"]["modulation"]]
    assert coco["categories"][coco["annotations"][0]["category_id"]]["name"] == labels["boxes"]["modulation"][0]
    rows = (tmp_path / "labels" / "scene_2.txt").read_text().splitlines()
    assert len(rows) == labels["emitters"]
    for row, (x0, y0, x1, y1) in zip(rows, pixels):
        c, xc, yc, w, h = row.split()
        assert abs(float(xc) * image.shape[1] - (x0 + x1) / 2) < 1e-3 and abs(float(h) * 256 - (y1 - y0)) < 1e-3
    assert json.loads((tmp_path / "annotations.json").read_text()) == json.loads(json.dumps(coco))


def test_torch_targets_are_boxes_and_classes_per_capture():
    qtorch = pytest.importorskip("quorvin.torch")
    import torch
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=3)
    view = qtorch.TorchDataset(dataset, contiguous_classes=True)
    tensors, targets = qtorch.scene_collate([view[0], view[1]])
    assert tensors.shape == (2, 2, LENGTH)
    for position, target in enumerate(targets):
        boxes = dataset[position][1]["boxes"]
        assert target["boxes"].dtype == torch.float32 and target["boxes"].shape == (len(boxes["modulation"]), 4)
        assert [view.class_names[i] for i in target["labels"].tolist()] == list(boxes["modulation"])
        assert torch.all(target["boxes"][:, 2] > target["boxes"][:, 0]) and torch.all(target["boxes"][:, 3] > target["boxes"][:, 1])


def test_the_preview_draws_each_scenes_boxes(tmp_path):
    pytest.importorskip("matplotlib")
    from quorvin import preview
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=6)
    dataset.write(tmp_path, format="sigmf", manifest=tmp_path / "manifest.csv")
    drawn = preview.draw_preview(str(tmp_path / "manifest.csv"), str(tmp_path / "p.png"), per_class=2)
    expected = [m for position in range(2) for m in dataset[position][1]["boxes"]["modulation"]]
    assert drawn == expected and (tmp_path / "p.png").stat().st_size > 0


def test_a_scene_container_written_from_python_holds_each_items_capture_and_boxes(tmp_path):
    pytest.importorskip("h5py")
    dataset = quorvin.Dataset(scene_config(), files_per_modulation=1, seed=7)
    assert dataset.write(tmp_path, format="hdf5", jobs=2)["files_saved"] == len(dataset)
    captures, table, _ = quorvin.read_hdf5(tmp_path / "dataset.h5")
    for position in range(len(dataset)):
        capture, labels = dataset[position]
        assert captures[position].tobytes() == capture.tobytes()
        mine = table["capture_index"] == position
        assert table["scene"][mine].tolist() == [labels["scene"]] * labels["emitters"]
        for key, column in labels["boxes"].items():
            assert np.array_equal(table[key][mine], column, equal_nan=column.dtype.kind == "f"), key


def test_a_scene_over_a_recording_stands_on_its_span_and_says_which(tmp_path):
    """Config(background=...): the item less the recording's span holds the emitters, the labels
    name the span, and a recording at another rate is refused by keyword with both rates."""
    rng = np.random.default_rng(3)
    noise = ((rng.normal(size=3 * LENGTH) + 1j * rng.normal(size=3 * LENGTH)) * np.sqrt(0.5)).astype(np.complex64)
    noise.tofile(tmp_path / "rec.sigmf-data")
    (tmp_path / "rec.sigmf-meta").write_text(json.dumps({"global": {"core:datatype": "cf32_le", "core:sample_rate": FS}}))
    dataset = quorvin.Dataset(scene_config(background=str(tmp_path / "rec")), files_per_modulation=1, seed=2)
    capture, labels = dataset[4]
    ground = labels["background"]
    assert (ground["file"], ground["sample_start"], ground["sample_count"]) == ("rec.sigmf-data", LENGTH, LENGTH)
    assert ground["noise_power"] == pytest.approx(1.0, rel=0.03)
    left = capture - noise[LENGTH:2 * LENGTH]
    for start, count in zip(labels["boxes"]["sample_start"], labels["boxes"]["sample_count"]):
        assert np.mean(np.abs(left[start:start + count]) ** 2) > 5  # SNRs of 10 dB and more
    with pytest.raises(ValueError) as raised:
        quorvin.Config(["QPSK"], scene="wideband", samples_per_file=LENGTH, sample_rate=1e6, background=str(tmp_path / "rec"))
    assert "was recorded at 2e+06 Hz, not the sample_rate 1e+06 Hz" in str(raised.value)


# Raw captures as SDR tools write them: the values of each format for I/Q pairs of the same
# complex noise, and the divisor that maps them to -1 .. 1.
def raw_noise(format, count, rng):
    z = rng.normal(size=(count, 2)) * 0.2
    if format == "cu8":
        return np.clip(np.round(z * 127.5 + 127.5), 0, 255).astype(np.uint8), lambda v: (v - 127.5) / 127.5
    if format == "ci8":
        return np.clip(np.round(z * 128), -128, 127).astype(np.int8), lambda v: v / 128
    if format == "ci16":
        return np.round(z * 32768).astype("<i2"), lambda v: v / 32768
    return z.astype("<f4"), lambda v: v


@pytest.mark.parametrize("format", ["cu8", "ci8", "ci16", "cf32"])
def test_a_raw_sdr_capture_becomes_a_recording_a_scene_stands_on(tmp_path, format):
    from quorvin.capture import sigmf_from_raw

    values, scaled = raw_noise(format, 3 * LENGTH, np.random.default_rng(9))
    values.tofile(tmp_path / "capture.raw")
    base = sigmf_from_raw(tmp_path / "capture.raw", tmp_path / "rec", format, FS, frequency=915e6)
    meta = json.loads(open(base + ".sigmf-meta").read())
    if format == "cf32":
        samples = np.fromfile(base + ".sigmf-data", dtype="<c8")
    else:
        pairs = np.fromfile(base + ".sigmf-data", dtype="<i2").astype(np.float64) * meta["global"]["quorvin:full_scale"] / 32767
        samples = pairs[0::2] + 1j * pairs[1::2]
    expected = scaled(values[:, 0].astype(np.float64)) + 1j * scaled(values[:, 1].astype(np.float64))
    assert np.max(np.abs(samples - expected)) < 1e-6  # exact but for float32's rounding
    assert meta["captures"][0]["core:frequency"] == 915e6
    dataset = quorvin.Dataset(scene_config(background=base, rf_frequency=915e6), files_per_modulation=1, seed=2)
    capture, labels = dataset[1]
    assert labels["background"]["noise_power"] == pytest.approx(2 * 0.04, rel=0.05)
    left = capture - samples[LENGTH:2 * LENGTH]
    assert np.max(np.abs(left[:labels["boxes"]["sample_start"].min()])) < 1e-6  # the recording alone before


@pytest.mark.parametrize("args, message", [
    (("ci12",), "format takes cu8, ci8, ci16, cf32, not 'ci12'"),
    (("cu8", 0.0), "sample_rate takes a number of Hz above 0, not 0.0"),
    (("cu8", FS, float("nan")), "frequency takes a finite number of Hz, not nan"),
    (("cf32",), "3 bytes, not a whole number of cf32 samples (8 bytes each)"),
])
def test_a_raw_capture_that_cannot_be_read_as_given_is_refused_naming_why(tmp_path, args, message):
    from quorvin.capture import sigmf_from_raw

    (tmp_path / "capture.raw").write_bytes(b"abc")
    format, rate, frequency = (args + (FS, 0.0)[len(args) - 1:])[:3]
    with pytest.raises(ValueError, match=re.escape(message)):
        sigmf_from_raw(tmp_path / "capture.raw", tmp_path / "rec", format, rate, frequency)
    assert not (tmp_path / "rec.sigmf-meta").exists()


def test_a_standards_frames_export_one_box_each_where_its_packets_are_and_silence_between(tmp_path):
    from quorvin import detection
    config = quorvin.Config(["ADS-B", "BLE", "QPSK", "FM"], scene="wideband", emitters=(4, 4), samples_per_file=262144,
                            sample_rate=20e6, samples_per_symbol=(8, 32), overlap="none", snr=(25, 25))
    dataset = quorvin.Dataset(config, files_per_modulation=1, seed=3)
    capture, labels = dataset[2]  # ADS-B, BLE twice and FM
    boxes = labels["boxes"]
    frames = detection.frame_boxes(boxes)
    expected = []
    for i, name in enumerate(boxes["modulation"]):
        starts = [float(s) for s in boxes["frame_starts"][i].split(";")] if boxes["frame_starts"][i] else []
        assert bool(starts) == (name in ("ADS-B", "BLE"))
        expected += [name] * max(1, len(starts))
    assert list(frames["modulation"]) == expected
    image = detection.spectrogram(capture, 256, 256)
    floor = np.median(image)
    pixels = detection.pixel_boxes(frames, 20e6, 256, 256, image.shape[1])
    adsb = [p for p, name in zip(pixels, frames["modulation"]) if name == "ADS-B"]
    assert len(adsb) >= 20
    # Each squitter's columns stand above the floor in its band; the columns of the silence between
    # two squitters (a window's length clear of either) lie at it.
    for (x0, y0, x1, y1), (n0, _, _, _) in zip(adsb, adsb[1:]):
        rows = slice(int(np.ceil(y0)) + 2, int(y1) - 2)
        assert 10 * np.log10(np.mean(10 ** (image[rows, int(np.ceil(x0)) + 1:int(x1)] / 10))) > floor + 15
        gap = image[rows, int(np.ceil(x1)) + 1:int(n0) - 1]
        if gap.size:
            assert np.median(gap) < floor + 3
    coco = detection.export_detection(dataset, tmp_path, 256, 256, positions=[2], format="coco")
    assert [a["category_id"] for a in coco["annotations"]] == [dataset.names.index(n) for n in expected]
    pytest.importorskip("torch")
    from quorvin.torch import scene_target
    target = scene_target(labels, dataset.names)
    assert target["labels"].tolist() == [dataset.names.index(n) for n in expected]
    assert np.allclose(target["boxes"][:, 0].numpy(), frames["sample_start"].astype(np.float32))


@pytest.mark.parametrize("format", ["sigmf", "hdf5"])
def test_a_written_runs_standards_export_the_same_frame_boxes_as_its_dataset(tmp_path, format):
    if format == "hdf5":
        pytest.importorskip("h5py")
    from quorvin import detection
    from quorvin.files import open_run
    config = quorvin.Config(["ADS-B", "BLE", "QPSK", "Noise"], scene="wideband", emitters=(2, 3), samples_per_file=262144,
                            sample_rate=20e6, samples_per_symbol=(8, 32))
    dataset = quorvin.Dataset(config, files_per_modulation=1, seed=3)
    dataset.write(tmp_path, format=format, manifest=tmp_path / "manifest.csv")
    run = open_run(tmp_path / "manifest.csv")
    assert len(run) == len(dataset)
    for position in range(len(dataset)):
        made, written = detection.frame_boxes(dataset[position][1]["boxes"]), detection.frame_boxes(run[position][1]["boxes"])
        assert list(written["modulation"]) == list(made["modulation"])
        for key in ("sample_start", "sample_count", "freq_lower_edge", "freq_upper_edge"):
            assert np.allclose(written[key], made[key], rtol=1e-12, atol=1e-9), key
    assert sum(name == "ADS-B" for position in range(len(dataset))
               for name in detection.frame_boxes(dataset[position][1]["boxes"])["modulation"]) >= 20
